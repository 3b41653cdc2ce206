// The record handlers, one per record type. Each is called by the record walk with the package
// descriptor at the record's body and the 5 bytes of the record header, and returns 0 for
// success (see record_handler in run_state.h). A handler may end the run itself with a message
// and status 1.
#ifndef ZN_INSTALL_HANDLERS_H
#define ZN_INSTALL_HANDLERS_H

#include <cstdint>

namespace zn {

// Type 1: shows the welcome text word-wrapped at 75 columns, asks for the install directory
// (creating it on request) and changes into it, setting install_dir. With target_dir set nothing
// is asked: that directory is taken (install_dir_enter). In dump mode the text is consumed
// silently and nothing is asked. Returns 0 or ends the run.
int handle_welcome_record(int fd, const unsigned char *record_header);

// Reads the body of a text record (welcome, licence; the descriptor at its body) in pieces of
// 1024 bytes and, when show is set, prints it word-wrapped at 75 columns on standard output. A
// body shorter than its length ends the run with "Premature EOF detected".
void record_text_show(int fd, const unsigned char *record_header, int show);

// Type 31: shows the licence and asks "Do you accept the licence [y/n] ? "; only an answer that
// begins with y or Y goes on, anything else (end of input included) ends the run with
// "Installation aborted: the licence was not accepted." and status 1. With -accept the text is
// shown and the acceptance said in one line, nothing asked. In dump mode the text is consumed
// silently. Returns 0 or ends the run.
int handle_licence_record(int fd, const unsigned char *record_header);

// Makes dir the install directory, as typed at the question or given with -target: expands it
// (simplify_and_expand_filename), reaches it by descriptors from the root, refusing it when
// another user could change it or the way to it (path_trust_open, with kPathStrictLast), creates
// it when it does not exist, changes into it (fchdir) and sets install_dir. Typed (unattended 0),
// a missing directory is created, one level, only after the user agreed, and the way to it is
// walked again after the answer; unattended, it is created with its missing parents (mode 0755
// less the umask) without a question. Returns only with the process in the directory; a refusal
// or a failure ends the run with status 1 and its message. Touches the disk and the current
// directory.
void install_dir_enter(const char *dir, int unattended);

// Makes the current directory the install directory, for a package that unpacks there without
// a welcome record or -target: it is checked as install_dir_enter checks a typed one. Returns
// only when it passes; ends the run with status 1 otherwise.
void current_dir_enter();

// path_trust_open for a directory the installer uses (what: "install" or "temporary"): a
// refusal ends the run with "Error: The <what> directory can be changed by another user." and
// the culprit on standard output, status 1. Returns the other results of path_trust_open, errno
// set on a failure.
int trusted_dir_open(const char *path, int flags, const char *what, int *fd);

// Type 12: puts one name=value text (at most 1023 bytes; a NUL in the body ends it) into the
// environment, echoing it on standard output unless in dump mode. Returns 0 or ends the run.
int handle_environment_record(int fd, const unsigned char *record_header);

// environment_record_read for the handler and the listing: on failure ends the run with the
// handler's messages ("Environment variable too long in setup file", "Premature EOF reading env
// var"). REQUIRES: text has room for kEnvironmentMax + 1 bytes.
void environment_record_load(int fd, const unsigned char *record_header, char *text);

// Type 7: copies the body to the temporary file, runs it (with "/quiet" under -quiet), waits and
// removes it; under -noexec only prints "Skipping helper program" and returns 0. Returns 0 when
// it ran and exited with status 0, -3 when it could not be started, failed or was ended by a
// signal, -2 when the body was short, -1 when the file could not be written; each failure is
// reported. Ends the run when the file cannot be created.
int handle_program_record(int fd, const unsigned char *record_header);

// Types 2, 10 and 20: unpacks the compressed tar archive into the current directory, or writes the
// decompressed stream to standard output in dump mode. Returns 0 when the archive was installed
// whole, non-zero when anything kept it from that (each cause reported as it happened).
int handle_archive_record(int fd, const unsigned char *record_header);

// Types 11 and 21: sets INSTALL_ROOT, writes the decompressed script to the temporary file, runs
// it and removes it (only INSTALL_ROOT in dump mode; INSTALL_ROOT and "Skipping post-install
// script" under -noexec). Under -d an interactive shell runs once the script is closed and before
// it is made executable, so a script edited or replaced there is the one that runs. Returns 0
// when the script ran and exited with status 0; non-zero, each cause reported, when it could not
// be written whole (it is then neither made executable nor run), made executable or started, or
// when it failed or was ended by a signal.
int handle_script_record(int fd, const unsigned char *record_header);

// The write callback of dump mode: copies the bytes to standard output.
struct bz_context;
int stdout_writer(bz_context *ctx, const char *data, int count);

}  // namespace zn

#endif  // ZN_INSTALL_HANDLERS_H
