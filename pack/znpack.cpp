#include "pack/znpack.h"

#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "pack/pack_build.h"
#include "pack/pack_error.h"
#include "pack/pack_extract.h"
#include "pack/pack_report.h"
#include "pack/zstd_stream.h"
#include "package/bz_parallel.h"
#include "package/package_format.h"

namespace zn {

// Largest SOURCE_DATE_EPOCH taken, in seconds (some 34,000 years): parsing stays far from overflow.
constexpr int64_t kEpochMax = int64_t(1) << 40;

// A packed directory's entries carry this time unless SOURCE_DATE_EPOCH says otherwise.
constexpr int64_t kDefaultMtime = 0;

// Largest --threads value taken.
constexpr int kThreadsMax = kBzMaxThreads;

static const char kUsage[] =
    "usage: znpack build -o OUT [--stub INSTALLER] [--compress bzip2|zstd[:LEVEL]]\n"
    "                    [--threads N] RECORD...\n"
    "       znpack list PKG\n"
    "       znpack verify PKG\n"
    "       znpack extract PKG DIR\n"
    "\n"
    "build writes OUT: the installer (default: the zninstall beside znpack, else the one\n"
    "installed with it) with a package appended, holding these records in the order given:\n"
    "  --env NAME=VALUE        environment setting, at most 1022 bytes\n"
    "  --welcome FILE          welcome text, stored as it is\n"
    "  --archive DIR|FILE.tar  product archive: a directory is packed as a tar archive, a .tar\n"
    "                          file taken as it is; compressed\n"
    "  --script FILE           post-install script, compressed\n"
    "  --program FILE          helper program, stored as it is\n"
    "--compress chooses the compression of archives and scripts: bzip2 (the default; record\n"
    "types 2 and 11) or zstd, at LEVEL 1 to 22, default 19 (record types 20 and 21, which\n"
    "install several times faster). --threads sets the compression threads (default:\n"
    "ZN_THREADS, else one per processor, at most 64); the package is the same whatever\n"
    "their number.\n"
    "Packed directories are reproducible: sorted, owned by 0/0, every time stamp taken from\n"
    "SOURCE_DATE_EPOCH (0 when unset).\n"
    "list prints the package header and its records; verify checks its length and CRC.\n"
    "extract checks PKG as verify does, then unpacks it into DIR (made when missing; an\n"
    "existing DIR must be empty) and runs nothing of it: archives through the installer's\n"
    "own tar reader (nothing lands outside DIR; set-user-ID and set-group-ID bits and write\n"
    "permission for others are taken off), environment settings printed as\n"
    "\"env NAME=VALUE\", then the welcome text, the script and each program written as\n"
    "welcome.txt, postinstall.sh and program, mode 0644 (a name already taken gets -2, -3,\n"
    "... before its extension).\n";

struct record_option {
    const char *name;
    unsigned type;
};

static const record_option kRecordOptions[] = {
    {"--env", kRecordEnvironment}, {"--welcome", kRecordWelcome}, {"--archive", kRecordArchive},
    {"--script", kRecordScript},   {"--program", kRecordProgram},
};

static int usage_error(const char *fmt, const char *arg) {
    std::fputs("znpack: ", stderr);
    std::fprintf(stderr, fmt, arg);
    std::fputs("\n(znpack --help shows the usage)\n", stderr);
    return kExitUsage;
}

int znpack_parse_epoch(const char *text, int64_t *out) {
    int64_t v = 0;
    if (*text == 0) {
        pack_error("SOURCE_DATE_EPOCH is empty");
        return -1;
    }
    for (const char *p = text; *p != 0; p++) {
        if (*p < '0' || *p > '9' || v > kEpochMax) {
            pack_error("SOURCE_DATE_EPOCH=\"%s\" is not a number of seconds", text);
            return -1;
        }
        v = v * 10 + (*p - '0');
    }
    if (v > kEpochMax) {
        pack_error("SOURCE_DATE_EPOCH=\"%s\" is too large", text);
        return -1;
    }
    *out = v;
    return 0;
}

// Parses the value of --compress: "bzip2", "zstd" or "zstd:LEVEL". Returns 0, or -1 when it is
// none of these.
static int parse_compress(const char *text, int *compression, int *level) {
    if (std::strcmp(text, "bzip2") == 0) {
        *compression = kCompressionBzip2;
        return 0;
    }
    if (std::strncmp(text, "zstd", 4) != 0 || (text[4] != 0 && text[4] != ':')) return -1;
    *compression = kCompressionZstd;
    *level = kZstdDefaultLevel;
    if (text[4] == 0) return 0;
    int v = 0;
    const char *p = text + 5;
    for (; *p >= '0' && *p <= '9' && v <= ZSTD_maxCLevel(); p++) v = v * 10 + (*p - '0');
    if (p == text + 5 || *p != 0 || v < 1 || v > ZSTD_maxCLevel()) return -1;
    *level = v;
    return 0;
}

// Parses the value of --threads: a whole number from 1 to kThreadsMax. Returns 0, or -1.
static int parse_threads(const char *text, int *threads) {
    int v = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9' && v <= kThreadsMax; p++) v = v * 10 + (*p - '0');
    if (p == text || *p != 0 || v < 1 || v > kThreadsMax) return -1;
    *threads = v;
    return 0;
}

// Gives the value of an option that takes one, or null (message printed) when it is missing.
static const char *option_value(int argc, char **argv, int *i) {
    if (*i + 1 >= argc) {
        usage_error("%s needs a value", argv[*i]);
        return nullptr;
    }
    return argv[++*i];
}

static int command_build(int argc, char **argv) {
    pack_build_args args;
    std::memset(&args, 0, sizeof args);
    pack_record_arg *records =
        static_cast<pack_record_arg *>(chk_alloc(unsigned(argc * sizeof(pack_record_arg)) + 1));
    args.records = records;
    args.compression = kCompressionBzip2;
    args.threads = bz_thread_count();
    bool compress_given = false, threads_given = false;
    int status = kExitOk;
    for (int i = 2; i < argc && status == kExitOk; i++) {
        const char *arg = argv[i];
        const record_option *rec = nullptr;
        for (const record_option &o : kRecordOptions)
            if (std::strcmp(arg, o.name) == 0) rec = &o;
        if (rec != nullptr) {
            const char *value = option_value(argc, argv, &i);
            if (value == nullptr) {
                status = kExitUsage;
            } else {
                records[args.nrecords].type = rec->type;
                records[args.nrecords].value = value;
                args.nrecords++;
            }
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--stub") == 0) {
            const char **slot = arg[1] == 'o' ? &args.out : &args.stub;
            if (*slot != nullptr) {
                status = usage_error("%s given twice", arg);
            } else if ((*slot = option_value(argc, argv, &i)) == nullptr) {
                status = kExitUsage;
            }
        } else if (std::strcmp(arg, "--compress") == 0 || std::strcmp(arg, "--threads") == 0) {
            bool compress = arg[2] == 'c';
            bool &given = compress ? compress_given : threads_given;
            const char *value = given ? nullptr : option_value(argc, argv, &i);
            char fmt[128];
            if (given) {
                status = usage_error("%s given twice", arg);
            } else if (value == nullptr) {
                status = kExitUsage;
            } else if (compress ? parse_compress(value, &args.compression, &args.zstd_level) < 0
                                : parse_threads(value, &args.threads) < 0) {
                if (compress)
                    std::snprintf(
                        fmt, sizeof fmt,
                        "--compress takes bzip2, zstd or zstd:LEVEL (1 to %d), not \"%%s\"",
                        ZSTD_maxCLevel());
                else
                    std::snprintf(fmt, sizeof fmt,
                                  "--threads takes a number from 1 to %d, not \"%%s\"",
                                  kThreadsMax);
                status = usage_error(fmt, value);
            }
            given = true;
        } else if (arg[0] == '-') {
            status = usage_error("unknown option \"%s\"", arg);
        } else {
            status = usage_error("unexpected argument \"%s\" (records are given by options)", arg);
        }
    }
    if (status == kExitOk && args.out == nullptr) status = usage_error("%s", "build needs -o OUT");

    args.mtime = kDefaultMtime;
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (status == kExitOk && epoch != nullptr && znpack_parse_epoch(epoch, &args.mtime) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        status = kExitFailed;
    }
    if (status == kExitOk && pack_build(&args) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        status = kExitFailed;
    }
    chk_free(records);
    return status;
}

static int command_report(int argc, char **argv, int (*run)(const char *)) {
    if (argc != 3) return usage_error("%s takes one package file", argv[1]);
    return run(argv[2]);
}

static int command_extract(int argc, char **argv) {
    if (argc != 4) return usage_error("%s takes a package file and a directory", argv[1]);
    return pack_extract(argv[2], argv[3]);
}

int znpack_main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char *command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (std::strcmp(command, "build") == 0) return command_build(argc, argv);
    if (std::strcmp(command, "list") == 0) return command_report(argc, argv, pack_list);
    if (std::strcmp(command, "verify") == 0) return command_report(argc, argv, pack_verify);
    if (std::strcmp(command, "extract") == 0) return command_extract(argc, argv);
    return usage_error("unknown command \"%s\"", command);
}

}  // namespace zn
