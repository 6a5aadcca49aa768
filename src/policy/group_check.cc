#include "policy/group_check.h"

#include "enforce/warn.h"

// Whether gid is in a session's group list, read up to its first negative
// entry (its end), at most NGROUPS_KEPT entries.
static bool group_list_contains(const int32_t* groups, int32_t gid) {
    for (int i = 0; i < NGROUPS_KEPT && groups[i] >= 0; ++i)
        if (groups[i] == gid) return true;
    return false;
}

void enforce_group_limit(SessionRecord* r, int n) {
    if (r->maxuser_gid == 0) return;
    int position = -1;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const SessionRecord* s = ActiveSessions[i];
        if (s == r) position = i;
        if (group_list_contains(s->groups, r->maxuser_gid)) ++count;
    }
    if ((r->exempt & WARN_MAXUSER) == 0 && count > r->maxuser_limit && position >= 0)
        warn(position, WARN_MAXUSER, 1);
}
