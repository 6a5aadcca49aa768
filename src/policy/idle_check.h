// The idle check, for one slot of the session table at a time.
#ifndef QUELLD_POLICY_IDLE_CHECK_H
#define QUELLD_POLICY_IDLE_CHECK_H

#include <cstdint>
#include <ctime>

// Warns or logs out the session at slot when it has been idle past its limit,
// and sets its next_check.  Handles the console session too.  A device time
// later than now counts as use at the moment it was first seen (remembered
// in the record), so the next check is never later than now plus the limit.
// A record logged out or found stale is left alone.
void enforce_idle(int slot);

// The console variant; called only by enforce_idle.
void enforce_console_idle(int slot);

// Seconds since the last use of the console's keyboard, mouse or device, for
// the session at slot; limit (seconds) decides whether the mouse is looked at.
// A device time later than now counts from when the record first saw it.
time_t console_idle_time(int32_t limit, int slot);

// Idle seconds reported by a screen locker for user.  Nothing stands behind
// it on this system: always 0.
time_t xlock_idle_time(const char* user);

#endif  // QUELLD_POLICY_IDLE_CHECK_H
