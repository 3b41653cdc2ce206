// Messages on standard error that a terminal shows in program order with standard output: each
// first flushes standard output, which stdio buffers while standard error is written at once.
#ifndef ZN_LIB_MESSAGES_H
#define ZN_LIB_MESSAGES_H

namespace zn {

// Called before each message of err_printf and out_printf when set: a status line that is
// rewritten in place on the terminal makes room for the message.
extern void (*before_message)();

// Writes to standard error after flushing standard output. Returns what vfprintf returns.
__attribute__((format(printf, 1, 2))) int err_printf(const char *fmt, ...);

// Writes a message to standard output (after before_message). Returns what vprintf returns.
__attribute__((format(printf, 1, 2))) int out_printf(const char *fmt, ...);

// perror after flushing standard output; errno is kept across the flush.
void err_perror(const char *prefix);

// The program's name in messages that say why something failed: "zninstall" unless a program
// sets another.
extern const char *program_name;

// "<program_name>: <what>: <the system's text for error>\n" on standard error, after flushing
// standard output: the reason that follows a message naming what failed.
void err_reason(const char *what, int error);

}  // namespace zn

#endif  // ZN_LIB_MESSAGES_H
