#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "install/extract_pipe.h"
#include "install/handlers.h"
#include "install/interrupt.h"
#include "install/progress.h"
#include "install/run_state.h"
#include "package/bzunzip.h"
#include "package/package_reader.h"
#include "package/tar_reader.h"

namespace zn {

namespace {

tar_reader archive;  // one extraction at a time

constexpr const char kRolledBack[] = "The archive's changes were rolled back.";

// Hands decompressed bytes to the extraction; an interruption stops the decompression.
int tar_writer(bz_context *, const char *data, int count) {
    if (interrupt_signal) return -1;
    extract_pipe_write(data, size_t(count));
    return 0;
}

void tar_sync(bz_context *) {
    extract_pipe_sync();
}

}  // namespace

int stdout_writer(bz_context *, const char *data, int count) {
    if (interrupt_signal) return -1;
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
        interrupt_check();
        return rc != 0;
    }

    std::printf("\n");
    int root = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        err_perror("Cannot open the install directory");
        return 1;
    }
    tar_reader_init(&archive, root);
    archive.stop = &interrupt_signal;
    bool progress = progress_wanted();
    if (progress) progress_attach(&archive);
    extract_pipe_start(&archive);
    int rc = record_body_unzip(fd, record_header, 0, tar_writer, tar_sync);
    extract_pipe_finish();
    int failed = tar_reader_finish(&archive, rc == kBzOk) || rc != kBzOk;
    // The archive installs whole or not at all: a failure, or an interruption before the commit,
    // leaves the install directory as it was. The commit itself is never interrupted.
    if (failed || interrupt_signal) {
        if (progress) progress_detach(0);
        tar_reader_rollback(&archive);
        close(root);
        interrupt_check();
        std::puts(kRolledBack);
    } else {
        interrupt_hold(1);
        int committed = tar_reader_commit(&archive, nosync_mode ? 0 : kJournalSync);
        interrupt_hold(0);
        close(root);
        failed = committed != 0;
        if (progress) progress_detach(committed != 1);
        if (committed == 1) std::puts(kRolledBack);
    }
    std::fflush(stdout);
    return failed;
}

}  // namespace zn
