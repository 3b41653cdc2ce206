// The installer's run state: process-wide, set by the option parser and the driver, read by the
// record handlers. One run, one thread; strings here live until the process ends.
#ifndef ZN_INSTALL_RUN_STATE_H
#define ZN_INSTALL_RUN_STATE_H

#include "lib/messages.h"
#include "package/version.h"  // kVersionMajor, kVersionMinor: shown in the banner

namespace zn {

extern int quiet_install;        // -quiet: the helper program gets the argument "/quiet"
extern int debug_mode;           // -d: an interactive shell before the post-install script runs
extern int dump_mode;            // -gz: archives go to standard output, nothing is installed
extern char *package_path;       // the package file (the running executable, or -program's value)
extern int package_fd;           // the package file, read-only, shared by every handler
extern const char *temp_dir;     // directory for the temporary file: TEMP, else TMP, else "."
extern int temp_dir_from_env;    // temp_dir came from TEMP or TMP (else it is the install dir)
extern const char *install_dir;  // chosen by the welcome dialogue; null until then
extern int noexec_mode;          // -noexec: scripts and helper programs are neither written nor run
extern const char *target_dir;   // -target: the install directory, taken without asking
extern int nosync_mode;          // -nosync: what is installed is not made durable
extern int accept_mode;          // -accept: the licence is accepted without a question
extern int nodiskspace_mode;     // -nodiskspace: the free space is not checked
extern int progress_mode;        // -progress: one status line instead of a line per entry
extern int verbose_mode;         // -verbose: a line per entry even when the product asks for
                                 // the progress line

// Name of the temporary file for the helper program and the post-install script.
constexpr const char kTempFileName[] = "zninstall-temp.exe";

// Size of the driver's and the handlers' fixed text buffers, in bytes.
constexpr int kTextBufferSize = 1024;

// A record handler: called with the descriptor at the record's body and the 5 bytes of its
// record header; returns 0 for success. It may read any amount of the body.
using record_handler = int (*)(int fd, const unsigned char *record_header);

// Prints the message on standard output as it is, flushes, and ends the process with status 1.
[[noreturn]] void fatal_out(const char *text);

// Writes the message to standard error (after flushing standard output) and ends the process
// with status 1.
[[noreturn]] void fatal_err(const char *text);

// Puts text (a heap string, name=value) into the environment with putenv. The environment keeps
// pointing at it, so it is never freed; the run state keeps it too, so that a later value for the
// same name does not leave it unreferenced.
void putenv_kept(char *text);

// Prints the notice that a script or program is not run. It goes to standard output, except in
// dump mode, where standard output carries the archive and the notice goes to standard error.
void skip_notice(const char *text);

// Longest answer line read, in bytes, its line feed included. Standard input without a line
// feed (/dev/zero) must not keep a question waiting for ever.
constexpr long kAnswerLineMax = 64 * 1024;

// Results of read_answer.
enum : int {
    kAnswerEnd = 0,      // end of input before any byte
    kAnswerLine = 1,     // a line, or a last unterminated piece, that fit
    kAnswerTooLong = 2,  // longer than the buffer holds, or not ended within kAnswerLineMax
};

// Reads one line of standard input after flushing standard output: the line (with its line feed
// when there is room) and a NUL go into buf. A NUL byte in the line is kept like any other. A
// line longer than size - 1 bytes is still read to its end, so that its rest is never taken as
// the next answer; buf then holds its first size - 1 bytes. A line that has not ended after
// kAnswerLineMax bytes is read no further and refused: buf is left empty, which no question
// takes for a yes or an Enter. Returns one of the results above.
// REQUIRES: size >= 2.
int read_answer(char *buf, int size);

}  // namespace zn

#endif  // ZN_INSTALL_RUN_STATE_H
