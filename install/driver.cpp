#include "install/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/handlers.h"
#include "install/package_format.h"
#include "install/run_state.h"
#include "install/verify.h"
#include "lib/chk.h"
#include "lib/findexec.h"

namespace zn {

constexpr int kUmask = 022;
constexpr const char kVendorNotice[] = "Copyright (C) 2026 the zninstall developers.";

namespace {

// Set by -program: the package file to read instead of the running executable.
const char *program_option = nullptr;

struct dispatch_entry {
    unsigned type;
    record_handler handler;
    bool result_counts;  // a non-zero result turns the final line into the failure line
};

const dispatch_entry kDispatch[] = {
    {kRecordWelcome, handle_welcome_record, false},
    {kRecordArchive, handle_archive_record, true},
    {kRecordProgram, handle_program_record, true},
    {kRecordArchiveAlt, handle_archive_record, true},
    {kRecordScript, handle_script_record, true},
    {kRecordEnvironment, handle_environment_record, false},
    {kRecordZstdArchive, handle_archive_record, true},
    {kRecordZstdScript, handle_script_record, true},
};

const dispatch_entry *find_handler(unsigned type) {
    for (const dispatch_entry &e : kDispatch)
        if (e.type == type) return &e;
    return nullptr;
}

[[noreturn]] void cannot_open(const char *path) {
    std::printf("Error: cannot open file to extract the package.\n       File: %s\n", path);
    err_perror("Cannot open");
    std::exit(1);
}

// Finds the package file: -program's value made canonical, else the running executable.
char *locate_package(const char *argv0) {
    if (program_option != nullptr) {
        char resolved[PATH_MAX];
        return chk_strdup(realpath(program_option, resolved) ? resolved : program_option);
    }
    char *path = find_exec_path(getenv("PATH"), argv0);
    if (path == nullptr) {
        std::printf(
            "Error: couldn't locate directory where the install binary is\n"
            "       being run from. Please ensure you are in the same directory\n"
            "       as %s when you run it.\n",
            argv0);
        std::fflush(stdout);
        std::exit(1);
    }
    return path;
}

void write_banner() {
    char text[kTextBufferSize * 2];
    int n = std::snprintf(text, sizeof text,
                          "ZNINSTALL v%d.%03d %s\n\n"
                          "Verifying package file: %s\n"
                          "This may take a moment...\n",
                          kVersionMajor, kVersionMinor, kVendorNotice, package_path);
    if (n < 0) std::exit(1);
    size_t len = size_t(n) < sizeof text ? size_t(n) : sizeof text - 1;
    std::fflush(stdout);
    if (write(STDERR_FILENO, text, len) != ssize_t(len)) std::exit(1);
}

// Walks the records from the byte after the header to the end of the file. Returns 1 when a
// handler whose result counts reported a failure.
int walk_records(uint32_t payload_offset, uint64_t file_size) {
    int failed = 0;
    record_cursor cursor;
    record_cursor_init(&cursor, package_fd, payload_offset, file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header header;
    for (;;) {
        int got = record_cursor_next(&cursor, raw, &header, nullptr);
        if (got == 0) break;
        if (got < 0) fatal_err("Error extracting package -- premature EOF detected.\n");
        const dispatch_entry *entry = find_handler(header.type);
        if (entry == nullptr) fatal_err("Unexpected error in package file\n");
        int result = entry->handler(package_fd, raw);
        if (result != 0 && entry->result_counts) failed = 1;
    }
    return failed;
}

}  // namespace

int parse_options(int argc, char **argv) {
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        const char *opt = argv[i] + 1;
        if (std::strcmp(opt, "d") == 0) {
            debug_mode = 1;
        } else if (std::strcmp(opt, "gz") == 0) {
            dump_mode = 1;
        } else if (std::strcmp(opt, "quiet") == 0) {
            quiet_install = 1;
        } else if (std::strcmp(opt, "program") == 0) {
            if (i + 1 >= argc) return i + 1;
            program_option = argv[++i];
        }
        i++;
    }
    return i;
}

int zninstall(int flags, const char *argv0) {
    // 1-5: temporary directory, quiet flag, umask, SIGPIPE, magic.
    const char *temp = getenv("TEMP");
    if (temp == nullptr) temp = getenv("TMP");
    temp_dir = temp != nullptr ? temp : ".";
    if (flags & 1) quiet_install = 1;
    umask(kUmask);
    signal(SIGPIPE, SIG_IGN);
    build_package_magic();

    // 6-7: the package file and its size.
    package_path = locate_package(argv0);
    struct stat st;
    if (stat(package_path, &st) < 0) cannot_open(package_path);
    uint64_t file_size = uint64_t(st.st_size);
    package_fd = open(package_path, O_RDONLY | O_CLOEXEC);
    if (package_fd < 0) cannot_open(package_path);

    // 8-9: banner and verification.
    write_banner();
    unsigned char header[kPackageHeaderSize];
    uint32_t payload_offset = verify_package(package_fd, file_size, header);

    // 10-11: the records, then the final line.
    // Dump mode has no final line: its status is the only sign that something failed.
    int failed = walk_records(payload_offset, file_size);
    if (dump_mode) {
        if (std::fflush(stdout) != 0) failed = 1;
        return failed ? kExitFailed : kExitSuccess;
    }
    std::puts(failed ? "ERROR: Installation failed." : "Installation successfully completed.");
    std::fflush(stdout);
    return failed ? kExitFailed : kExitSuccess;
}

}  // namespace zn
