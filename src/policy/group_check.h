// The limit on simultaneous logins of the members of one group.
#ifndef QUELLD_POLICY_GROUP_CHECK_H
#define QUELLD_POLICY_GROUP_CHECK_H

#include "daemon/session_table.h"

// Warns, then logs out, r when more of the n active sessions belong to r's
// maxuser group than its maxuser_limit allows.
void enforce_group_limit(SessionRecord* r, int n);

#endif  // QUELLD_POLICY_GROUP_CHECK_H
