// Verification of the package file before any record is acted on: the package header is where
// the magic says, the payload length matches the file, and the CRC-32 of the whole file (with
// the stored CRC counted as zero) matches the stored CRC. A failed size or CRC check is shown and
// the user may go on by pressing Enter on an empty line; anything else ends the run.
#ifndef ZN_INSTALL_VERIFY_H
#define ZN_INSTALL_VERIFY_H

#include <cstdint>

#include "package/package_format.h"

namespace zn {

// What a failed size or CRC check leads to.
enum verify_mode : int {
    kVerifyAsk = 0,     // the failure text ends with a prompt; the run goes on only after Enter
    kVerifyReport = 1,  // the failure text without the prompt; the next check follows at once
};

// Verifies the package open at fd whose size is file_size. Returns the payload offset with the
// header in header_out, or ends the process with status 1 (missing header, a refused prompt).
// *intact (may be null) is set to 1 when the size and the CRC both matched, else 0. Reads fd
// from the start, once for the header search and once for the CRC; with kVerifyAsk, prompts on
// standard input.
uint32_t verify_package(int fd, uint64_t file_size, unsigned char header_out[kPackageHeaderSize],
                        int mode = kVerifyAsk, int *intact = nullptr);

}  // namespace zn

#endif  // ZN_INSTALL_VERIFY_H
