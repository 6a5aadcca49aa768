// The session-length limit, the memory of users just limited for it, and the
// refusal check.
#ifndef QUELLD_POLICY_SESSION_CHECK_H
#define QUELLD_POLICY_SESSION_CHECK_H

#include <cstdint>
#include <ctime>

#include "base/session_table.h"

// Warns and logs out sessions over their session-length limit, when at least
// session_threshold of the n active sessions are present.  Returns the time
// at which it next needs to run, or 0 when none.
time_t enforce_session_length(int n);

// Warns and logs out every active session marked refused and not exempt.
void enforce_refusals(int n);

// Adds r's user to recent_session_users, or refreshes its time.
void remember_session_user(const SessionRecord* r);

// Forgets users remembered longer than refuse_time, then marks r refused
// when its user is still remembered.
void mark_recent_session_user(SessionRecord* r);

// Moves every remembered time by step seconds, after a step of the wall clock.
void recent_session_users_shift(int64_t step);
// Forgets every remembered user, as at program start.
void recent_session_users_reset();

#endif  // QUELLD_POLICY_SESSION_CHECK_H
