#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/handlers.h"
#include "install/path_trust.h"
#include "install/product.h"
#include "install/run_state.h"
#include "lib/byteorder.h"
#include "lib/chk.h"
#include "lib/ctype_table.h"
#include "lib/path.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "wild/expand.h"

namespace zn {

constexpr int kWelcomePiece = 1024;  // bytes of the welcome text read and shown per step
constexpr int kWrapColumn = 75;      // a word that would pass this column starts a new line
constexpr int kInstallDirMode = 0755;
constexpr const char kDefaultInstallDir[] = "/usr/local/zantho";

namespace {

bool is_space(unsigned char c) {
    return ctype_is(c, kCtypeSpace);
}

// Prints one piece of the welcome text, word-wrapped at kWrapColumn. The column carries over
// from piece to piece; a word at the very start of a piece is never moved, since the byte before
// it is not at hand.
void print_wrapped(const unsigned char *p, int n, int *column) {
    for (int i = 0; i < n; i++) {
        unsigned char c = p[i];
        if (c == '\n') {
            std::putchar(c);
            *column = 0;
            continue;
        }
        if (!is_space(c) && i > 0 && is_space(p[i - 1])) {
            int len = 0;
            while (i + len < n && !is_space(p[i + len])) len++;
            // A word longer than a whole line goes on a line of its own, unbroken.
            if (*column + len > kWrapColumn && *column > 0) {
                std::putchar('\n');
                *column = 0;
            }
        }
        std::putchar(c);
        (*column)++;
    }
}

[[noreturn]] void directory_error(const char *message, const char *dir) {
    std::printf("%s\n       %s\n", message, dir);
    err_perror("Create failed");
    std::exit(1);
}

}  // namespace

void record_text_show(int fd, const unsigned char *record_header, int show) {
    uint32_t remaining = LGET32(record_header + kRecordLengthOffset);
    unsigned char piece[kWelcomePiece];
    int column = 0;
    while (remaining > 0) {
        size_t want = std::min<uint32_t>(remaining, kWelcomePiece);
        if (read_full(fd, piece, want) < want) fatal_err("Premature EOF detected\n");
        if (show) print_wrapped(piece, int(want), &column);
        remaining -= uint32_t(want);
    }
    std::fflush(stdout);
}

int handle_welcome_record(int fd, const unsigned char *record_header) {
    record_text_show(fd, record_header, !dump_mode);
    if (dump_mode) return 0;

    // With -target nothing is asked; an earlier record may have entered the directory already.
    if (target_dir != nullptr) {
        if (install_dir == nullptr) install_dir_enter(target_dir, 1);
        return 0;
    }

    char dir[kTextBufferSize];
    char answer[kTextBufferSize];
    // The vendor's directory when the product record names one; "~" in it is expanded as in a
    // typed answer.
    std::snprintf(dir, sizeof dir, "%s",
                  product.has_default_dir ? product.default_dir : kDefaultInstallDir);
    std::printf("Directory where to install software [%s]: ", dir);
    answer[0] = '\n';
    int got = read_answer(answer, sizeof answer);
    // A cut answer would name another directory than the one typed.
    if (got == kAnswerTooLong) fatal_out("Error: The install directory name is too long.\n");
    if (got != kAnswerEnd && answer[0] != '\0' && answer[0] != '\n') {
        std::snprintf(dir, sizeof dir, "%s", answer);
        size_t len = std::strlen(dir);
        while (len > 0 && dir[len - 1] == '\n') dir[--len] = '\0';
    }
    install_dir_enter(dir, 0);
    return 0;
}

namespace {

[[noreturn]] void refused_dir(const char *what, const char *culprit) {
    std::printf("Error: The %s directory can be changed by another user.\n       %s\n", what,
                culprit);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

int trusted_dir_open(const char *path, int flags, const char *what, int *fd) {
    char *culprit;
    int rc = path_trust_open(path, geteuid(), flags, fd, &culprit);
    if (rc == kPathRefused) refused_dir(what, culprit);
    int error = errno;
    chk_free(culprit);
    errno = error;
    return rc;
}

void install_dir_enter(const char *dir, int unattended) {
    char *expanded = simplify_and_expand_filename(dir);
    install_dir = expanded != nullptr ? expanded : chk_strdup(dir);
    // Reached by descriptors, each directory on the way checked on the descriptor that is then
    // used: nobody else may be able to change where the product lands, or what the post-install
    // script will find there. A refusal comes before anything is created.
    int fd;
    int rc = trusted_dir_open(install_dir, kPathStrictLast, "install", &fd);
    // Whether the product fits, before anything is made.
    product_space_check(install_dir);
    if (rc == kPathMissing && unattended)
        rc = trusted_dir_open(install_dir, kPathStrictLast | kPathCreateParents | kPathCreateLast,
                              "install", &fd);
    if (rc == kPathMissing && !unattended) {
        std::printf("\nThe install directory [%s] does not exist.\n", install_dir);
        std::printf("Do you wish to create it [y/n] ? ");
        char answer[kTextBufferSize];
        answer[0] = '\0';
        // However long the answer, its first character decides.
        int got = read_answer(answer, sizeof answer);
        if (got != kAnswerEnd && answer[0] != 'y' && answer[0] != 'Y')
            fatal_out("\nInstallation aborted. Please try again.\n");
        // Walked again after the answer: whatever changed while the question waited is seen.
        rc = trusted_dir_open(install_dir, kPathStrictLast | kPathCreateLast, "install", &fd);
        if (rc == kPathMissing) rc = kPathNotMade;
    }
    if (rc == kPathNotMade)
        directory_error("Error: Failed to create the install directory.", install_dir);
    if (rc != kPathOk || fchdir(fd) < 0)
        directory_error("Error: Cannot switch to the install directory.", install_dir);
    close(fd);
    // Later lookups of the current directory must see the install directory.
    get_cwd_changed_directory();
    // Nobody typed it, so the log says where the product goes.
    if (unattended) std::printf("Installing into %s\n", install_dir);
}

void current_dir_enter() {
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        std::printf("Error: Cannot switch to the install directory.\n       .\n");
        err_perror("Create failed");
        std::exit(1);
    }
    install_dir = chk_strdup(cwd);
    std::free(cwd);
    int fd;
    if (trusted_dir_open(install_dir, kPathStrictLast, "install", &fd) != kPathOk || fchdir(fd) < 0)
        directory_error("Error: Cannot switch to the install directory.", install_dir);
    close(fd);
    product_space_check(install_dir);
}

}  // namespace zn
