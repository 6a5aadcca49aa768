// The limit on simultaneous logins of the members of one group.
#ifndef QUELLD_POLICY_GROUP_CHECK_H
#define QUELLD_POLICY_GROUP_CHECK_H

#include <ctime>

#include "base/session_table.h"
#include "policy/verdict.h"

// r's position among the first n of ActiveSessions, or -1.
int active_position(const SessionRecord* r, int n);

// Judges r, one of the n active sessions, at now: when more of them belong
// to r's maxuser group than its maxuser_limit allows, the warning, the
// logout once the grace the warning announced is over, or nothing while it
// runs (due: the grace's end).  shown is the limit, measured the group's
// live logins.  When the group is over its limit each of its logins is
// first asked of live (warn_live in the daemon), which may mark it stale.
// A pane that counts with its login (pane_of set) is neither counted nor
// judged.  Neither warns nor logs itself.
Verdict judge_group(const SessionRecord* r, int n, time_t now, int (*live)(SessionRecord*));

// Carries out judge_group's verdict on r (grace, warn).  Returns the time
// its grace ends while it runs, else 0.
time_t enforce_group_limit(SessionRecord* r, int n);

#endif  // QUELLD_POLICY_GROUP_CHECK_H
