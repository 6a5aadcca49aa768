// The idle check, for one slot of the session table at a time.
#ifndef QUELLD_POLICY_IDLE_CHECK_H
#define QUELLD_POLICY_IDLE_CHECK_H

#include <cstdint>
#include <ctime>

#include "policy/verdict.h"

// Judges the session at slot at now: within its idle limit (a verdict of
// kind WARN_IDLE with nothing to do), past it (the idle warning, or the
// logout once warned or when warn is 0), the xlock logout for the console,
// or nothing.  shown is the limit that applied (the console's for the console
// user's other logins), due the session's next check.  Handles the console
// session too.  A device time later than now counts as use at the moment it
// was first seen (remembered in the record), so the next check is never
// later than now plus the limit.  A record logged out or found stale is left
// alone.  Neither warns nor logs.
Verdict judge_idle(int slot, time_t now);

// Carries out judge_idle's verdict for the session at slot: sets its
// next_check and its idle warning's grace and warned bit, and warns or logs
// it out through warn.
void enforce_idle(int slot);

// Seconds the session at slot has been idle at now, as the idle check
// measures it (the console's keyboard, mouse and device for the console
// session); -1 when its terminal cannot be examined.
int64_t idle_seconds(int slot, time_t now);

// Seconds since the last use of the console's keyboard, mouse or device, for
// the session at slot; limit (seconds) decides whether the mouse is looked at.
// A device time later than now counts from when the record first saw it.
time_t console_idle_time(int32_t limit, int slot);

// Idle seconds reported by a screen locker for user.  Nothing stands behind
// it on this system: always 0.
time_t xlock_idle_time(const char* user);

#endif  // QUELLD_POLICY_IDLE_CHECK_H
