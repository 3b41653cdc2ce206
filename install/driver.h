// The installer's spine: command-line options, start-up, verification, the record walk and the
// final status line.
#ifndef ZN_INSTALL_DRIVER_H
#define ZN_INSTALL_DRIVER_H

namespace zn {

// Examines arguments from index 1 while they begin with '-': -d, -gz, -program <path>, -quiet;
// anything else beginning with '-' is ignored. Returns the index of the first argument not taken
// as an option (1 when there are none). Sets the run state.
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
int zninstall(int flags, const char *argv0);

}  // namespace zn

#endif  // ZN_INSTALL_DRIVER_H
