// Verification of the package file before any record is acted on: the package header is where
// the magic says, the payload length matches the file, and the CRC-32 of the whole file (with
// the stored CRC counted as zero) matches the stored CRC. A failed size or CRC check is shown and
// the user may go on by pressing Enter on an empty line; anything else ends the run.
#ifndef ZN_INSTALL_VERIFY_H
#define ZN_INSTALL_VERIFY_H

#include <cstdint>

#include "install/package_format.h"

namespace zn {

// Verifies the package open at fd whose size is file_size. Returns the payload offset with the
// header in header_out, or ends the process with status 1 (missing header, a refused prompt).
// Reads fd from the start, once for the header search and once for the CRC; prompts on
// standard input.
uint32_t verify_package(int fd, uint64_t file_size, unsigned char header_out[kPackageHeaderSize]);

}  // namespace zn

#endif  // ZN_INSTALL_VERIFY_H
