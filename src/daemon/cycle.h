// The polling cycle: the daemon's main loop over the login-accounting
// database.
#ifndef QUELLD_DAEMON_CYCLE_H
#define QUELLD_DAEMON_CYCLE_H

#include <ctime>

#include "base/session_table.h"

// Which policies the cycle enforces, all on at start; "-i", "-m", "-r" and "-s" turn the
// first four off.  No option turns group_enabled or hours_enabled off.
extern bool idle_enabled;
extern bool multiple_enabled;
extern bool refuse_enabled;
extern bool session_enabled;
extern bool group_enabled;
extern bool hours_enabled;

// The routines a pass calls beyond policy resolution, in one table so that
// tests of the cycle can put recorders in their place.  Holds the real checks;
// the daemon never changes it.  A check that returns a time asks for a pass
// then (0: none).
struct CycleChecks {
    void (*mark_recent_session_user)(SessionRecord* r);
    void (*unwritable_prune)(const SessionRecord* r);
    void (*enforce_idle)(int slot);
    void (*enforce_refusals)(int n);
    time_t (*enforce_session_length)(int n);
    time_t (*enforce_multiple_logins)(int n);
    time_t (*enforce_group_limit)(SessionRecord* r, int n);
    time_t (*enforce_hours)(int n);
};
extern CycleChecks cycle_checks;

// One pass: reload, scan, the checks over all logins.  Returns the time at
// which the next pass is to begin (it does not sleep).
time_t poll_once();

// The pass after the reload: scans the login-accounting database into
// SessionTable and ActiveSessions and runs the checks over all logins.
// reloaded is 1 when the configuration was re-read just before, so that
// every known login is resolved again.  Returns the time at which the next
// pass is to begin: never later than the pass's start plus sleep_interval.
time_t poll_scan(int reloaded);

// Runs the cycle for ever, sleeping until each pass's wake time.  Ends only
// through a termination signal.
[[noreturn]] void poll_forever();

#endif  // QUELLD_DAEMON_CYCLE_H
