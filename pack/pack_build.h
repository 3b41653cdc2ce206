// `znpack build`: writes a package file, the installer image with the package appended.
//
// The package goes to a temporary file beside the output (".NAME.XXXXXX" in the same directory)
// that is renamed over the output only when every record has been written, so that bad input or
// a full disk never leaves a half-written output behind, and an existing output stays as it was.
// SIGINT, SIGTERM and SIGHUP remove the temporary file before the tool dies.
#ifndef ZN_PACK_PACK_BUILD_H
#define ZN_PACK_PACK_BUILD_H

#include <cstdint>

namespace zn {

// One record to add: its type (RecordType of package/package_format.h) and the command-line value
// (the NAME=VALUE text, or the path of the file or directory). kRecordArchive takes a directory,
// packed as a tar archive, or a file named *.tar, taken as it is; both are compressed, as the
// script is, and written as the archive and script types of the build's compression. Welcome
// texts and programs are stored as they are.
struct pack_record_arg {
    unsigned type;
    const char *value;
};

struct pack_build_args {
    const char *out;
    const char *stub;  // the installer image; null for the zninstall beside this program
    const pack_record_arg *records;
    int nrecords;
    int64_t mtime;    // time stamp of every entry of a packed directory
    int compression;  // kCompressionBzip2 or kCompressionZstd (package/package_format.h)
    int zstd_level;   // 1 to ZSTD_maxCLevel(); for kCompressionZstd
    int threads;      // compression threads, at least 1; the output does not depend on it
    // The product record, written before every other record when an archive is given or any of
    // these is set. Texts are null when not given.
    const char *name;
    const char *version;
    const char *default_dir;  // absolute, or beginning with "~"
    int progress;             // show the progress line by default
    const char *licence;      // file of the licence record, placed after the product record
};

// What pack_build reports about the file it wrote.
struct pack_build_result {
    uint64_t size;    // bytes of the whole file, installer image included
    int records;      // records in its package
    char sha256[65];  // the file's SHA-256, 64 lower-case hex digits and a NUL
};

// Returns the installer image to use by default: "zninstall" in the directory of the running
// program (/proc/self/exe), as in the build tree; when there is none, the installed one, at the
// installed layout's path relative to that directory, if it exists. The caller frees it with
// chk_free; null (pack_error set) when the running program cannot be found. Reads /proc and
// looks at the disk.
char *pack_default_stub();

// Checks one environment setting: NAME=VALUE with NAME a shell variable name (a letter or '_',
// then letters, digits and '_'), at most kEnvironmentMax bytes with its NUL. Returns 0, or -1
// (pack_error set). Purely textual.
int pack_check_environment(const char *text);

// Checks the product texts of args: each at most kProductTextMax bytes, the default directory
// absolute or beginning with "~". Returns 0, or -1 (pack_error set). Purely textual.
int pack_check_product(const pack_build_args *args);

// Builds the package described by args and makes it the file args->out with mode 0755; *result
// describes it. Sizes the format cannot hold (a record body or the payload over 4 GiB - 1 bytes)
// are refused: those of stored records before anything is compressed, a compressed body as soon
// as its output passes what is left. Returns 0, or -1 (pack_error set) with args->out untouched.
// Reads the inputs, writes and renames in the output's directory.
int pack_build(const pack_build_args *args, pack_build_result *result);

}  // namespace zn

#endif  // ZN_PACK_PACK_BUILD_H
