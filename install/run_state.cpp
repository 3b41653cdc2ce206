#include "install/run_state.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "install/interrupt.h"
#include "string/dstr.h"

namespace zn {

int quiet_install = 0;
int debug_mode = 0;
int dump_mode = 0;
char *package_path = nullptr;
int package_fd = -1;
const char *temp_dir = nullptr;
int temp_dir_from_env = 0;
const char *install_dir = nullptr;
int noexec_mode = 0;
const char *target_dir = nullptr;
int nosync_mode = 0;
int accept_mode = 0;
int nodiskspace_mode = 0;
int progress_mode = 0;
int verbose_mode = 0;

namespace {

dstr kept_environment;  // an array of the strings given to putenv

}  // namespace

void putenv_kept(char *text) {
    if (kept_environment.dl_ptr == nullptr) dstr_init(&kept_environment, 8 * int(sizeof text));
    dstr_add_mem(&kept_environment, &text, int(sizeof text));
    putenv(text);
}

void fatal_out(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    std::exit(1);
}

void fatal_err(const char *text) {
    err_printf("%s", text);
    std::exit(1);
}

void skip_notice(const char *text) {
    if (dump_mode) {
        err_printf("%s", text);
    } else {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
}

int read_answer(char *buf, int size) {
    std::fflush(stdout);
    std::fflush(stderr);
    int n = 0;
    long seen = 0;
    bool cut = false, ended = false;
    int c;
    // Byte by byte rather than fgets: a NUL typed in the line must not hide where it ends.
    while (seen < kAnswerLineMax && (c = std::getchar()) != EOF) {
        seen++;
        if (n < size - 1)
            buf[n++] = char(c);
        else if (c != '\n')
            cut = true;
        if (c == '\n') {
            ended = true;
            break;
        }
    }
    if (seen == kAnswerLineMax && !ended) {
        n = 0;
        cut = true;
    }
    buf[n] = '\0';
    // A signal while waiting ends the read: the run stops rather than take it as an answer.
    interrupt_check();
    if (cut) return kAnswerTooLong;
    return n > 0 ? kAnswerLine : kAnswerEnd;
}

}  // namespace zn
