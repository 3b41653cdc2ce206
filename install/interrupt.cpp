#include "install/interrupt.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "install/run_state.h"
#include "install/temp_program.h"
#include "lib/messages.h"

namespace zn {

volatile sig_atomic_t interrupt_signal = 0;

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void note_signal(int sig) {
    interrupt_signal = sig;
}

void stop_signals(sigset_t *set) {
    sigemptyset(set);
    for (int sig : kStopSignals) sigaddset(set, sig);
}

}  // namespace

void interrupt_catch() {
    struct sigaction sa = {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
}

void interrupt_check() {
    int sig = interrupt_signal;
    if (sig == 0) return;
    temp_program_remove();
    if (dump_mode) {
        err_printf("Installation interrupted.\n");
    } else {
        std::puts("Installation interrupted.");
        std::fflush(stdout);
    }
    std::exit(128 + sig);
}

void interrupt_hold(int hold) {
    sigset_t set;
    stop_signals(&set);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

}  // namespace zn
