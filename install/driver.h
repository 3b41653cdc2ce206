// The installer's spine: command-line options, start-up, verification, the record walk and the
// final status line.
#ifndef ZN_INSTALL_DRIVER_H
#define ZN_INSTALL_DRIVER_H

namespace zn {

// Examines arguments from index 1 while they begin with '-': -d, -gz, -program <path>, -quiet;
// anything else beginning with '-' is ignored. Returns the index of the first argument not taken
// as an option (1 when there are none). Sets the run state.
int parse_options(int argc, char **argv);

// Runs the installation: prepares the process, locates and opens the package file, verifies it,
// walks the records and prints the final line. Bit 0 of flags turns quiet mode on. Returns 0
// when the walk has been completed (also after "ERROR: Installation failed."); every fatal error
// ends the process with status 1 instead.
int zninstall(int flags, const char *argv0);

}  // namespace zn

#endif  // ZN_INSTALL_DRIVER_H
