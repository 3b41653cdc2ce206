#include <cstdio>
#include <cstdlib>

#include "install/handlers.h"
#include "install/run_state.h"
#include "lib/byteorder.h"
#include "lib/chk.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "package/record_body.h"

namespace zn {

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
