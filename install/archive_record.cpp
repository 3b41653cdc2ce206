#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "install/bz_parallel.h"
#include "install/bzunzip.h"
#include "install/extract_pipe.h"
#include "install/handlers.h"
#include "install/package_format.h"
#include "install/package_reader.h"
#include "install/run_state.h"
#include "install/tar_reader.h"
#include "lib/byteorder.h"

namespace zn {

namespace {

tar_reader archive;  // one extraction at a time

int tar_writer(bz_context *, const char *data, int count) {
    extract_pipe_write(data, size_t(count));
    return 0;
}

void tar_sync(bz_context *) {
    extract_pipe_sync();
}

}  // namespace

int stdout_writer(bz_context *, const char *data, int count) {
    if (count > 0 && std::fwrite(data, size_t(count), 1, stdout) != 1) {
        err_printf("zninstall: error writing to output stream\n");
        return -1;
    }
    return 0;
}

int handle_archive_record(int fd, const unsigned char *record_header) {
    uint32_t length = LGET32(record_header + kRecordLengthOffset);
    if (dump_mode) {
        package_reader_start(fd, length);
        int rc = bz_decode(0, package_reader_read, stdout_writer);
        if (std::fflush(stdout) != 0 && rc == 0) {
            err_printf("zninstall: error writing to output stream\n");
            rc = -1;
        }
        return rc != 0;
    }

    std::printf("\n");
    int root = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        err_perror("Cannot open the install directory");
        return 1;
    }
    package_reader_start(fd, length);
    tar_reader_init(&archive, root);
    extract_pipe_start(&archive);
    int rc = bz_decode(0, package_reader_read, tar_writer, tar_sync);
    extract_pipe_finish();
    int failed = tar_reader_finish(&archive, rc == kBzOk);
    close(root);
    std::fflush(stdout);
    return (rc != kBzOk || failed) ? 1 : 0;
}

}  // namespace zn
