// The installer's spine: command-line options, start-up, verification, the record walk and the
// final status line.
#ifndef ZN_INSTALL_DRIVER_H
#define ZN_INSTALL_DRIVER_H

namespace zn {

// Examines the arguments from index 1: -d, -gz, -program <path>, -quiet, -h, -help, -version,
// -info, -target <dir> (also -target=<dir>), -check, -list, -noexec, -nosync, -accept,
// -nodiskspace, -progress, -verbose, each also with two dashes. -program or -target as the last
// argument ends the parsing. The first argument that is none of these (an unknown option, "-" or
// "--" alone, a word that is not an option) stops it and is remembered: zninstall then refuses
// the command line. Returns the index of the argument where parsing stopped (argc when every
// argument was taken). Sets the run state; what zninstall does with the options is decided
// there.
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
//     anything else happens; a refused command line (an unknown option or a stray argument, a
//     missing -target value, options that exclude each other) returns kExitFatal after its
//     message on standard error, before anything is read.
//   - -check verifies without prompting and stops: "Package is intact." and kExitSuccess, or the
//     failure texts and kExitFatal.
//   - -list verifies as -check does, then lists the records (an archive entry by entry) and
//     returns kExitSuccess, or kExitFailed when an archive could not be read whole.
//   - -info verifies as -check does, then describes the product (product_info_print).
//   - SIGINT, SIGTERM or SIGHUP end the process with 128 + the signal (interrupt.h).
int zninstall(int flags, const char *argv0);

}  // namespace zn

#endif  // ZN_INSTALL_DRIVER_H
