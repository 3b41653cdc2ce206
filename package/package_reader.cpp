#include "package/package_reader.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "lib/byteorder.h"
#include "lib/chk.h"
#include "package/package_format.h"
#include "package/record_decoder.h"

namespace zn {

namespace {

struct reader_state {
    int fd = -1;
    uint64_t position = 0;  // file offset of the next byte to read into the block
    uint64_t left = 0;      // body bytes not yet read into the block
    int fill = 0;           // bytes in the block
    int index = 0;          // next byte of the block to hand out
    char *block = nullptr;  // kReaderBlock bytes, allocated on first use
};

reader_state reader;
std::atomic<uint64_t> total_read{0};

}  // namespace

void package_reader_start(int fd, uint32_t body_length) {
    off_t here = lseek(fd, 0, SEEK_CUR);
    if (reader.block == nullptr) reader.block = static_cast<char *>(chk_alloc(kReaderBlock));
    reader.fd = fd;
    reader.position = here < 0 ? 0 : uint64_t(here);
    reader.left = here < 0 ? 0 : body_length;
    reader.fill = 0;
    reader.index = 0;
}

int package_reader_read(bz_context *, char *buffer, int capacity) {
    int delivered = 0;
    while (delivered < capacity) {
        if (reader.index >= reader.fill) {
            if (reader.left == 0) break;
            size_t want = reader.left < uint64_t(kReaderBlock) ? size_t(reader.left) : kReaderBlock;
            ssize_t got;
            do got = pread(reader.fd, reader.block, want, off_t(reader.position));
            while (got < 0 && errno == EINTR);
            if (got <= 0) {
                reader.left = 0;  // the file ends inside the body
                break;
            }
            reader.fill = int(got);
            reader.index = 0;
            reader.position += uint64_t(got);
            total_read.fetch_add(uint64_t(got), std::memory_order_relaxed);
            reader.left -= uint64_t(got);
        }
        int n = reader.fill - reader.index;
        if (n > capacity - delivered) n = capacity - delivered;
        std::memcpy(buffer + delivered, reader.block + reader.index, size_t(n));
        reader.index += n;
        delivered += n;
    }
    return delivered;
}

uint64_t package_reader_total() {
    return total_read.load(std::memory_order_relaxed);
}

int record_body_unzip(int fd, const unsigned char *record_header, uintptr_t handle,
                      bz_write_fn write_cb, bz_sync_fn sync_cb) {
    package_reader_start(fd, LGET32(record_header + kRecordLengthOffset));
    return record_decoder(record_header)(handle, package_reader_read, write_cb, sync_cb);
}

}  // namespace zn
