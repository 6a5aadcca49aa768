#include "policy/multiple_check.h"

#include <algorithm>
#include <cstring>

#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"

int compare_sessions(const SessionRecord* a, const SessionRecord* b) {
    int c = std::strcmp(a->user, b->user);
    if (c != 0) return c;
    return (a->login_time > b->login_time) - (a->login_time < b->login_time);
}

int count_distinct_users(int n) {
    int count = 0;
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (i == 0 || std::strcmp(ActiveSessions[i]->user, ActiveSessions[start]->user) != 0) {
            ++count;
            start = i;
        }
    }
    return count;
}

// Before a user's logins over the allowance are warned, the ones counted
// against them must be live: a record its login outlived (a crash, a login
// program killed by a forced logout) would cost the user a live login.
// Looked at only for a user over the allowance, so a quiet pass costs nothing.
static void multiple_prune_run(int start, int n, int32_t lim) {
    int end = start;
    while (end < n && std::strcmp(ActiveSessions[end]->user, ActiveSessions[start]->user) == 0)
        ++end;
    if (end - start <= lim) return;
    for (int i = start; i < end; ++i) warn_live(ActiveSessions[i]);
}

time_t enforce_multiple_logins(int n) {
    if (multiple_threshold == 0 || n < multiple_threshold) {
        for (int i = 0; i < n; ++i) ActiveSessions[i]->warned &= ~WARN_MULTIPLE;
        return 0;
    }

    std::sort(ActiveSessions, ActiveSessions + n, [](const SessionRecord* a, const SessionRecord* b) {
        return compare_sessions(a, b) < 0;
    });

    int32_t allowed = multiples;
    if (allowed < 0) {
        int users = count_distinct_users(n);
        // A negative threshold lets the check run with no sessions at all;
        // with no users there is nothing to divide among.
        allowed = users > 0 ? multiple_threshold / users : 1;
    }
    if (allowed <= 0) allowed = 1;

    time_t now = platform->now();
    int64_t soonest = 0;
    int start = -1;
    int counted = 0;  // live logins of this user so far
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        bool console = std::strcmp(r->user, console_user) == 0;
        if (console && console_multiple == -1) continue;
        int32_t lim = (console && console_multiple >= 1) ? console_multiple : allowed;
        if (start < 0 || std::strcmp(r->user, ActiveSessions[start]->user) != 0) {
            start = i;
            counted = 0;
            multiple_prune_run(start, n, lim);
        }
        if (r->ended != SESSION_OPEN) continue;
        if (counted++ < lim) {
            r->warned &= ~WARN_MULTIPLE;
        } else if ((r->exempt & WARN_MULTIPLE) == 0) {
            // The warning gives "the next" sleep_interval as it is when
            // written; the logout waits for that, whatever runs a pass sooner.
            bool first = (r->warned & WARN_MULTIPLE) == 0;
            if (first)
                grace_begin(&r->multiple_grace, now, sleep_interval);
            bool over = !first && grace_over(r->multiple_grace, now);
            if (first || over) {
                int64_t saved = r->next_check;
                r->next_check = lim;  // the warning names the allowance
                warn(i, WARN_MULTIPLE, 1);
                r->next_check = saved;
            }
            int64_t end = grace_end(r->multiple_grace);
            if (!over && end > now && (soonest == 0 || end < soonest)) soonest = end;
        }
    }
    return static_cast<time_t>(soonest);
}
