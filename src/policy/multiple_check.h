// The limit on simultaneous logins of one user.
#ifndef QUELLD_POLICY_MULTIPLE_CHECK_H
#define QUELLD_POLICY_MULTIPLE_CHECK_H

#include <ctime>

#include "base/session_table.h"
#include "policy/verdict.h"

// Sort order of ActiveSessions: user name, then earlier login first.
int compare_sessions(const SessionRecord* a, const SessionRecord* b);

// Number of different user names among the first n of the sorted
// ActiveSessions.
int count_distinct_users(int n);

// Judges the first n of ActiveSessions at now, when at least
// multiple_threshold sessions are present: sorts them, and gives out[i] the
// verdict on ActiveSessions[i]: within the allowance (kind WARN_MULTIPLE,
// nothing to do), the warning for a login beyond it, the logout once the
// grace its warning announced is over, or nothing while it runs (due: the
// grace's end).  shown is the allowance, measured the login's place among
// its user's live logins.  Before a user's logins are counted against the
// allowance each is asked of live (warn_live in the daemon), which may mark
// it stale.  A pane that counts with its login (pane_of set) is not
// counted and is within the allowance.  Neither warns nor logs itself.
void judge_multiple(int n, time_t now, int (*live)(SessionRecord*), Verdict* out);

// Carries out judge_multiple's verdicts (graces, warned bits, warn).
// Returns the time at which the next warned login's grace ends, or 0.
time_t enforce_multiple_logins(int n);

#endif  // QUELLD_POLICY_MULTIPLE_CHECK_H
