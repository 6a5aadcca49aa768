#include "policy/group_check.h"

#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"

// Whether gid is in a session's group list, read up to its first negative
// entry (its end), at most NGROUPS_KEPT entries.
static bool group_list_contains(const int32_t* groups, int32_t gid) {
    for (int i = 0; i < NGROUPS_KEPT && groups[i] >= 0; ++i)
        if (groups[i] == gid)
            return true;
    return false;
}

// The group's logins among the first n of ActiveSessions that are not known
// to be gone; with live, each is first made sure of.
static int group_count(int32_t gid, int n, int (*live)(SessionRecord*)) {
    int count = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* s = ActiveSessions[i];
        // A pane counts with the login it runs in, which is counted itself.
        if (!group_list_contains(s->groups, gid) || s->pane_of != nullptr)
            continue;
        if (live != nullptr)
            live(s);
        if (s->ended == SESSION_OPEN)
            ++count;
    }
    return count;
}

int active_position(const SessionRecord* r, int n) {
    int position = -1;
    for (int i = 0; i < n; ++i)
        if (ActiveSessions[i] == r)
            position = i;
    return position;
}

Verdict judge_group(const SessionRecord* r, int n, time_t now, int (*live)(SessionRecord*)) {
    if (r->maxuser_gid == 0 || r->pane_of != nullptr)
        return verdict_none();
    if ((r->exempt & WARN_MAXUSER) != 0 || active_position(r, n) < 0)
        return verdict_none();
    // A record its login outlived must not cost the group a live login: the
    // logins are made sure of only when the group is over its limit.
    int count = group_count(r->maxuser_gid, n, nullptr);
    if (count <= r->maxuser_limit)
        return verdict_none();
    count = group_count(r->maxuser_gid, n, live);
    if (count <= r->maxuser_limit || r->ended != SESSION_OPEN)
        return verdict_none();
    // As for the multiple-login warning: the session ends when the
    // sleep_interval its warning named has passed, not at the next pass.
    Verdict v{VERDICT_WARN, WARN_MAXUSER,         r->maxuser_limit,
              count,        now + sleep_interval, r->maxuser_rule};
    if ((r->warned & WARN_MAXUSER) != 0) {
        v.due = grace_end(r->maxuser_grace);
        if (grace_over(r->maxuser_grace, now)) {
            v.action = VERDICT_LOGOUT;
            v.due = VERDICT_NOT_DUE;
        } else {
            v.action = VERDICT_NONE;
            v.kind = 0;
        }
    }
    return v;
}

time_t enforce_group_limit(SessionRecord* r, int n) {
    time_t now = platform->now();
    Verdict v = judge_group(r, n, now, warn_live);
    if (v.action == VERDICT_WARN)
        grace_begin(&r->maxuser_grace, now, sleep_interval);
    if (v.action != VERDICT_NONE)
        warn_audited(active_position(r, n), WARN_MAXUSER, v.shown, v.rule);
    return v.due != VERDICT_NOT_DUE && v.due > now ? static_cast<time_t>(v.due) : 0;
}
