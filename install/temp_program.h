// The temporary file that carries the helper program and the post-install script, and the way
// both are started.
//
// The file lives at "<temp_dir>/zninstall-temp.exe". Whatever already stands there (a file,
// a symbolic link planted by another user) is removed and never written through: the file is
// created fresh and exclusively, without following a link.
#ifndef ZN_INSTALL_TEMP_PROGRAM_H
#define ZN_INSTALL_TEMP_PROGRAM_H

#include <cstddef>

namespace zn {

// Formats "<temp_dir>/zninstall-temp.exe" into path (size bytes). Returns 0, or -1 when it does
// not fit (path then holds as much as fits, NUL-terminated).
int temp_program_path(char *path, size_t size);

// Removes whatever stands at path and creates a new regular file there, write-only, mode
// (reduced by the umask), with O_EXCL and O_NOFOLLOW. Returns the descriptor, or -1 (errno set).
// Touches the disk.
int temp_program_create(const char *path, int mode);

// Runs the file at path as a program and waits for it; arg, when non-null, is its single
// argument. The path reaches the new process as one word: no shell parses it. A file that the
// system cannot execute by itself (no "#!" line) is run by /bin/sh, as a command interpreter
// would. SIGPIPE and SIGXFSZ are restored to their defaults in the child; the installer ignores
// SIGINT and SIGQUIT while it waits.
// Every way it can go wrong is reported on standard error, what naming the program in the
// messages ("Post-install script", "Helper program"): "Cannot run %s: %s\n" with the path and the
// system's reason when it could not be started (an interpreter after "#!" that is missing, a
// directory mounted noexec), "<what> failed with exit status %d\n", "<what> ended by signal %d\n".
// Returns 0 when it ran and exited with status 0, -1 otherwise.
int run_program(const char *path, const char *arg, const char *what);

// Runs a command line through /bin/sh -c and waits, with the same signal handling as
// run_program. Returns the wait status, or -1 when no process could be started. Prints nothing.
int run_shell(const char *command);

}  // namespace zn

#endif  // ZN_INSTALL_TEMP_PROGRAM_H
