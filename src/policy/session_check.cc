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
        if (std::strcmp(u->user, user) == 0) return u;
    return nullptr;
}

void remember_session_user(const SessionRecord* r) {
    if (refuse_time <= 0) return;
    time_t now = platform->now();
    if (RecentUser* u = recent_find(r->user)) {
        u->time = now;
        return;
    }
    auto* u = static_cast<RecentUser*>(std::malloc(sizeof(RecentUser)));
    if (u == nullptr) return;  // no memory: the user simply is not refused later
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
    if (recent_find(r->user) != nullptr) r->refused = 1;
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

void enforce_refusals(int n) {
    for (int i = 0; i < n; ++i) {
        const SessionRecord* r = ActiveSessions[i];
        if (r->refused == 1 && (r->exempt & WARN_REFUSED) == 0) warn(i, WARN_REFUSED, 1);
    }
}

time_t enforce_session_length(int n) {
    if (session_threshold == 0 || n < session_threshold) return 0;

    time_t now = platform->now();
    int64_t soonest = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        // A record that outlived its logout must not renew the user's
        // refusal, nor wake the daemon for nothing, at every pass.
        if (r->ended != SESSION_OPEN) continue;
        int64_t lim = r->session_limit;
        if (lim <= 0) lim = minutes_to_seconds(session_default);
        bool console = std::strcmp(r->user, console_user) == 0;
        if ((r->exempt & WARN_SESSION) || lim <= 0 || (console && console_session == -1))
            continue;
        if (console && console_session != -2) lim = console_session;

        int64_t elapsed = now - session_start(r);
        if (elapsed < lim) {
            r->warned &= ~WARN_SESSION;
            continue;
        }
        // The logout comes when the grace the warning announced has run out,
        // however early another login's pass runs this check.
        bool first = (r->warned & WARN_SESSION) == 0;
        if (first || grace_over(r->session_grace, now)) {
            remember_session_user(r);
            if (first)
                grace_begin(&r->session_grace, now, warn_time);
            if (warn_time <= 0) r->warned |= WARN_SESSION;
            int32_t saved = r->session_limit;
            r->session_limit = static_cast<int32_t>(lim);
            warn(i, WARN_SESSION, 1);
            r->session_limit = saved;
        }
        int64_t remaining = grace_end(r->session_grace) - now;
        if (remaining < SESSION_MIN_WAKE) remaining = SESSION_MIN_WAKE;
        if (soonest == 0 || remaining < soonest) soonest = remaining;
    }
    return soonest > 0 ? now + soonest : 0;
}
