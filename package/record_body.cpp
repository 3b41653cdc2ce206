#include "package/record_body.h"

#include <algorithm>

#include "lib/byteorder.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/tar_reader.h"

namespace zn {

constexpr int kProgramCopyChunk = 4096;  // bytes copied per step

namespace {

int tar_feed_writer(bz_context *ctx, const char *data, int count) {
    tar_reader_feed(reinterpret_cast<tar_reader *>(bz_handle(ctx)), data, size_t(count));
    return 0;
}

}  // namespace

int environment_record_read(int fd, const unsigned char *record_header, char *text) {
    uint32_t length = LGET32(record_header + kRecordLengthOffset);
    if (length > kEnvironmentMax) return -1;
    if (read_full(fd, text, length) < length) return -2;
    text[length] = '\0';  // a NUL inside the body ends the text earlier
    return 0;
}

int program_record_copy(int fd, uint32_t length, int out_fd, int *chunk) {
    char buf[kProgramCopyChunk];
    uint32_t remaining = length;
    while (remaining > 0) {
        *chunk = int(std::min<uint32_t>(remaining, kProgramCopyChunk));
        if (read_full(fd, buf, size_t(*chunk)) < size_t(*chunk)) return -2;
        if (write_full(out_fd, buf, size_t(*chunk)) < size_t(*chunk)) return -1;
        remaining -= uint32_t(*chunk);
    }
    return 0;
}

int archive_record_read(int fd, const unsigned char *record_header, tar_reader *r) {
    int rc = record_body_unzip(fd, record_header, reinterpret_cast<uintptr_t>(r), tar_feed_writer);
    int failed = tar_reader_finish(r, rc == kBzOk);
    if (tar_reader_commit(r, 0) != 0) failed = 1;
    return (rc != kBzOk || failed) ? 1 : 0;
}

}  // namespace zn
