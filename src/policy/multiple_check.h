// The limit on simultaneous logins of one user.
#ifndef QUELLD_POLICY_MULTIPLE_CHECK_H
#define QUELLD_POLICY_MULTIPLE_CHECK_H

#include <ctime>

#include "base/session_table.h"

// Sort order of ActiveSessions: user name, then earlier login first.
int compare_sessions(const SessionRecord* a, const SessionRecord* b);

// Number of different user names among the first n of the sorted
// ActiveSessions.
int count_distinct_users(int n);

// Sorts ActiveSessions and warns, then logs out, each user's logins beyond
// the allowance, when at least multiple_threshold sessions are present.  A
// login is logged out no sooner than the grace its warning announced.
// Returns the time at which the next warned login's grace ends, or 0.
time_t enforce_multiple_logins(int n);

#endif  // QUELLD_POLICY_MULTIPLE_CHECK_H
