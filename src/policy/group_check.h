// The limit on simultaneous logins of the members of one group.
#ifndef QUELLD_POLICY_GROUP_CHECK_H
#define QUELLD_POLICY_GROUP_CHECK_H

#include <ctime>

#include "base/session_table.h"

// Warns, then logs out, r when more of the n active sessions belong to r's
// maxuser group than its maxuser_limit allows; the logout no sooner than the
// grace its warning announced.  Returns the time that grace ends while it
// runs, else 0.
time_t enforce_group_limit(SessionRecord* r, int n);

#endif  // QUELLD_POLICY_GROUP_CHECK_H
