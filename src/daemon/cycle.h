// The polling cycle: the daemon's main loop over the login-accounting
// database.
#ifndef QUELLD_DAEMON_CYCLE_H
#define QUELLD_DAEMON_CYCLE_H

#include <ctime>

// The check switches, all on at start; "-i", "-m", "-r" and "-s" turn the
// first four off.  No option turns check_group off.
extern bool check_idle;
extern bool check_multiple;
extern bool check_refuse;
extern bool check_session;
extern bool check_group;

// One pass: reload, scan, the checks over all logins.  Returns the time at
// which the next pass is to begin (it does not sleep).
time_t poll_once();

// Runs the cycle for ever, sleeping until each pass's wake time.
[[noreturn]] void poll_forever();

#endif  // QUELLD_DAEMON_CYCLE_H
