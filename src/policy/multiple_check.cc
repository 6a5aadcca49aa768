#include "policy/multiple_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"

int compare_sessions(const SessionRecord* a, const SessionRecord* b) {
    int c = std::strcmp(a->user, b->user);
    if (c != 0)
        return c;
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

// Before a user's logins over the allowance are judged, the ones counted
// against them must be live: a record its login outlived (a crash, a login
// program killed by a forced logout) would cost the user a live login.
// Looked at only for a user over the allowance, so a quiet pass costs nothing.
static void multiple_prune_run(int start, int n, int32_t lim, int (*live)(SessionRecord*)) {
    int end = start;
    while (end < n && std::strcmp(ActiveSessions[end]->user, ActiveSessions[start]->user) == 0)
        ++end;
    if (end - start <= lim)
        return;
    for (int i = start; i < end; ++i) live(ActiveSessions[i]);
}

void judge_multiple(int n, time_t now, int (*live)(SessionRecord*), Verdict* out) {
    if (multiple_threshold == 0 || n < multiple_threshold) {
        for (int i = 0; i < n; ++i) out[i] = verdict_none(WARN_MULTIPLE);
        return;
    }

    std::sort(
        ActiveSessions, ActiveSessions + n,
        [](const SessionRecord* a, const SessionRecord* b) { return compare_sessions(a, b) < 0; });

    int32_t allowed = multiples;
    if (allowed < 0) {
        int users = count_distinct_users(n);
        // A negative threshold lets the check run with no sessions at all;
        // with no users there is nothing to divide among.
        allowed = users > 0 ? multiple_threshold / users : 1;
    }
    if (allowed <= 0)
        allowed = 1;

    int start = -1;
    int counted = 0;  // live logins of this user so far
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        out[i] = verdict_none();
        bool console = std::strcmp(r->user, console_user) == 0;
        if (console && console_multiple == -1)
            continue;
        int32_t lim = (console && console_multiple >= 1) ? console_multiple : allowed;
        RuleAt rule{0, (console && console_multiple >= 1) ? setting_lines.console_multiple
                                                          : setting_lines.multiples};
        if (start < 0 || std::strcmp(r->user, ActiveSessions[start]->user) != 0) {
            start = i;
            counted = 0;
            multiple_prune_run(start, n, lim, live);
        }
        if (r->ended != SESSION_OPEN)
            continue;
        // A pane counts with the login it runs in, which is counted itself.
        if (r->pane_of != nullptr) {
            out[i] = verdict_none(WARN_MULTIPLE);
            continue;
        }
        if (counted++ < lim) {
            out[i] = verdict_none(WARN_MULTIPLE);
            out[i].measured = counted;
        } else if ((r->exempt & WARN_MULTIPLE) == 0) {
            // The warning gives "the next" sleep_interval as it is when
            // written; the logout waits for that, whatever runs a pass sooner.
            Verdict v{VERDICT_WARN, WARN_MULTIPLE, lim, counted, now + sleep_interval, rule};
            if ((r->warned & WARN_MULTIPLE) != 0) {
                v.due = grace_end(r->multiple_grace);
                if (grace_over(r->multiple_grace, now)) {
                    v.action = VERDICT_LOGOUT;
                } else {
                    v.action = VERDICT_NONE;
                    v.kind = 0;
                }
            }
            out[i] = v;
        }
    }
}

// The verdicts of a pass, one per open login; grown with the logins, never
// shrunk, so that a steady pass allocates nothing.
static Verdict* multiple_verdicts;
static int multiple_room;

time_t enforce_multiple_logins(int n) {
    time_t now = platform->now();
    // Below the threshold every login is within its allowance (as
    // judge_multiple finds), which needs no verdicts stored.
    if (multiple_threshold == 0 || n < multiple_threshold) {
        for (int i = 0; i < n; ++i) ActiveSessions[i]->warned &= ~WARN_MULTIPLE;
        return 0;
    }
    if (n > multiple_room) {
        auto* grown = static_cast<Verdict*>(
            std::realloc(multiple_verdicts, sizeof(Verdict) * static_cast<size_t>(n)));
        // Without memory, the logins past the room are not judged this pass.
        if (grown != nullptr) {
            multiple_verdicts = grown;
            multiple_room = n;
        }
        if (n > multiple_room)
            n = multiple_room;
    }
    Verdict* verdicts = multiple_verdicts;
    judge_multiple(n, now, warn_live, verdicts);
    int64_t soonest = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        const Verdict& v = verdicts[i];
        if (v.action == VERDICT_NONE)
            r->warned &= ~v.kind;
        if (v.action == VERDICT_WARN)
            grace_begin(&r->multiple_grace, now, sleep_interval);
        if (v.action != VERDICT_NONE)
            warn_audited(i, WARN_MULTIPLE, v.shown, v.rule);
        if (v.action != VERDICT_LOGOUT && v.due != VERDICT_NOT_DUE && v.due > now &&
            (soonest == 0 || v.due < soonest))
            soonest = v.due;
    }
    return static_cast<time_t>(soonest);
}
