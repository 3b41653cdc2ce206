#include "install/progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "install/product.h"
#include "install/run_state.h"
#include "lib/messages.h"
#include "package/package_reader.h"

namespace zn {

constexpr double kRedrawSeconds = 0.1;  // a terminal's line is rewritten at most this often

namespace {

struct progress_state {
    tar_counts counts;
    bool started;
    bool on_terminal;
    bool shown;    // a line is on the terminal, not yet ended
    double start;  // when the first archive began, in seconds
    double drawn;  // when the line was last drawn
    int tenth;     // tenths printed so far, off a terminal
    int archives_done;
    uint64_t read_base;    // package_reader_total() when this archive began
    uint64_t read_before;  // compressed bytes of the archives before this one
};

progress_state state;

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool by_unpacked_size() {
    return product.has_unpacked_size;
}

// Percentage done, 0 to 100.
int percent() {
    uint64_t done, total;
    if (by_unpacked_size()) {
        done = state.counts.bytes;
        total = product.unpacked_size;
    } else {
        done = state.read_before + (package_reader_total() - state.read_base);
        total = summary.archive_bytes;
    }
    if (total == 0 || done >= total) return 100;
    return int(done * 100 / total);
}

// "1:05" or "1:02:05".
void clock_text(double seconds, char *out, size_t size) {
    long s = seconds > 0 ? long(seconds + 0.5) : 0;
    if (s >= 3600)
        std::snprintf(out, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
}

void draw(int pct) {
    double elapsed = now() - state.start;
    char done[32], total[32], rate[32], left[32];
    human_size(state.counts.bytes, done, sizeof done);
    human_size(elapsed > 0 ? uint64_t(double(state.counts.bytes) / elapsed) : 0, rate, sizeof rate);
    clock_text(pct > 0 ? elapsed * (100 - pct) / pct : 0, left, sizeof left);
    if (pct == 0) std::snprintf(left, sizeof left, "--:--");
    if (state.on_terminal) std::fputs("\r", stdout);
    if (by_unpacked_size()) {
        human_size(product.unpacked_size, total, sizeof total);
        std::printf("%d%% %s of %s, %" PRIu64, pct, done, total, state.counts.entries);
        if (product.has_entries) std::printf(" of %" PRIu64, product.entries);
        std::printf(" files, %s/s, %s left", rate, left);
    } else {
        std::printf("%d%% of the package read, %s unpacked, %" PRIu64 " files, %s/s, %s left", pct,
                    done, state.counts.entries, rate, left);
    }
    if (state.on_terminal) {
        std::fputs("\033[K", stdout);
        state.shown = true;
    } else {
        std::putchar('\n');
    }
    std::fflush(stdout);
    state.drawn = now();
}

// Called by the tar reader after each entry and piece of data.
void update(void *) {
    int pct = percent();
    if (state.on_terminal) {
        if (now() - state.drawn >= kRedrawSeconds) draw(pct);
    } else if (pct / 10 > state.tenth && pct < 100) {
        state.tenth = pct / 10;
        draw(pct);
    }
}

// A message goes on a line of its own: the status line on the terminal is cleared first, and
// drawn again at the next update.
void clear_line() {
    if (!state.shown) return;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    state.shown = false;
}

}  // namespace

int progress_wanted() {
    if (verbose_mode) return 0;
    return progress_mode || (product.has_flags && (product.flags & kProductFlagProgress));
}

void progress_attach(tar_reader *r) {
    if (!state.started) {
        state.started = true;
        state.on_terminal = isatty(STDOUT_FILENO);
        state.start = now();
        before_message = clear_line;
    }
    state.read_base = package_reader_total();
    r->quiet = 1;
    r->counts = &state.counts;
    r->progress = update;
}

void progress_detach(int whole) {
    state.read_before += package_reader_total() - state.read_base;
    state.archives_done++;
    bool last = state.archives_done >= summary.archives;
    draw(last && whole ? 100 : percent());
    if (state.on_terminal) std::putchar('\n');
    std::fflush(stdout);
    state.shown = false;
}

}  // namespace zn
