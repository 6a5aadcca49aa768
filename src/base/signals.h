// Signal handling of the daemon.  Handlers only record what arrived; the
// daemon acts on it at its sleep and while it waits for a child, both of
// which the termination signals interrupt.  Formatting time text and writing
// a file inside a handler could deadlock on a lock held by the code it
// interrupted (malloc, localtime), and then SIGTERM would never end it.
#ifndef QUELLD_BASE_SIGNALS_H
#define QUELLD_BASE_SIGNALS_H

#include <csignal>

// Set by terminate_handler.
extern volatile sig_atomic_t terminate_requested;

// The handler for SIGTERM and SIGALRM: records the request.
void terminate_handler(int sig);

// Ignores SIGHUP, SIGINT, SIGQUIT, SIGTTOU and SIGTSTP, catches SIGTERM and
// SIGALRM with terminate_handler, and blocks those two outside the daemon's
// sleep and child waits.
void signals_init();

// Writes "%24.24s  quelld killed." and ends the process with status 1.
[[noreturn]] void terminate_now();

// Calls terminate_now when a termination signal has arrived.
void terminate_if_requested();

// In a forked child: restores the signal mask of the process before
// signals_init blocked anything.
void signals_unblock_in_child();

#endif  // QUELLD_BASE_SIGNALS_H
