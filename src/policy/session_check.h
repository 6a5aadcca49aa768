// The session-length limit, the memory of users just limited for it, and the
// refusal check.
#ifndef QUELLD_POLICY_SESSION_CHECK_H
#define QUELLD_POLICY_SESSION_CHECK_H

#include <cstdint>
#include <ctime>

#include "base/session_table.h"
#include "policy/verdict.h"

// Judges r, one of the n active sessions, against its session-length limit
// at now, when at least session_threshold sessions are present: within it
// (kind WARN_SESSION, nothing to do), the warning, the logout once its grace
// is over (or at once when warn is 0), or nothing while the grace runs.
// shown is the limit in seconds (the console's for the console user); due is
// when the grace in force ends.  Neither warns nor logs.
Verdict judge_session(const SessionRecord* r, int n, time_t now);

// Carries out judge_session's verdicts for the n active sessions: the
// grace, the warned bit, the memory of the user, and warn.  Returns the time
// at which it next needs to run, or 0 when none.
time_t enforce_session_length(int n);

// The logout of a session marked refused and not exempt, else nothing.
Verdict judge_refusal(const SessionRecord* r);

// Logs out every active session judge_refusal refuses.
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
