// The temporary file that carries the helper program and the post-install script, and the way
// both are started.
//
// Each helper gets a private directory of its own in the temporary directory, made afresh with
// mode 0700 and a random name ("zninstall.XXXXXX"), and is written there as
// "zninstall-temp.exe"; the directory goes when the helper is done, on failure and on
// interruption. Two installers that share a temporary directory never touch each other's files,
// and another user can neither read nor replace the file between its writing and its running.
// The temporary directory is reached by descriptors and checked as a directory on the way
// (path_trust_open): a sticky directory that others may write to, such as /tmp, is fine, one that
// another user owns or may change is refused.
#ifndef ZN_INSTALL_TEMP_PROGRAM_H
#define ZN_INSTALL_TEMP_PROGRAM_H

#include <cstddef>

namespace zn {

// Sets temp_dir and temp_dir_from_env: TEMP, else TMP, else "." (the install directory, the
// current one when a helper runs). A relative TEMP or TMP is taken from the current directory
// now, so that it means the same after the installer changes into the install directory. An
// empty one stays empty: the root. Reads the environment and the current directory.
void temp_dir_choose();

// Checks temp_dir and the way to it, when it is set (TEMP or TMP), before anything is written:
// a refusal ends the run with "Error: The temporary directory can be changed by another user."
// and the culprit, status 1. A directory that does not exist passes here; making the private
// directory fails later. Touches the disk.
void temp_dir_check();

// Makes the private directory in temp_dir and creates "zninstall-temp.exe" in it, write-only,
// exclusively, with mode (reduced by the umask). Returns the descriptor with path (size bytes)
// holding the file's path; -1 when the directory or the file cannot be made (errno set), path
// then holding "<temp_dir>/zninstall-temp.exe" for the message. Ends the run like
// temp_dir_check when the temporary directory can be changed by another user. One at a time:
// temp_program_remove ends it. Touches the disk.
int temp_program_create(char *path, size_t size, int mode);

// Removes the file and the private directory of the last temp_program_create, when there are
// any. Touches the disk.
void temp_program_remove();

// Runs the file at path as a program and waits for it; arg, when non-null, is its single
// argument. The path reaches the new process as one word: no shell parses it. A file that the
// system cannot execute by itself (no "#!" line) is run by /bin/sh, as a command interpreter
// would. SIGPIPE and SIGXFSZ are restored to their defaults in the child; the installer ignores
// SIGQUIT while it waits, and when it is itself interrupted meanwhile (interrupt.h), it stops the
// run once the program has ended.
// Every way it can go wrong is reported on standard error, what naming the program in the
// messages ("Post-install script", "Helper program"): "Cannot run %s: %s\n" with the path and the
// system's reason when it could not be started (an interpreter after "#!" that is missing, a
// directory mounted noexec), "<what> failed with exit status %d\n", "<what> ended by signal %d\n".
// Returns 0 when it ran and exited with status 0, -1 otherwise.
int run_program(const char *path, const char *arg, const char *what);

// Runs a command line through /bin/sh -c and waits, with SIGINT and SIGQUIT ignored meanwhile
// (the command is an interactive shell, to which Ctrl-C belongs). Returns the wait status, or -1
// when no process could be started. Prints nothing.
int run_shell(const char *command);

}  // namespace zn

#endif  // ZN_INSTALL_TEMP_PROGRAM_H
