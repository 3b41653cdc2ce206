// make_tree: writes a product tree for the installation benchmark. The same seed and preset give
// the same tree, byte for byte, on every machine: names, sizes, modes, contents and link targets
// come from one seeded generator that uses integer arithmetic only (no floating point, no
// library distributions whose output differs between standard libraries), and every mode is set
// explicitly, so the umask does not show either.
//
// A tree mixes what products ship: word-like text (source files and documentation, which bzip2
// compresses several times over) and incompressible binary data, in nested directories, with a
// few long path names (over 100 bytes, each component under 100 so that a ustar archive can still
// hold it) and a few relative symbolic links to files of the tree.
//
// Usage: make_tree [--preset tiny|small|large] [--seed N] DIR
// DIR must not exist yet; its parent must. Prints one summary line on standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace zn {
namespace {

// ---- Pseudo-random numbers: xoshiro256**, seeded through splitmix64 ----

struct rng {
    uint64_t s[4];
};

uint64_t splitmix64(uint64_t *x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void rng_seed(rng *r, uint64_t seed) {
    for (uint64_t &w : r->s) w = splitmix64(&seed);
}

uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

uint64_t rng_next(rng *r) {
    uint64_t *s = r->s;
    uint64_t result = rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// A number in [0, n). REQUIRES: n > 0. The multiply-high mapping has a bias of at most n / 2^64,
// far below anything the benchmark could notice.
uint64_t rng_below(rng *r, uint64_t n) {
    return uint64_t((unsigned __int128)rng_next(r) * n >> 64);
}

// A number in [lo, hi]. REQUIRES: lo <= hi.
uint64_t rng_range(rng *r, uint64_t lo, uint64_t hi) {
    return lo + rng_below(r, hi - lo + 1);
}

// Roughly log-uniform in [2^lo_bits, 2^hi_bits): a power of two picked uniformly, then a value
// uniform within it. Few large files and many small ones, as real trees have.
uint64_t rng_log_uniform(rng *r, int lo_bits, int hi_bits) {
    int bits = lo_bits + int(rng_below(r, uint64_t(hi_bits - lo_bits)));
    return (uint64_t(1) << bits) + rng_below(r, uint64_t(1) << bits);
}

// ---- Presets ----

struct tree_preset {
    const char *name;
    int files;                // regular files (links not counted)
    uint64_t bytes;           // total size of the regular files
    int text_percent;         // share of those bytes that is text
    int binary_file_percent;  // share of the files that is binary
    int dirs;                 // directories, the top one included
    int long_names;           // files whose path is longer than 100 bytes
    int links;                // relative symbolic links
};

const tree_preset kPresets[] = {
    {"tiny", 60, 400000, 60, 15, 8, 3, 3},
    {"small", 740, 23000000, 60, 15, 60, 5, 6},
    {"large", 5000, 190000000, 60, 15, 400, 20, 24},
};

constexpr int kMaxDepth = 6;             // directory levels below the top
constexpr size_t kMaxComponent = 99;     // bytes in one path component
constexpr size_t kMaxDirPath = 150;      // bytes in a directory's path (the ustar prefix holds 155)
constexpr size_t kLongNameMin = 101;     // bytes in the shortest long path
constexpr int kTextMinBits = 7;          // text files: 128 B ...
constexpr int kTextMaxBits = 16;         // ... to 64 KiB before scaling
constexpr int kBinaryMinBits = 12;       // binary files: 4 KiB ...
constexpr int kBinaryMaxBits = 21;       // ... to 2 MiB before scaling
constexpr int kEmptyPerMille = 10;       // text files left empty
constexpr int kVocabulary = 4096;        // distinct words in the text
constexpr size_t kWriteChunk = 1 << 16;  // bytes per write(2)
constexpr int kLineWidth = 72;           // columns of prose before a line break

// ---- Words ----

const char *const kOnsets[] = {"b", "c", "d", "f", "g", "h",  "k",  "l",  "m",  "n",  "p",  "r",
                               "s", "t", "v", "w", "z", "ch", "sh", "th", "st", "tr", "pl", "gr"};
const char *const kVowels[] = {"a", "e", "i", "o", "u", "ea", "io", "ou"};
const char *const kCodas[] = {"", "", "", "n", "r", "s", "t", "l", "x"};

template <typename T, size_t N>
constexpr uint64_t count_of(T (&)[N]) {
    return N;
}

std::string make_word(rng *r) {
    std::string w;
    int syllables = 1 + int(rng_below(r, 3));
    for (int i = 0; i < syllables; i++) {
        w += kOnsets[rng_below(r, count_of(kOnsets))];
        w += kVowels[rng_below(r, count_of(kVowels))];
        w += kCodas[rng_below(r, count_of(kCodas))];
    }
    return w;
}

// The text's vocabulary, fixed by the seed. Words are drawn with a skew towards the front (the
// product of two uniform draws), so a few words are common and most are rare, as in real text.
struct vocabulary {
    std::vector<std::string> words;
};

void vocabulary_init(vocabulary *v, rng *r) {
    v->words.clear();
    for (int i = 0; i < kVocabulary; i++) v->words.push_back(make_word(r));
}

const std::string &vocabulary_pick(const vocabulary *v, rng *r) {
    uint64_t n = v->words.size();
    return v->words[rng_below(r, n) * rng_below(r, n) / n];
}

// ---- The plan: every name, size and mode, decided before anything is written ----

enum file_kind { kProse, kCode, kBinary };

struct dir_plan {
    std::string path;  // relative to the top, "" for the top itself
    int depth;
    std::set<std::string> names;  // entries already named in it
};

struct file_plan {
    int dir;
    std::string name;
    file_kind kind;
    uint64_t size;
    int mode;
    uint64_t seed;  // of the content
};

struct link_plan {
    int dir;
    std::string name;
    std::string target;
};

struct tree_plan {
    std::vector<dir_plan> dirs;
    std::vector<file_plan> files;
    std::vector<link_plan> links;
};

struct extension {
    const char *text;
    int mode;
};
const extension kProseExt[] = {{".txt", 0644}, {".md", 0644}, {".html", 0644}, {"", 0644}};
const extension kCodeExt[] = {{".c", 0644},  {".h", 0644},  {".cpp", 0644},
                              {".py", 0644}, {".sh", 0755}, {".conf", 0644}};
const extension kBinaryExt[] = {{".so", 0755},  {".bin", 0644}, {".png", 0644},
                                {".jar", 0644}, {".dat", 0644}, {"", 0755}};

std::string join(const std::string &dir, const std::string &name) {
    return dir.empty() ? name : dir + "/" + name;
}

// Takes name in dir, or name with "-2", "-3" ... before its extension when it is taken.
std::string claim_name(dir_plan *d, const std::string &stem, const char *ext) {
    std::string name = stem + ext;
    for (int n = 2; !d->names.insert(name).second; n++) name = stem + "-" + std::to_string(n) + ext;
    return name;
}

std::string make_stem(const vocabulary *v, rng *r) {
    std::string s = vocabulary_pick(v, r);
    if (rng_below(r, 2)) s += (rng_below(r, 2) ? "_" : "-") + vocabulary_pick(v, r);
    return s;
}

void plan_dirs(tree_plan *p, const tree_preset &pre, const vocabulary *v, rng *r) {
    p->dirs.push_back(dir_plan{"", 0, {}});
    while (int(p->dirs.size()) < pre.dirs) {
        int parent = int(rng_below(r, p->dirs.size()));
        if (p->dirs[parent].depth >= kMaxDepth) continue;
        std::string name = claim_name(&p->dirs[parent], make_stem(v, r), "");
        std::string path = join(p->dirs[parent].path, name);
        if (path.size() > kMaxDirPath || name.size() > kMaxComponent) continue;
        p->dirs.push_back(dir_plan{path, p->dirs[parent].depth + 1, {}});
    }
}

// A long name for a file in dir: words joined by '-', enough of them that the whole path is
// longer than 100 bytes, the component itself staying within kMaxComponent.
std::string make_long_stem(const std::string &dir, const char *ext, const vocabulary *v, rng *r) {
    size_t dir_part = dir.empty() ? 0 : dir.size() + 1;
    size_t want = kLongNameMin + rng_below(r, 40);
    want = want > dir_part ? want - dir_part : 0;
    if (want < 24) want = 24;
    size_t limit = kMaxComponent - std::strlen(ext) - 3;  // room for a "-N" suffix
    std::string s = vocabulary_pick(v, r);
    while (s.size() + std::strlen(ext) < want) s += "-" + vocabulary_pick(v, r);
    if (s.size() > limit) s.resize(limit);
    return s;
}

// Scales the raw sizes of the files of one kind so that they add up to exactly total bytes.
void scale_sizes(tree_plan *p, bool binary, uint64_t total) {
    uint64_t raw = 0;
    file_plan *last = nullptr;
    for (file_plan &f : p->files)
        if ((f.kind == kBinary) == binary) raw += f.size;
    if (raw == 0) return;
    uint64_t sum = 0;
    for (file_plan &f : p->files) {
        if ((f.kind == kBinary) != binary) continue;
        f.size = uint64_t((unsigned __int128)f.size * total / raw);
        sum += f.size;
        if (f.size) last = &f;
    }
    if (last) last->size += total - sum;
}

void plan_files(tree_plan *p, const tree_preset &pre, const vocabulary *v, rng *r) {
    for (int i = 0; i < pre.files; i++) {
        file_plan f;
        if (int(rng_below(r, 100)) < pre.binary_file_percent) {
            f.kind = kBinary;
            f.size = rng_log_uniform(r, kBinaryMinBits, kBinaryMaxBits);
        } else {
            f.kind = rng_below(r, 2) ? kCode : kProse;
            f.size = int(rng_below(r, 1000)) < kEmptyPerMille
                         ? 0
                         : rng_log_uniform(r, kTextMinBits, kTextMaxBits);
        }
        const extension *ext = f.kind == kBinary ? &kBinaryExt[rng_below(r, count_of(kBinaryExt))]
                               : f.kind == kCode ? &kCodeExt[rng_below(r, count_of(kCodeExt))]
                                                 : &kProseExt[rng_below(r, count_of(kProseExt))];
        f.mode = ext->mode;
        f.seed = rng_next(r);
        // The first few files get the long names; where they land is as random as for the rest.
        bool long_name = i < pre.long_names;
        for (;;) {
            f.dir = int(rng_below(r, p->dirs.size()));
            dir_plan *d = &p->dirs[f.dir];
            std::string stem =
                long_name ? make_long_stem(d->path, ext->text, v, r) : make_stem(v, r);
            size_t path_len = join(d->path, stem).size() + std::strlen(ext->text);
            if (stem.size() + std::strlen(ext->text) + 3 > kMaxComponent) continue;
            if (long_name && path_len < kLongNameMin) continue;  // too near the top
            f.name = claim_name(d, stem, ext->text);
            break;
        }
        p->files.push_back(f);
    }
    uint64_t text = pre.bytes * uint64_t(pre.text_percent) / 100;
    scale_sizes(p, false, text);
    scale_sizes(p, true, pre.bytes - text);
}

// The path that leads from directory from to target, both relative to the top: one ".." per
// level of from below what the two share.
std::string relative_path(const std::string &from, const std::string &target) {
    std::vector<std::string> a, b;
    for (const std::string *s : {&from, &target}) {
        std::vector<std::string> &out = s == &from ? a : b;
        size_t start = 0;
        while (start < s->size()) {
            size_t end = s->find('/', start);
            if (end == std::string::npos) end = s->size();
            out.push_back(s->substr(start, end - start));
            start = end + 1;
        }
    }
    size_t common = 0;
    while (common < a.size() && common + 1 < b.size() && a[common] == b[common]) common++;
    std::string rel;
    for (size_t i = common; i < a.size(); i++) rel += "../";
    for (size_t i = common; i < b.size(); i++) rel += (i > common ? "/" : "") + b[i];
    return rel;
}

void plan_links(tree_plan *p, const tree_preset &pre, const vocabulary *v, rng *r) {
    for (int i = 0; i < pre.links; i++) {
        const file_plan &t = p->files[rng_below(r, p->files.size())];
        link_plan l;
        // Half of the links sit beside their target (libx.so -> libx.so.1), half elsewhere.
        l.dir = rng_below(r, 2) ? t.dir : int(rng_below(r, p->dirs.size()));
        std::string target = join(p->dirs[t.dir].path, t.name);
        l.target = relative_path(p->dirs[l.dir].path, target);
        l.name = claim_name(&p->dirs[l.dir], make_stem(v, r), "");
        p->links.push_back(l);
    }
}

// ---- Contents ----

// Buffers output to one descriptor and writes it in kWriteChunk pieces.
struct out_file {
    int fd;
    std::string buf;
    uint64_t left;  // bytes still to produce
    int failed;
};

void out_put(out_file *o, const char *p, size_t n) {
    if (n > o->left) n = size_t(o->left);
    o->buf.append(p, n);
    o->left -= n;
    if (o->buf.size() >= kWriteChunk || o->left == 0) {
        size_t done = 0;
        while (done < o->buf.size()) {
            ssize_t w = write(o->fd, o->buf.data() + done, o->buf.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                o->failed = 1;
                break;
            }
            done += size_t(w);
        }
        o->buf.clear();
    }
}

void out_put(out_file *o, const std::string &s) {
    out_put(o, s.data(), s.size());
}

void write_binary(out_file *o, rng *r) {
    char block[4096];
    while (o->left > 0) {
        for (size_t i = 0; i < sizeof block; i += 8) {
            uint64_t x = rng_next(r);
            std::memcpy(block + i, &x, 8);
        }
        out_put(o, block, sizeof block);
    }
}

// Prose: sentences of 5 to 20 words, lines broken at kLineWidth, paragraphs of 3 to 8 sentences.
void write_prose(out_file *o, const vocabulary *v, rng *r) {
    int column = 0;
    while (o->left > 0) {
        int sentences = int(rng_range(r, 3, 8));
        for (int s = 0; s < sentences && o->left > 0; s++) {
            int words = int(rng_range(r, 5, 20));
            for (int w = 0; w < words; w++) {
                std::string word = vocabulary_pick(v, r);
                if (w == 0) word[0] = char(word[0] - 'a' + 'A');
                if (w + 1 == words)
                    word += '.';
                else if (rng_below(r, 8) == 0)
                    word += ',';
                if (column > 0 && column + 1 + int(word.size()) > kLineWidth) {
                    out_put(o, "\n", 1);
                    column = 0;
                } else if (column > 0) {
                    out_put(o, " ", 1);
                    column++;
                }
                out_put(o, word);
                column += int(word.size());
            }
        }
        out_put(o, "\n\n", 2);
        column = 0;
    }
}

std::string identifier(const vocabulary *v, rng *r) {
    std::string s = vocabulary_pick(v, r);
    if (rng_below(r, 3) == 0) s += "_" + vocabulary_pick(v, r);
    return s;
}

// Code: indented statements, calls, conditions and comments built from the same words.
void write_code(out_file *o, const vocabulary *v, rng *r) {
    static const char *const kOps[] = {" == ", " != ", " < ", " + ", " - ", " * ", " && "};
    int depth = 0;
    while (o->left > 0) {
        std::string line(size_t(depth) * 4, ' ');
        switch (rng_below(r, 8)) {
            case 0:
                if (depth < 4) {
                    line += "if (" + identifier(v, r) + kOps[rng_below(r, count_of(kOps))] +
                            identifier(v, r) + ") {";
                    depth++;
                    break;
                }
                [[fallthrough]];
            case 1:
                if (depth > 0) {
                    depth--;
                    line.assign(size_t(depth) * 4, ' ');
                    line += "}";
                    break;
                }
                [[fallthrough]];
            case 2: {
                line += "//";
                int words = int(rng_range(r, 3, 10));
                for (int w = 0; w < words; w++) line += " " + vocabulary_pick(v, r);
                break;
            }
            case 3:
                line += "return " + identifier(v, r) + ";";
                break;
            default: {
                line += identifier(v, r) + " = " + identifier(v, r) + "(";
                int args = int(rng_below(r, 4));
                for (int a = 0; a < args; a++) {
                    if (a) line += ", ";
                    line += rng_below(r, 3) == 0 ? std::to_string(rng_below(r, 1000))
                                                 : identifier(v, r);
                }
                line += ");";
                break;
            }
        }
        line += '\n';
        out_put(o, line);
    }
}

// ---- Writing ----

int fail(const char *what, const std::string &path) {
    std::fprintf(stderr, "make_tree: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    return -1;
}

int write_file(const std::string &top, const file_plan &f, const tree_plan &p,
               const vocabulary *v) {
    std::string path = top + "/" + join(p.dirs[f.dir].path, f.name);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return fail("cannot create", path);
    out_file o{fd, std::string(), f.size, 0};
    o.buf.reserve(kWriteChunk + 4096);
    rng r;
    rng_seed(&r, f.seed);
    if (f.kind == kBinary)
        write_binary(&o, &r);
    else if (f.kind == kCode)
        write_code(&o, v, &r);
    else
        write_prose(&o, v, &r);
    if (o.failed) {
        close(fd);
        return fail("cannot write", path);
    }
    if (fchmod(fd, mode_t(f.mode)) < 0) {
        close(fd);
        return fail("cannot chmod", path);
    }
    if (close(fd) < 0) return fail("cannot close", path);
    return 0;
}

int write_tree(const std::string &top, const tree_plan &p, const vocabulary *v) {
    // Parents come before their children in dirs, the top first.
    for (const dir_plan &d : p.dirs) {
        std::string path = d.path.empty() ? top : top + "/" + d.path;
        if (mkdir(path.c_str(), 0700) < 0) return fail("cannot make directory", path);
    }
    for (const file_plan &f : p.files)
        if (write_file(top, f, p, v) < 0) return -1;
    for (const link_plan &l : p.links) {
        std::string path = top + "/" + join(p.dirs[l.dir].path, l.name);
        if (symlink(l.target.c_str(), path.c_str()) < 0) return fail("cannot link", path);
    }
    // Modes last, so that a directory made read-only never stops its own contents.
    for (const dir_plan &d : p.dirs) {
        std::string path = d.path.empty() ? top : top + "/" + d.path;
        if (chmod(path.c_str(), 0755) < 0) return fail("cannot chmod", path);
    }
    return 0;
}

int usage() {
    std::fputs("usage: make_tree [--preset tiny|small|large] [--seed N] DIR\n", stderr);
    return 2;
}

int run(int argc, char **argv) {
    const tree_preset *pre = &kPresets[1];
    uint64_t seed = 1;
    const char *dir = nullptr;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--preset") == 0 && i + 1 < argc) {
            pre = nullptr;
            for (const tree_preset &p : kPresets)
                if (std::strcmp(p.name, argv[i + 1]) == 0) pre = &p;
            if (pre == nullptr) return usage();
            i++;
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            char *end;
            errno = 0;
            seed = std::strtoull(argv[++i], &end, 10);
            if (errno || *end || end == argv[i]) return usage();
        } else if (argv[i][0] == '-' || dir != nullptr) {
            return usage();
        } else {
            dir = argv[i];
        }
    }
    if (dir == nullptr) return usage();

    rng r;
    rng_seed(&r, seed);
    vocabulary v;
    vocabulary_init(&v, &r);
    tree_plan p;
    plan_dirs(&p, *pre, &v, &r);
    plan_files(&p, *pre, &v, &r);
    plan_links(&p, *pre, &v, &r);
    if (write_tree(dir, p, &v) < 0) return 1;

    uint64_t text = 0, binary = 0;
    int binary_files = 0;
    for (const file_plan &f : p.files) {
        (f.kind == kBinary ? binary : text) += f.size;
        binary_files += f.kind == kBinary;
    }
    std::printf(
        "make_tree: %s (%s, seed %llu): %zu files (%zu text, %d binary), %llu bytes "
        "(%llu text, %llu binary), %zu directories, %zu symbolic links\n",
        dir, pre->name, (unsigned long long)seed, p.files.size(), p.files.size() - binary_files,
        binary_files, (unsigned long long)(text + binary), (unsigned long long)text,
        (unsigned long long)binary, p.dirs.size(), p.links.size());
    return 0;
}

}  // namespace
}  // namespace zn

int main(int argc, char **argv) {
    return zn::run(argc, argv);
}
