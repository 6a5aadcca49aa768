#include "policy/session_check.h"

#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"

// Users warned or logged out for session length, newest first, each with the
// time it last happened.
struct RecentUser {
    char user[USER_SIZE];
    time_t time;
    RecentUser* next;
};

static RecentUser* recent_session_users;

static RecentUser* recent_find(const char* user) {
    for (RecentUser* u = recent_session_users; u != nullptr; u = u->next)
        if (std::strcmp(u->user, user) == 0)
            return u;
    return nullptr;
}

void remember_session_user(const SessionRecord* r) {
    if (refuse_time <= 0)
        return;
    time_t now = platform->now();
    if (RecentUser* u = recent_find(r->user)) {
        u->time = now;
        return;
    }
    auto* u = static_cast<RecentUser*>(std::malloc(sizeof(RecentUser)));
    if (u == nullptr)
        return;  // no memory: the user simply is not refused later
    std::memcpy(u->user, r->user, sizeof u->user);
    u->user[USER_SIZE - 1] = '\0';
    u->time = now;
    u->next = recent_session_users;
    recent_session_users = u;
}

void mark_recent_session_user(SessionRecord* r) {
    time_t now = platform->now();
    for (RecentUser** link = &recent_session_users; *link != nullptr;) {
        RecentUser* u = *link;
        if (u->time + refuse_time < now) {
            *link = u->next;
            std::free(u);
        } else {
            link = &u->next;
        }
    }
    if (recent_find(r->user) != nullptr)
        r->refused = 1;
}

void recent_session_users_shift(int64_t step) {
    for (RecentUser* u = recent_session_users; u != nullptr; u = u->next)
        u->time = static_cast<time_t>(clamp_time(u->time + step));
}

void recent_session_users_reset() {
    while (RecentUser* u = recent_session_users) {
        recent_session_users = u->next;
        std::free(u);
    }
}

Verdict judge_refusal(const SessionRecord* r) {
    // Refused by no rule: a user just cut off for session length.
    RuleAt rule = r->refuse_rule.line > 0 ? r->refuse_rule : RuleAt{0, setting_lines.refuse_time};
    if (r->refused == 1 && (r->exempt & WARN_REFUSED) == 0)
        return Verdict{VERDICT_LOGOUT, WARN_REFUSED, 0, -1, VERDICT_NOT_DUE, rule};
    return verdict_none();
}

void enforce_refusals(int n) {
    for (int i = 0; i < n; ++i)
        if (Verdict v = judge_refusal(ActiveSessions[i]); v.action != VERDICT_NONE)
            warn_audited(i, WARN_REFUSED, -1, v.rule);
}

Verdict judge_session(const SessionRecord* r, int n, time_t now) {
    if (session_threshold == 0 || n < session_threshold)
        return verdict_none();
    // A record that outlived its logout must not renew the user's
    // refusal, nor wake the daemon for nothing, at every pass.
    if (r->ended != SESSION_OPEN)
        return verdict_none();
    int64_t lim = r->session_limit;
    RuleAt rule = r->session_rule;
    if (lim <= 0) {
        lim = minutes_to_seconds(session_default);
        rule = RuleAt{0, setting_lines.session_default};
    }
    bool console = std::strcmp(r->user, console_user) == 0;
    if ((r->exempt & WARN_SESSION) || lim <= 0 || (console && console_session == -1))
        return verdict_none();
    if (console && console_session != -2) {
        lim = console_session;
        rule = RuleAt{0, setting_lines.console_session};
    }

    int64_t elapsed = now - session_start(r);
    if (elapsed < lim) {
        Verdict v = verdict_none(WARN_SESSION);
        v.measured = elapsed;
        return v;
    }
    // The logout comes when the grace the warning announced has run out,
    // however early another login's pass runs this check.
    bool first = (r->warned & WARN_SESSION) == 0;
    if (first) {
        int action = warn_time <= 0 ? VERDICT_LOGOUT : VERDICT_WARN;
        return Verdict{action, WARN_SESSION, lim, elapsed, now + warn_time, rule};
    }
    int action = grace_over(r->session_grace, now) ? VERDICT_LOGOUT : VERDICT_NONE;
    return Verdict{action,
                   action == VERDICT_NONE ? 0U : WARN_SESSION,
                   lim,
                   elapsed,
                   grace_end(r->session_grace),
                   rule};
}

time_t enforce_session_length(int n) {
    time_t now = platform->now();
    int64_t soonest = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        Verdict v = judge_session(r, n, now);
        if (v.action == VERDICT_NONE) {
            r->warned &= ~v.kind;
        } else {
            remember_session_user(r);
            if ((r->warned & WARN_SESSION) == 0)
                grace_begin(&r->session_grace, now, warn_time);
            if (warn_time <= 0)
                r->warned |= WARN_SESSION;
            warn_audited(i, WARN_SESSION, v.shown, v.rule);
        }
        if (v.due == VERDICT_NOT_DUE)
            continue;
        int64_t remaining = v.due - now;
        if (remaining < SESSION_MIN_WAKE)
            remaining = SESSION_MIN_WAKE;
        if (soonest == 0 || remaining < soonest)
            soonest = remaining;
    }
    return soonest > 0 ? now + soonest : 0;
}
