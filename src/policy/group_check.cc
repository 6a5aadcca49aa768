#include "policy/group_check.h"

#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"

// Whether gid is in a session's group list, read up to its first negative
// entry (its end), at most NGROUPS_KEPT entries.
static bool group_list_contains(const int32_t* groups, int32_t gid) {
    for (int i = 0; i < NGROUPS_KEPT && groups[i] >= 0; ++i)
        if (groups[i] == gid) return true;
    return false;
}

// The group's logins among the first n of ActiveSessions that are not known
// to be gone; with prune, each is first made sure of (warn_live).
static int group_count(int32_t gid, int n, bool prune) {
    int count = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* s = ActiveSessions[i];
        if (!group_list_contains(s->groups, gid)) continue;
        if (prune) warn_live(s);
        if (s->ended == SESSION_OPEN) ++count;
    }
    return count;
}

time_t enforce_group_limit(SessionRecord* r, int n) {
    if (r->maxuser_gid == 0) return 0;
    int position = -1;
    for (int i = 0; i < n; ++i)
        if (ActiveSessions[i] == r) position = i;
    if ((r->exempt & WARN_MAXUSER) != 0 || position < 0) return 0;
    // A record its login outlived must not cost the group a live login: the
    // logins are made sure of only when the group is over its limit.
    if (group_count(r->maxuser_gid, n, false) <= r->maxuser_limit ||
        group_count(r->maxuser_gid, n, true) <= r->maxuser_limit || r->ended != SESSION_OPEN)
        return 0;
    // As for the multiple-login warning: the session ends when the
    // sleep_interval its warning named has passed, not at the next pass.
    time_t now = platform->now();
    bool first = (r->warned & WARN_MAXUSER) == 0;
    if (first)
        grace_begin(&r->maxuser_grace, now, sleep_interval);
    if (!first && grace_over(r->maxuser_grace, now)) {
        warn(position, WARN_MAXUSER, 1);
        return 0;
    }
    if (first)
        warn(position, WARN_MAXUSER, 1);
    int64_t end = grace_end(r->maxuser_grace);
    return end > now ? static_cast<time_t>(end) : 0;
}
