#include "install/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/handlers.h"
#include "install/interrupt.h"
#include "install/product.h"
#include "install/run_state.h"
#include "install/temp_program.h"
#include "install/verify.h"
#include "lib/chk.h"
#include "lib/findexec.h"
#include "package/package_format.h"
#include "package/record_body.h"
#include "package/tar_reader.h"

namespace zn {

constexpr int kUmask = 022;
constexpr const char kVendorNotice[] = "Copyright (C) 2026 the zninstall developers.";

namespace {

// Set by -program: the package file to read instead of the running executable.
const char *program_option = nullptr;

// The options, each accepted with one dash and with two.
enum option_id : int {
    kOptDebug,
    kOptDump,
    kOptQuiet,
    kOptProgram,
    kOptHelp,
    kOptVersion,
    kOptTarget,
    kOptCheck,
    kOptList,
    kOptNoexec,
    kOptNosync,
    kOptInfo,
    kOptAccept,
    kOptNodiskspace,
    kOptProgress,
    kOptVerbose,
};

struct option_entry {
    const char *name;  // without its dash
    option_id id;
    bool takes_value;  // the next argument (or, for -target, the text after '=') is its value
};

const option_entry kOptions[] = {
    {"d", kOptDebug, false},
    {"gz", kOptDump, false},
    {"quiet", kOptQuiet, false},
    {"program", kOptProgram, true},
    {"h", kOptHelp, false},
    {"help", kOptHelp, false},
    {"version", kOptVersion, false},
    {"target", kOptTarget, true},
    {"check", kOptCheck, false},
    {"list", kOptList, false},
    {"noexec", kOptNoexec, false},
    {"nosync", kOptNosync, false},
    {"info", kOptInfo, false},
    {"accept", kOptAccept, false},
    {"nodiskspace", kOptNodiskspace, false},
    {"progress", kOptProgress, false},
    {"verbose", kOptVerbose, false},
};

// Pairs of options that ask for things that exclude each other: the run is refused.
const struct {
    option_id a, b;
} kRefusedPairs[] = {
    {kOptCheck, kOptList},   {kOptCheck, kOptDump},  {kOptCheck, kOptDebug},
    {kOptCheck, kOptTarget}, {kOptList, kOptDump},   {kOptList, kOptDebug},
    {kOptList, kOptTarget},  {kOptDump, kOptTarget}, {kOptDebug, kOptNoexec},
    {kOptInfo, kOptCheck},   {kOptInfo, kOptList},   {kOptInfo, kOptDump},
    {kOptInfo, kOptDebug},   {kOptInfo, kOptTarget},
};

unsigned options_seen;  // bit (1 << option_id) for every option given
bool target_missing;    // -target came last, or with an empty value or one beginning with '-'
// The first argument that is neither an option nor an option's value, and whether it looked
// like an option: the command line is refused.
const char *stray_argument;
bool stray_is_option;

const char kUsage[] =
    "usage: %s [option]...\n"
    "Installs the product packed into this file. Options (with one dash or two):\n"
    "  -h, -help      show this text and exit\n"
    "  -version       show the product's and the installer's version and exit\n"
    "  -info          verify the package, then describe the product; write nothing\n"
    "  -target DIR    install into DIR without asking; DIR and its parents are made\n"
    "  -check         verify the package: \"Package is intact.\" or what is wrong\n"
    "  -list          verify the package, then list what it holds; write nothing\n"
    "  -noexec        install, but run neither the script nor a helper program\n"
    "  -nosync        do not wait for what is installed to reach the disk\n"
    "  -accept        accept the product's licence without being asked\n"
    "  -nodiskspace   do not check the free space before unpacking\n"
    "  -progress      one progress line instead of a line per file\n"
    "  -verbose       a line per file, also when the product shows a progress line\n"
    "  -gz            write the product's tar archive to standard output\n"
    "  -d             open a shell before the post-install script runs\n"
    "  -quiet         start a helper program with the argument /quiet\n"
    "  -program FILE  read the package from FILE instead of this program\n"
    "Any other argument is refused. -check, -list and -info go with none of -gz,\n"
    "-d, -target or each other; -gz not with -target; -d not with -noexec. A\n"
    "directory whose name begins with '-' is given as ./-name.\n"
    "Exit status: 0 success (-check, -info: the package is intact); 1 a fatal\n"
    "error, a refused prompt or command line, or (-check, -list, -info) a damaged\n"
    "package; 2 every record was handled but something failed (-list: an archive\n"
    "could not be read whole; -gz: the archive could not be written whole), or\n"
    "Enter went on past a failed check; 128+N the run was stopped by signal N.\n";

const option_entry *find_option(const char *name, const char **inline_value) {
    for (const option_entry &o : kOptions) {
        size_t len = std::strlen(o.name);
        if (std::strncmp(name, o.name, len) != 0) continue;
        if (name[len] == '\0') return &o;
        // "-target=DIR" as well as "-target DIR"; every other option has its one form.
        if (name[len] == '=' && o.id == kOptTarget) {
            *inline_value = name + len + 1;
            return &o;
        }
    }
    return nullptr;
}

bool seen(option_id id) {
    return options_seen & (1u << id);
}

// Returns the text that refuses the command line, or null when it may run.
const char *refused_options(char *text, size_t size) {
    if (stray_argument != nullptr) {
        std::snprintf(text, size, "%s %s",
                      stray_is_option ? "unknown option" : "unexpected argument", stray_argument);
        return text;
    }
    if (target_missing) return "-target needs a directory";
    for (const auto &pair : kRefusedPairs) {
        if (!seen(pair.a) || !seen(pair.b)) continue;
        const char *names[2] = {nullptr, nullptr};
        for (const option_entry &o : kOptions) {
            if (o.id == pair.a && names[0] == nullptr) names[0] = o.name;
            if (o.id == pair.b && names[1] == nullptr) names[1] = o.name;
        }
        std::snprintf(text, size, "-%s cannot be combined with -%s", names[0], names[1]);
        return text;
    }
    return nullptr;
}

struct dispatch_entry {
    unsigned type;
    record_handler handler;
    bool result_counts;         // a non-zero result turns the final line into the failure line
    bool works_in_install_dir;  // unpacks or runs in the current directory
};

// The product record, read before the walk (product_load).
int skip_record(int, const unsigned char *) {
    return 0;
}

const dispatch_entry kDispatch[] = {
    {kRecordWelcome, handle_welcome_record, false, false},
    {kRecordArchive, handle_archive_record, true, true},
    {kRecordProgram, handle_program_record, true, true},
    {kRecordArchiveAlt, handle_archive_record, true, true},
    {kRecordScript, handle_script_record, true, true},
    {kRecordEnvironment, handle_environment_record, false, false},
    {kRecordZstdArchive, handle_archive_record, true, true},
    {kRecordZstdScript, handle_script_record, true, true},
    {kRecordProduct, skip_record, false, false},
    {kRecordLicence, handle_licence_record, false, false},
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

// The package file for -version, opened as the run would open it, with no message when that
// fails. Returns the descriptor with *size set, or -1.
int package_open_quietly(const char *argv0, uint64_t *size) {
    char resolved[PATH_MAX];
    char *found = nullptr;
    const char *path = program_option;
    if (path == nullptr)
        path = found = find_exec_path(getenv("PATH"), argv0);
    else if (realpath(path, resolved) != nullptr)
        path = resolved;
    int fd = path != nullptr ? open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    chk_free(found);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0) *size = uint64_t(st.st_size);
    return fd;
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

// Calls act for every record, in file order, with the descriptor at the record's body; a record
// header cut short ends the run. Returns 1 when any call returned non-zero.
int for_each_record(uint32_t payload_offset, uint64_t file_size,
                    int (*act)(const record_header &header, const unsigned char *raw)) {
    int failed = 0;
    record_cursor cursor;
    record_cursor_init(&cursor, package_fd, payload_offset, file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header header;
    int got;
    while ((got = record_cursor_next(&cursor, raw, &header, nullptr)) != 0) {
        if (got < 0) fatal_err("Error extracting package -- premature EOF detected.\n");
        if (act(header, raw) != 0) failed = 1;
    }
    return failed;
}

int archive_failed;  // an archive record was not installed whole (and was rolled back)

// Hands the record to its handler. Returns 1 when a handler whose result counts failed.
int install_record(const record_header &header, const unsigned char *raw) {
    interrupt_check();
    const dispatch_entry *entry = find_handler(header.type);
    if (entry == nullptr) fatal_err("Unexpected error in package file\n");
    record_kind kind = record_kind_of(header.type);
    // Scripts and helpers work on the product: after an archive failed, there is none whole.
    if (archive_failed && (kind == kKindScript || kind == kKindProgram)) {
        skip_notice(kind == kKindScript
                        ? "Skipping post-install script: the product was not installed whole.\n"
                        : "Skipping helper program: the product was not installed whole.\n");
        return 1;
    }
    // The install directory is entered before the first record that works in it: with -target
    // that directory, so that a package without a welcome record installs there too. Without,
    // an archive unpacks into the current directory, checked first as a typed one would be.
    if (install_dir == nullptr && entry->works_in_install_dir && !dump_mode) {
        if (target_dir != nullptr)
            install_dir_enter(target_dir, 1);
        else if (kind == kKindArchive)
            current_dir_enter();
    }
    int result = entry->handler(package_fd, raw);
    if (result != 0 && kind == kKindArchive && !dump_mode) archive_failed = 1;
    return result != 0 && entry->result_counts;
}

// The line of a product record in -list: "product" and each field present, texts escaped.
// Returns 1 when the record does not decode.
int list_product(const unsigned char *raw) {
    product_info p;
    const char *why = "the file ends inside it";
    if (product_record_read(package_fd, raw, &p, &why) != 0) {
        std::printf("product (damaged: %s)\n", why);
        return 1;
    }
    std::fputs("product", stdout);
    const struct {
        int has;
        const char *label, *text;
    } texts[] = {{p.has_name, " name=", p.name},
                 {p.has_version, " version=", p.version},
                 {p.has_default_dir, " dir=", p.default_dir}};
    for (const auto &t : texts) {
        if (!t.has) continue;
        std::fputs(t.label, stdout);
        put_shown(t.text);
    }
    if (p.has_unpacked_size) std::printf(" size=%llu", (unsigned long long)p.unpacked_size);
    if (p.has_entries) std::printf(" entries=%llu", (unsigned long long)p.entries);
    if (p.has_flags) std::printf(" progress=%s", p.flags & kProductFlagProgress ? "on" : "off");
    std::putchar('\n');
    return 0;
}

// Lists the record instead of acting on it: every archive entry, "env NAME=VALUE", "welcome N
// bytes", "script" or "program N bytes". Nothing is written, nothing run; a record the installer
// would stop at ends the run here too. Returns 1 when an archive could not be read whole.
int list_record(const record_header &header, const unsigned char *raw) {
    switch (record_kind_of(header.type)) {
        case kKindEnvironment: {
            char text[kEnvironmentMax + 1];
            environment_record_load(package_fd, raw, text);
            std::fputs("env ", stdout);
            put_shown(text);
            std::putchar('\n');
            return 0;
        }
        case kKindWelcome:
            std::printf("welcome %lu bytes\n", (unsigned long)header.body_length);
            return 0;
        case kKindArchive: {
            tar_reader reader;
            tar_reader_init_list(&reader);
            return archive_record_read(package_fd, raw, &reader);
        }
        case kKindScript:
            std::printf("script\n");
            return 0;
        case kKindProgram:
            std::printf("program %lu bytes\n", (unsigned long)header.body_length);
            return 0;
        case kKindProduct:
            return list_product(raw);
        case kKindLicence:
            licence_list(package_fd, header.body_length);
            return 0;
        default:
            fatal_err("Unexpected error in package file\n");
    }
}

}  // namespace

int parse_options(int argc, char **argv) {
    int i = 1;
    while (i < argc) {
        const char *arg = argv[i];
        // A mistyped option or a stray word must never turn into an install: the first one
        // refuses the command line.
        if (arg[0] != '-' || arg[1] == '\0' || (arg[1] == '-' && arg[2] == '\0')) {
            stray_argument = arg;
            stray_is_option = arg[0] == '-';
            return i;
        }
        const char *name = arg + 1;
        if (name[0] == '-') name++;
        const char *value = nullptr;
        const option_entry *opt = find_option(name, &value);
        if (opt == nullptr) {
            stray_argument = arg;
            stray_is_option = true;
            return i;
        }
        options_seen |= 1u << opt->id;
        if (opt->takes_value && value == nullptr) {
            if (i + 1 >= argc) {
                target_missing = opt->id == kOptTarget;
                return i + 1;
            }
            value = argv[++i];
        }
        switch (opt->id) {
            case kOptDebug:
                debug_mode = 1;
                break;
            case kOptDump:
                dump_mode = 1;
                break;
            case kOptQuiet:
                quiet_install = 1;
                break;
            case kOptProgram:
                program_option = value;
                break;
            case kOptTarget:
                // "-target -noexec" must not install into "-noexec" and run the script.
                target_dir = value;
                target_missing = value[0] == '\0' || value[0] == '-';
                break;
            case kOptNoexec:
                noexec_mode = 1;
                break;
            case kOptNosync:
                nosync_mode = 1;
                break;
            case kOptAccept:
                accept_mode = 1;
                break;
            case kOptNodiskspace:
                nodiskspace_mode = 1;
                break;
            case kOptProgress:
                progress_mode = 1;
                break;
            case kOptVerbose:
                verbose_mode = 1;
                break;
            default:
                break;  // -h, -help, -version, -check, -list and -info are looked at by zninstall
        }
        i++;
    }
    return i;
}

namespace {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the installer
// opens becomes standard input (read as answers) or output.
void standard_descriptors_open() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) close(opened);  // a lower one was closed meanwhile
    }
}

}  // namespace

int zninstall(int flags, const char *argv0) {
    standard_descriptors_open();
    // 0. Help, the version and a refused command line end the run before anything else.
    if (seen(kOptHelp)) {
        std::printf(kUsage, argv0);
        return std::fflush(stdout) == 0 ? kExitSuccess : kExitFatal;
    }
    if (seen(kOptVersion)) {
        uint64_t size;
        int fd = package_open_quietly(argv0, &size);
        if (fd >= 0) {
            product_version_line(fd, size);
            close(fd);
        }
        std::printf("ZNINSTALL v%d.%03d %s\n", kVersionMajor, kVersionMinor, kVendorNotice);
        return std::fflush(stdout) == 0 ? kExitSuccess : kExitFatal;
    }
    char text[kTextBufferSize];
    if (const char *why = refused_options(text, sizeof text)) {
        err_printf("zninstall: %s (see -help)\n", why);
        return kExitFatal;
    }

    // 1-5: temporary directory, quiet flag, umask, signals, magic.
    if (flags & 1) quiet_install = 1;
    umask(kUmask);
    bool writes = !seen(kOptCheck) && !seen(kOptList) && !seen(kOptInfo);
    temp_dir_choose();
    if (writes && temp_dir_from_env) temp_dir_check();
    signal(SIGPIPE, SIG_IGN);
    if (writes) interrupt_catch();
    // A write past the file-size limit then fails with EFBIG and is reported like a full disk,
    // instead of killing the process with its output unflushed.
    signal(SIGXFSZ, SIG_IGN);
    build_package_magic();

    // 6-7: the package file and its size. The open never blocks (a FIFO named by -program), and
    // the descriptor itself must be a regular file: a device or a FIFO has no size to verify
    // against, and the header search would read it without end.
    package_path = locate_package(argv0);
    package_fd = open(package_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (package_fd < 0) cannot_open(package_path);
    struct stat st;
    if (fstat(package_fd, &st) < 0) cannot_open(package_path);
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        cannot_open(package_path);
    }
    uint64_t file_size = uint64_t(st.st_size);

    // 8-9: banner and verification.
    write_banner();
    // -check and -list never prompt: a damaged package is reported and ends the run.
    unsigned char header[kPackageHeaderSize];
    bool asks = writes;
    int intact = 0;
    uint32_t payload_offset =
        verify_package(package_fd, file_size, header, asks ? kVerifyAsk : kVerifyReport, &intact);
    if (!asks && !intact) return kExitFatal;
    if (seen(kOptCheck)) {
        std::printf("Package is intact.\n");
        return std::fflush(stdout) == 0 ? kExitSuccess : kExitFatal;
    }
    if (seen(kOptList)) {
        int failed = for_each_record(payload_offset, file_size, list_record);
        if (std::fflush(stdout) != 0) failed = 1;
        return failed ? kExitFailed : kExitSuccess;
    }
    // The product record first, whatever its place: the directory offered, the free space and
    // the progress line depend on it.
    if (!dump_mode) product_load(payload_offset, file_size);
    if (seen(kOptInfo)) {
        package_header fields;
        package_header_decode(header, &fields);
        return product_info_print(payload_offset, file_size, fields.crc) == 0 ? kExitSuccess
                                                                              : kExitFatal;
    }

    // 10-11: the records, then the final line.
    // Dump mode has no final line: its status is the only sign that something failed. A damaged
    // package the user chose to go on with is acted on in full, but the run is not a success.
    int failed = for_each_record(payload_offset, file_size, install_record);
    if (!intact) failed = 1;
    interrupt_check();
    if (dump_mode) {
        if (std::fflush(stdout) != 0) failed = 1;
        return failed ? kExitFailed : kExitSuccess;
    }
    std::puts(failed ? "ERROR: Installation failed." : "Installation successfully completed.");
    std::fflush(stdout);
    return failed ? kExitFailed : kExitSuccess;
}

}  // namespace zn
