#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "install/handlers.h"
#include "install/run_state.h"
#include "install/temp_program.h"
#include "lib/byteorder.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "package/record_body.h"

namespace zn {

constexpr int kProgramFileMode = 0755;
constexpr const char kQuietArgument[] = "/quiet";
constexpr int kProgramRunFailed = -3;  // it could not be started, or it failed (reported)

int handle_program_record(int fd, const unsigned char *record_header) {
    // Not even written: nothing of a program that is not to run reaches the disk.
    if (noexec_mode) {
        skip_notice("Skipping helper program\n");
        return 0;
    }
    uint32_t length = LGET32(record_header + kRecordLengthOffset);
    char path[kTextBufferSize];
    int out = temp_program_create(path, sizeof path, kProgramFileMode);
    if (out < 0) {
        std::printf("Error: cannot create temp output file: %s\n", path);
        std::fflush(stdout);
        std::exit(1);
    }

    int chunk = 0;
    int result = program_record_copy(fd, length, out, &chunk);
    if (result == -2) std::printf("Failed to read %d bytes from source\n", chunk);
    if (result == -1) std::printf("Failed to write %d bytes from source\n", chunk);
    if (close(out) < 0 && result == 0) {
        int error = errno;
        std::printf("Error writing file %s\n", path);
        err_reason(path, error);
        result = -1;
    }
    int ran = result == 0
                  ? run_program(path, quiet_install ? kQuietArgument : nullptr, "Helper program")
                  : 0;
    temp_program_remove();  // a file written in part never runs
    if (result != 0) return result;
    return ran < 0 ? kProgramRunFailed : 0;
}

}  // namespace zn
