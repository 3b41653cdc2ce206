// Interruption: SIGINT, SIGTERM and SIGHUP ask the run to stop where it can stop cleanly.
//
// The handler only notes the signal. Extraction looks at the note between pieces of the archive
// and rolls the archive back; a prompt, the record walk and the wait for a helper look at it when
// they return; a commit holds the signals back until it is complete. Then the run removes its
// private temporary directory, prints "Installation interrupted." and exits with 128 + the
// signal's number.
#ifndef ZN_INSTALL_INTERRUPT_H
#define ZN_INSTALL_INTERRUPT_H

#include <csignal>

namespace zn {

// The signal that asked the run to stop, or 0.
extern volatile sig_atomic_t interrupt_signal;

// Installs the handler for SIGINT, SIGTERM and SIGHUP, without SA_RESTART, so that a read at a
// prompt returns to be looked at.
void interrupt_catch();

// Stops the run when a signal asked for it: the private temporary directory goes, "Installation
// interrupted." is printed (on standard error in dump mode, where standard output carries the
// archive) and the process exits with 128 + the signal. Returns when no signal came.
void interrupt_check();

// Holds the three signals back (hold non-zero) or lets them through again, on this thread.
void interrupt_hold(int hold);

}  // namespace zn

#endif  // ZN_INSTALL_INTERRUPT_H
