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
#include "package/version.h"

namespace zn {

// Largest SOURCE_DATE_EPOCH taken, in seconds (some 34,000 years): parsing stays far from overflow.
constexpr int64_t kEpochMax = int64_t(1) << 40;

// A packed directory's entries carry this time unless SOURCE_DATE_EPOCH says otherwise.
constexpr int64_t kDefaultMtime = 0;

// Largest --threads value taken.
constexpr int kThreadsMax = kBzMaxThreads;

// The usage of each command: its synopsis and its description, which begins with the command's
// name so that it reads the same alone and in the general usage. Every line fits 80 columns.
struct command_usage {
    const char *synopsis;  // after "znpack "
    const char *text;
};

static const command_usage kBuildUsage = {
    "build -o OUT [OPTION]... RECORD...",
    "build writes OUT: the installer (default: the zninstall beside znpack, else the\n"
    "one installed with it) with a package appended, and prints one line:\n"
    "\"OUT: SIZE bytes, N records, sha256 DIGEST\". A package needs at least one\n"
    "record; a record body and the whole package hold at most 4 GiB - 1 bytes each.\n"
    "  -o OUT                  the file to write\n"
    "  --stub INSTALLER        the installer image to put in front of the package\n"
    "  --compress bzip2|zstd[:LEVEL]\n"
    "                          how archives and scripts are compressed: bzip2 (the\n"
    "                          default; record types 2 and 11) or zstd, at LEVEL 1\n"
    "                          to 22, default 19 (record types 20 and 21, which\n"
    "                          install several times faster)\n"
    "  --threads N             compression threads (default: ZN_THREADS, else one\n"
    "                          per processor, at most 64); the package is the same\n"
    "                          whatever their number\n"
    "The product record (type 30) comes first when there is an archive or any of\n"
    "--name, --version, --default-dir and --progress is given; it also holds the\n"
    "archives' unpacked size and number of entries. Texts: at most 1023 bytes each.\n"
    "  --name TEXT             the product's name\n"
    "  --version TEXT          the product's version\n"
    "  --default-dir DIR       the install directory to offer: absolute, or ~/...\n"
    "  --progress              show the progress line by default\n"
    "  --license FILE          licence text (record type 31), stored as it is, right\n"
    "                          after the product record\n"
    "The other records, in the order given:\n"
    "  --env NAME=VALUE        environment setting, at most 1022 bytes; NAME is a\n"
    "                          shell variable name\n"
    "  --welcome FILE          welcome text, stored as it is\n"
    "  --archive DIR|FILE.tar  product archive: a directory is packed as a tar\n"
    "                          archive, a .tar file taken as it is; compressed\n"
    "  --script FILE           post-install script, compressed\n"
    "  --program FILE          helper program, stored as it is\n"
    "Packed directories are reproducible: sorted, owned by 0/0, every time stamp\n"
    "taken from SOURCE_DATE_EPOCH (0 when unset).\n",
};

static const command_usage kListUsage = {
    "list PKG",
    "list prints the package header of PKG and one line per record: offset, body\n"
    "length, type and a detail (the product's fields, the environment setting, the\n"
    "first line of the welcome text, the licence's size, an archive's member count\n"
    "and sizes, a script's decompressed size).\n",
};

static const command_usage kVerifyUsage = {
    "verify PKG",
    "verify checks PKG as the installer does, its length and its CRC-32, and that\n"
    "its product record is whole. Exit status 0 when it is intact, 1 otherwise.\n",
};

static const command_usage kExtractUsage = {
    "extract PKG DIR",
    "extract checks PKG as verify does, then unpacks it into DIR (made when missing;\n"
    "an existing DIR must be empty) and runs nothing of it: archives through the\n"
    "installer's own tar reader (nothing lands outside DIR; set-user-ID and\n"
    "set-group-ID bits and write permission for others are taken off), the\n"
    "product's fields printed as \"product: ...\", environment settings as\n"
    "\"env NAME=VALUE\", then the licence, the welcome text, the script and each\n"
    "program written as licence.txt, welcome.txt, postinstall.sh and program, mode\n"
    "0644 (a name already taken gets -2, -3, ... before its extension).\n",
};

static const command_usage *const kCommandUsages[] = {&kBuildUsage, &kListUsage, &kVerifyUsage,
                                                      &kExtractUsage};

// Prints one command's usage.
static void print_command_usage(const command_usage *u, FILE *to) {
    std::fprintf(to, "usage: znpack %s\n%s", u->synopsis, u->text);
}

// Prints the usage of every command.
static void print_usage(FILE *to) {
    const char *lead = "usage:";
    for (const command_usage *u : kCommandUsages) {
        std::fprintf(to, "%-6s znpack %s\n", lead, u->synopsis);
        lead = "";
    }
    std::fputs("       znpack --version\n", to);
    std::fputs("\"znpack COMMAND --help\" shows the usage of one command.\n", to);
    for (const command_usage *u : kCommandUsages) std::fprintf(to, "\n%s", u->text);
}

// True when an argument asks for the command's usage.
static bool is_help(const char *arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

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

// The product's text options: each takes a value and may be given once.
struct text_option {
    const char *name;
    const char *pack_build_args::*slot;
};

static const text_option kTextOptions[] = {
    {"--name", &pack_build_args::name},
    {"--version", &pack_build_args::version},
    {"--default-dir", &pack_build_args::default_dir},
    {"--license", &pack_build_args::licence},
    {"-o", &pack_build_args::out},
    {"--stub", &pack_build_args::stub},
};

static int command_build(int argc, char **argv) {
    pack_build_args args;
    std::memset(&args, 0, sizeof args);
    pack_record_arg *records =
        static_cast<pack_record_arg *>(chk_alloc(unsigned(argc * sizeof(pack_record_arg)) + 1));
    args.records = records;
    args.compression = kCompressionBzip2;
    args.threads = bz_thread_count();
    bool compress_given = false, threads_given = false, help = false;
    int status = kExitOk;
    for (int i = 2; i < argc && status == kExitOk && !help; i++) {
        const char *arg = argv[i];
        const record_option *rec = nullptr;
        for (const record_option &o : kRecordOptions)
            if (std::strcmp(arg, o.name) == 0) rec = &o;
        const text_option *text = nullptr;
        for (const text_option &o : kTextOptions)
            if (std::strcmp(arg, o.name) == 0) text = &o;
        if (rec != nullptr) {
            const char *value = option_value(argc, argv, &i);
            if (value == nullptr) {
                status = kExitUsage;
            } else {
                records[args.nrecords].type = rec->type;
                records[args.nrecords].value = value;
                args.nrecords++;
            }
        } else if (text != nullptr) {
            const char **slot = &(args.*(text->slot));
            if (*slot != nullptr) {
                status = usage_error("%s given twice", arg);
            } else if ((*slot = option_value(argc, argv, &i)) == nullptr) {
                status = kExitUsage;
            }
        } else if (std::strcmp(arg, "--progress") == 0) {
            args.progress = 1;
        } else if (is_help(arg)) {
            help = true;
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
    if (help) {
        print_command_usage(&kBuildUsage, stdout);
        chk_free(records);
        return kExitOk;
    }
    if (status == kExitOk && args.out == nullptr) status = usage_error("%s", "build needs -o OUT");
    bool product = args.name != nullptr || args.version != nullptr || args.default_dir != nullptr ||
                   args.progress;
    if (status == kExitOk && args.nrecords == 0 && args.licence == nullptr && !product)
        status = usage_error("%s", "build needs at least one record");
    if (status == kExitOk && pack_check_product(&args) < 0)
        status = usage_error("%s", pack_error_text());

    args.mtime = kDefaultMtime;
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (status == kExitOk && epoch != nullptr && znpack_parse_epoch(epoch, &args.mtime) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        status = kExitFailed;
    }
    pack_build_result result;
    if (status == kExitOk && pack_build(&args, &result) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        status = kExitFailed;
    }
    if (status == kExitOk) {
        std::printf("%s: %llu bytes, %d record%s, sha256 %s\n", args.out,
                    static_cast<unsigned long long>(result.size), result.records,
                    result.records == 1 ? "" : "s", result.sha256);
        if (std::fflush(stdout) != 0) status = kExitFailed;
    }
    chk_free(records);
    return status;
}

// True when any argument after the command asks for its usage: list, verify and extract take
// no options, so every argument is looked at.
static bool asks_help(int argc, char **argv) {
    for (int i = 2; i < argc; i++)
        if (is_help(argv[i])) return true;
    return false;
}

static int command_report(int argc, char **argv, const command_usage *usage,
                          int (*run)(const char *)) {
    if (asks_help(argc, argv)) {
        print_command_usage(usage, stdout);
        return kExitOk;
    }
    if (argc != 3) return usage_error("%s takes one package file", argv[1]);
    return run(argv[2]);
}

static int command_extract(int argc, char **argv) {
    if (asks_help(argc, argv)) {
        print_command_usage(&kExtractUsage, stdout);
        return kExitOk;
    }
    if (argc != 4) return usage_error("%s takes a package file and a directory", argv[1]);
    return pack_extract(argv[2], argv[3]);
}

int znpack_main(int argc, char **argv) {
    if (argc < 2) {
        print_usage(stderr);
        return kExitUsage;
    }
    const char *command = argv[1];
    if (is_help(command)) {
        print_usage(stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("znpack %d.%03d\n", kVersionMajor, kVersionMinor);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
    }
    if (std::strcmp(command, "build") == 0) return command_build(argc, argv);
    if (std::strcmp(command, "list") == 0)
        return command_report(argc, argv, &kListUsage, pack_list);
    if (std::strcmp(command, "verify") == 0)
        return command_report(argc, argv, &kVerifyUsage, pack_verify);
    if (std::strcmp(command, "extract") == 0) return command_extract(argc, argv);
    return usage_error("unknown command \"%s\"", command);
}

}  // namespace zn
