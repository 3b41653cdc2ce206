#include <cstdio>

#include "install/handlers.h"
#include "install/run_state.h"

namespace zn {

int handle_licence_record(int fd, const unsigned char *record_header) {
    record_text_show(fd, record_header, !dump_mode);
    if (dump_mode) return 0;
    if (accept_mode) {
        std::puts("The licence was accepted with -accept.");
        return 0;
    }
    std::printf("Do you accept the licence [y/n] ? ");
    char answer[kTextBufferSize];
    answer[0] = '\0';
    // Only a yes goes on: end of input, or a line too long to read, is no acceptance.
    int got = read_answer(answer, sizeof answer);
    if (got != kAnswerLine || (answer[0] != 'y' && answer[0] != 'Y'))
        fatal_out("Installation aborted: the licence was not accepted.\n");
    return 0;
}

}  // namespace zn
