#include "install/verify.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "install/run_state.h"
#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/fd_io.h"

namespace zn {

constexpr int kVerifyChunk = 64 * 1024;  // bytes read and folded per step

namespace {

constexpr const char kContinuePrompt[] = "    Press <Enter> to continue: ";

// Reads one answer; the run goes on only after an empty line (Enter alone).
void continue_on_enter(char *text) {
    if (!read_answer(text, kTextBufferSize) || text[0] != '\n') std::exit(1);
}

}  // namespace

uint32_t verify_package(int fd, uint64_t file_size, unsigned char header[kPackageHeaderSize],
                        int mode, int *intact) {
    char text[kTextBufferSize];
    int failures = 0;
    static char chunk[kVerifyChunk];
    uint32_t limit = file_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(file_size);
    uint32_t payload_offset = find_package_header(fd, 0, limit);

    // 1. The program image, with progress once a second.
    crc32_accum(nullptr, 0);
    lseek(fd, 0, SEEK_SET);
    time_t noted = time(nullptr);
    uint32_t done = 0;
    while (done < payload_offset) {
        uint32_t want = payload_offset - done < uint32_t(kVerifyChunk) ? payload_offset - done
                                                                       : uint32_t(kVerifyChunk);
        ssize_t got = read_some(fd, chunk, want);
        if (got <= 0) break;  // a short image leaves the CRC wrong, which the check reports
        crc32_accum(chunk, int(got));
        done += uint32_t(got);
        time_t now = time(nullptr);
        if (now != noted) {
            err_printf("(processing .. %ld%% complete)\n",
                       long(uint64_t(done) * 100 / payload_offset));
            noted = now;
        }
    }
    err_printf("\n");

    // 2. The header: it must be there in full and begin with the magic.
    lseek(fd, off_t(payload_offset), SEEK_SET);
    size_t have = 0;
    while (have < size_t(kPackageHeaderSize)) {
        ssize_t got = read_some(fd, header + have, kPackageHeaderSize - have);
        if (got <= 0) break;
        have += size_t(got);
    }
    if (have < size_t(kPackageHeaderSize)) fatal_err("Error reading package header\n");
    package_header fields;
    if (!package_header_decode(header, &fields)) fatal_err("Cannot locate package payload.\n");

    uint32_t expected_crc = fields.crc;
    LPUT32(header + kHeaderCrcOffset, 0);
    crc32_accum(header, kPackageHeaderSize);
    LPUT32(header + kHeaderCrcOffset, expected_crc);

    // 3. The size check; after Enter the CRC is still computed over the bytes present.
    if (file_size - payload_offset != fields.payload_length) {
        std::snprintf(text, sizeof text,
                      "\n*** Error:\n"
                      "    Package is corrupt - incorrect size detected.\n"
                      "    File size should be: %ld bytes\n"
                      "    Actual size        : %ld bytes\n",
                      long(uint64_t(payload_offset) + fields.payload_length), long(file_size));
        std::fputs(text, stdout);
        failures++;
        if (mode == kVerifyAsk) {
            std::fputs(kContinuePrompt, stdout);
            continue_on_enter(text);
        }
    }

    // 4. The rest of the file, from the byte after the header.
    uint32_t calculated = crc32_accum(text, 0);
    for (;;) {
        ssize_t got = read_some(fd, chunk, kVerifyChunk);
        if (got <= 0) break;
        calculated = crc32_accum(chunk, int(got));
    }

    // 5. The CRC check, on standard error.
    if (calculated != expected_crc) {
        err_printf(
            "\n*** Error:\n"
            "    Package is corrupt - file has failed checksum.\n"
            "    Expected CRC: %08lx Calculated: %08lx\n",
            (unsigned long)expected_crc, (unsigned long)calculated);
        failures++;
        if (mode == kVerifyAsk) {
            err_printf("%s", kContinuePrompt);
            continue_on_enter(text);
        }
    }
    if (intact != nullptr) *intact = failures == 0;
    return payload_offset;
}

}  // namespace zn
