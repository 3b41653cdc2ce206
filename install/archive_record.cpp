#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "install/extract_pipe.h"
#include "install/handlers.h"
#include "install/run_state.h"
#include "package/bzunzip.h"
#include "package/package_reader.h"
#include "package/tar_reader.h"

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
    if (dump_mode) {
        int rc = record_body_unzip(fd, record_header, 0, stdout_writer);
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
    tar_reader_init(&archive, root);
    extract_pipe_start(&archive);
    int rc = record_body_unzip(fd, record_header, 0, tar_writer, tar_sync);
    extract_pipe_finish();
    int failed = tar_reader_finish(&archive, rc == kBzOk);
    close(root);
    std::fflush(stdout);
    return (rc != kBzOk || failed) ? 1 : 0;
}

}  // namespace zn
