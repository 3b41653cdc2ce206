// Helpers shared by the fuzz targets: in-memory files, capturing what the code under test prints,
// scratch directories and snapshots of the trees left in them.
//
// A fuzz target runs millions of inputs in one process, so everything here is cheap per call and
// leaves nothing behind: descriptors are reused, scratch trees are removed after each input.
// A broken invariant ends the process through fuzz_fail, which prints the reason and aborts so
// that libFuzzer keeps the input.
#ifndef ZN_FUZZ_FUZZ_SUPPORT_H
#define ZN_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zn_fuzz {

// Prints "fuzz check failed: <printf text>" on the real standard error (even while output is
// captured) and aborts.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fuzz_fail(const char *fmt, ...);

// Aborts through fuzz_fail with the condition's text when cond is false.
#define FUZZ_CHECK(cond)                                                         \
    do {                                                                         \
        if (!(cond)) zn_fuzz::fuzz_fail("%s:%d: %s", __FILE__, __LINE__, #cond); \
    } while (0)

// True when the shorter of a and b begins the longer: how decompressors that stop on damaged data
// at different points are compared.
bool one_leads_the_other(const std::string &a, const std::string &b);

// Returns a memory file (memfd) holding the n bytes at data, positioned at offset 0, or aborts.
// The caller closes it.
int memory_file(const uint8_t *data, size_t n);

// Redirects standard output and standard error (the descriptors and the C streams) into memory
// files until output_capture_end. The sanitizers keep reporting to the real standard error.
// Not nestable.
void output_capture_begin();

// Ends the capture and puts the text written meanwhile in *out and *err (either may be null).
void output_capture_end(std::string *out, std::string *err);

// A fresh directory under /dev/shm (else /tmp), made once per process and removed at exit.
// Returns its absolute path.
const std::string &scratch_base();

// Removes path and everything under it, without following symbolic links. Directories without
// permissions are opened up first. Returns 0, or -1 when something could not be removed.
int remove_tree(const std::string &path);

// Names of the entries of directory path (without "." and ".."), sorted; "?" when it cannot be
// read.
std::string list_directory(const std::string &path);

// One entry of a tree as lstat sees it: kind ('f', 'd', 'l', or '?'), permission bits, link
// count of files, and the content (file) or target (link).
struct tree_entry {
    char kind;
    int mode;
    unsigned links;
    std::string data;
    bool operator==(const tree_entry &o) const {
        return kind == o.kind && mode == o.mode && links == o.links && data == o.data;
    }
};

// Every entry below root (root itself excluded), keyed by the path relative to root. Symbolic
// links are not followed.
std::map<std::string, tree_entry> snapshot_tree(const std::string &root);

// Describes the first difference between two snapshots, or "" when they are equal.
std::string diff_trees(const std::map<std::string, tree_entry> &a,
                       const std::map<std::string, tree_entry> &b);

// Reads 8, 16 or 32 bits from the front of an input, advancing it; 0 once it has run out.
struct input_reader {
    const uint8_t *p;
    size_t n;
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    // Up to max bytes (fewer when the input runs out), as a string.
    std::string bytes(size_t max);
};

}  // namespace zn_fuzz

#endif  // ZN_FUZZ_FUZZ_SUPPORT_H
