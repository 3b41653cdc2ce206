// The installer's spine: command-line options, start-up, verification, the record walk and the
// final status line.
#ifndef ZN_INSTALL_DRIVER_H
#define ZN_INSTALL_DRIVER_H

namespace zn {

// Examines arguments from index 1 while they begin with '-': -d, -gz, -program <path>, -quiet,
// -h, -help, -version, -target <dir> (also -target=<dir>), -check, -list, -noexec, each also
// with two dashes. -program or -target as the last argument ends the parsing. Anything else
// beginning with '-' is ignored after "zninstall: unknown option %s (ignored)" on standard
// error. Returns the index of the first argument not taken as an option (1 when there are none).
// Sets the run state; what zninstall does with the options is decided there.
int parse_options(int argc, char **argv);

// Exit statuses of the installer.
enum : int {
    kExitSuccess = 0,  // "Installation successfully completed.", or everything dumped whole
    kExitFatal = 1,    // a fatal error ended the run (or a prompt was refused)
    kExitFailed = 2,   // the walk was completed but something failed ("ERROR: Installation
                       // failed.", or in dump mode a failed write or broken compressed data)
};

// Runs the installation: prepares the process, locates and opens the package file, verifies it,
// walks the records and prints the final line. Bit 0 of flags turns quiet mode on. Returns
// kExitSuccess or kExitFailed once the walk has been completed; every fatal error ends the
// process with kExitFatal instead.
//   - -h/-help and -version print their text on standard output and return kExitSuccess before
//     anything else happens; a refused command line (a missing -target value, options that
//     exclude each other) returns kExitFatal after its message on standard error.
//   - -check verifies without prompting and stops: "Package is intact." and kExitSuccess, or the
//     failure texts and kExitFatal.
//   - -list verifies as -check does, then lists the records (an archive entry by entry) and
//     returns kExitSuccess, or kExitFailed when an archive could not be read whole.
int zninstall(int flags, const char *argv0);

}  // namespace zn

#endif  // ZN_INSTALL_DRIVER_H
