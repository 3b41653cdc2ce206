// Path simplification and its helpers on any name: simplify_filename, wild_collapse,
// remove_dotdot, string_normalize_quotes and tilde_expand. Each input is one name (up to its
// first NUL) in a heap block of exactly its size, so a read past the terminator is caught.
//
// Besides memory safety the target checks that resolving "." and ".." never changes what a name
// means: a slow component-stack resolution of the input and of the result must agree.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lib/chk.h"
#include "lib/filename.h"
#include "lib/path.h"

namespace {

constexpr char kHome[] = "/home/fuzz";  // HOME for the whole run

int start_dir = -1;  // the directory the run started in, where libFuzzer writes its findings

// What a name means, found the slow way: components on a stack, "" and "." dropped, ".." taking
// off the component before it (none above the root of an absolute name; kept at the front of a
// relative one). Returns "/"-joined components, led by "/" for an absolute name.
std::string meaning(const std::string &name) {
    bool absolute = !name.empty() && name[0] == '/';
    std::vector<std::string> stack;
    size_t at = 0;
    while (at <= name.size()) {
        size_t end = name.find('/', at);
        if (end == std::string::npos) end = name.size();
        std::string c = name.substr(at, end - at);
        at = end + 1;
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (!stack.empty() && stack.back() != "..") {
                stack.pop_back();
                continue;
            }
            if (absolute) continue;
        }
        stack.push_back(c);
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < stack.size(); i++) out += (i ? "/" : "") + stack[i];
    return out;
}

// A heap copy of s in a block of exactly strlen + 1 bytes.
char *exact_copy(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

void check_collapse(const std::string &name) {
    char *p = exact_copy(name);
    zn::wild_collapse(p);
    std::string got = p;
    std::free(p);
    if (got.size() > name.size()) zn_fuzz::fuzz_fail("wild_collapse grew the name");
    if (meaning(got) != meaning(name))
        zn_fuzz::fuzz_fail("wild_collapse changed the meaning of \"%s\": \"%s\"", name.c_str(),
                           got.c_str());
    if (!name.empty() && (name[0] == '/') != (got[0] == '/'))
        zn_fuzz::fuzz_fail("wild_collapse changed whether \"%s\" is absolute", name.c_str());
}

// Simplifies name with cwd as the current directory.
void check_simplify(const std::string &name, const std::string &cwd) {
    if (chdir(cwd.c_str()) != 0) zn_fuzz::fuzz_fail("chdir %s", cwd.c_str());
    zn::get_cwd_changed_directory();
    char *p = exact_copy(name);
    char *got = zn::simplify_filename(p);
    std::free(p);
    FUZZ_CHECK(got != nullptr);
    std::string r = got;
    zn::chk_free(got);
    if (name.empty() || name[0] == '|' || name[0] == '!') {
        FUZZ_CHECK(r == name);
        return;
    }
    // Joining normalises double quotes, which may wrap the whole name; and "~user" depends on the
    // password database. Neither has a plain meaning to compare.
    if (name.find('"') != std::string::npos) return;
    std::string want;
    if (name[0] == '/') {
        want = name;
    } else if (name[0] == '~') {
        size_t slash = name.find('/');
        if (slash != 1 && name.size() != 1) return;
        want = std::string(kHome) + "/" + (slash == 1 ? name.substr(2) : "");
    } else {
        want = cwd + "/" + name;
    }
    if (r.empty() || r[0] != '/')
        zn_fuzz::fuzz_fail("simplify_filename(\"%s\") is not absolute: \"%s\"", name.c_str(),
                           r.c_str());
    if (r.find("//") != std::string::npos)
        zn_fuzz::fuzz_fail("simplify_filename(\"%s\") kept \"//\": \"%s\"", name.c_str(),
                           r.c_str());
    if (meaning(r) != meaning(want))
        zn_fuzz::fuzz_fail("simplify_filename(\"%s\") means \"%s\", wanted \"%s\"", name.c_str(),
                           meaning(r).c_str(), meaning(want).c_str());
}

void check_remove_dotdot(const std::string &name) {
    char *p = exact_copy(name);
    char *got = zn::remove_dotdot(p);
    std::free(p);
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(std::strlen(got) <= name.size());
    zn::chk_free(got);
}

void check_quotes(const std::string &name) {
    char *p = exact_copy(name);
    char *got = zn::string_normalize_quotes(p);
    std::free(p);
    std::string r = got;
    zn::chk_free(got);
    std::string bare;
    for (char c : name)
        if (c != '"') bare += c;
    bool wrap = name.find(' ') != std::string::npos && name.find('"') != std::string::npos;
    FUZZ_CHECK(r == (wrap ? "\"" + bare + "\"" : bare));
}

void check_tilde(const std::string &name) {
    char *p = exact_copy(name);
    char *got = zn::tilde_expand(p);
    std::free(p);
    FUZZ_CHECK(got != nullptr);
    std::string r = got;
    zn::chk_free(got);
    if (name.empty() || name[0] != '~') {
        FUZZ_CHECK(r == name);
    } else if (name.size() == 1 || name[1] == '/') {
        FUZZ_CHECK(r == std::string(kHome) + "/" + name.substr(name.size() == 1 ? 1 : 2));
    } else {
        // "~user": unexpanded, or the user's home, "/" and the rest after the user's name.
        size_t slash = name.find('/');
        std::string rest = slash == std::string::npos ? "" : name.substr(slash + 1);
        FUZZ_CHECK(r == name ||
                   (r.size() >= rest.size() + 1 &&
                    r.compare(r.size() - rest.size() - 1, std::string::npos, "/" + rest) == 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("HOME", kHome, 1);
    start_dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (start_dir < 0) zn_fuzz::fuzz_fail("cannot open the current directory");
    zn::path_cache_reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string name(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));
    check_collapse(name);
    // Under the root joining is a plain concatenation; elsewhere it goes through
    // filename_append_filename.
    check_simplify(name, "/");
    check_simplify(name, zn_fuzz::scratch_base());
    if (fchdir(start_dir) != 0) zn_fuzz::fuzz_fail("cannot return to the start directory");
    check_remove_dotdot(name);
    check_quotes(name);
    check_tilde(name);
    return 0;
}
