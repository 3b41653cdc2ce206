#include <cstdio>
#include <cstdlib>

#include "install/fd_io.h"
#include "install/handlers.h"
#include "install/package_format.h"
#include "install/run_state.h"
#include "lib/byteorder.h"
#include "lib/chk.h"

namespace zn {

int environment_record_read(int fd, const unsigned char *record_header, char *text) {
    uint32_t length = LGET32(record_header + kRecordLengthOffset);
    if (length > kEnvironmentMax) return -1;
    if (read_full(fd, text, length) < length) return -2;
    text[length] = '\0';  // a NUL inside the body ends the text earlier
    return 0;
}

void environment_record_load(int fd, const unsigned char *record_header, char *text) {
    int rc = environment_record_read(fd, record_header, text);
    if (rc == -1) fatal_out("Environment variable too long in setup file\n");
    if (rc < 0) fatal_err("Premature EOF reading env var\n");
}

int handle_environment_record(int fd, const unsigned char *record_header) {
    char text[kEnvironmentMax + 1];
    environment_record_load(fd, record_header, text);

    if (!dump_mode) std::printf("%s\n", text);
    // The environment keeps pointing at the copy, so it is never freed.
    putenv_kept(chk_strdup(text));
    return 0;
}

}  // namespace zn
