#include "install/verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "install/run_state.h"
#include "package/package_check.h"

namespace zn {

namespace {

constexpr const char kContinuePrompt[] = "    Press <Enter> to continue: ";

// Reads one answer; the run goes on only after an empty line (Enter alone).
void continue_on_enter(char *text) {
    if (!read_answer(text, kTextBufferSize) || text[0] != '\n') std::exit(1);
}

// Shows how much of the program image has been read, at most once a second. ctx is the time of
// the last line (or of the start).
void show_progress(void *ctx, uint64_t done, uint64_t total) {
    time_t *noted = static_cast<time_t *>(ctx);
    time_t now = time(nullptr);
    if (now == *noted) return;
    err_printf("(processing .. %ld%% complete)\n", long(done * 100 / total));
    *noted = now;
}

}  // namespace

uint32_t verify_package(int fd, uint64_t file_size, unsigned char header[kPackageHeaderSize],
                        int mode, int *intact) {
    char text[kTextBufferSize];
    int failures = 0;

    // 1. The whole file, with progress while the program image is read. A read failure is not
    // worded: it leaves the header short or the CRC wrong, which the checks below report.
    package_check c;
    time_t noted = time(nullptr);
    package_check_file(fd, file_size, &c, show_progress, &noted);
    err_printf("\n");

    // 2. The header: it must be there in full and begin with the magic.
    if (!c.header_whole) fatal_err("Error reading package header\n");
    if (!c.magic_ok) fatal_err("Cannot locate package payload.\n");
    std::memcpy(header, c.raw, kPackageHeaderSize);

    // 3. The size check; after Enter the CRC is still compared.
    if (!package_check_length_ok(&c)) {
        std::snprintf(text, sizeof text,
                      "\n*** Error:\n"
                      "    Package is corrupt - incorrect size detected.\n"
                      "    File size should be: %ld bytes\n"
                      "    Actual size        : %ld bytes\n",
                      long(package_check_wanted_size(&c)), long(file_size));
        std::fputs(text, stdout);
        failures++;
        if (mode == kVerifyAsk) {
            std::fputs(kContinuePrompt, stdout);
            continue_on_enter(text);
        }
    }

    // 4. The CRC check, on standard error.
    if (!package_check_crc_ok(&c)) {
        err_printf(
            "\n*** Error:\n"
            "    Package is corrupt - file has failed checksum.\n"
            "    Expected CRC: %08lx Calculated: %08lx\n",
            (unsigned long)c.header.crc, (unsigned long)c.calculated_crc);
        failures++;
        if (mode == kVerifyAsk) {
            err_printf("%s", kContinuePrompt);
            continue_on_enter(text);
        }
    }
    if (intact != nullptr) *intact = failures == 0;
    return c.header_offset;
}

}  // namespace zn
