// The checks' decisions are taken again here from the resolved records and
// the settings rather than by running enforce_idle and the others, because
// those act through warn, which forks a child that writes to terminals and
// kills processes: nothing that can reach warn is called from here.
#include "check/check_dryrun.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/session_table.h"
#include "check/check_policy.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/idle_check.h"
#include "policy/multiple_check.h"

namespace {

// What one check would do to one login.
struct Verdict {
    std::string action;  // "warn", "log out", or a note when nothing happens
    std::string why;
};

// The slot-by-slot work of the scan, without any check.
void dry_mark_recent(SessionRecord*) {}
void dry_prune(const SessionRecord*) {}
void dry_idle(int) {}
void dry_refusals(int) {}
time_t dry_session(int) {
    return 0;
}
time_t dry_multiple(int) {
    return 0;
}
time_t dry_group(SessionRecord*, int) {
    return 0;
}

const CycleChecks scan_only = {dry_mark_recent, dry_prune,    dry_idle, dry_refusals,
                               dry_session,     dry_multiple, dry_group};

const char* ALREADY_WARNED = "; a login the daemon has already warned is logged out instead";

bool is_console_user(const SessionRecord* r) {
    return console_user[0] != '\0' && std::strcmp(r->user, console_user) == 0;
}

// The terminal's activity time as the idle check takes it before any
// warning; -1 when the device cannot be examined.  A time later than now is
// use seen now, as the daemon takes a future stamp it meets for the first
// time.
int activity_time(const char* path, time_t now, time_t* when) {
    time_t atime, mtime;
    if (platform->file_times(path, &atime, &mtime) != 0)
        return -1;
    *when = std::min(idle_method == 1 ? std::max(atime, mtime) : atime, now);
    return 0;
}

// Seconds the login has been idle, by the configured method; -1 when it
// cannot be told.
int64_t idle_seconds(int slot, time_t now) {
    const SessionRecord* r = &SessionTable[slot];
    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0)
        return console_idle_time(r->idle_limit, slot);
    time_t ref;
    if (activity_time(r->tty_path, now, &ref) != 0)
        return -1;
    return now - ref;
}

// Warn, or at once log out when there is no grace.
Verdict idle_warning(const std::string& why, const char* reason) {
    if (warn_time <= 0)
        return {"log out", std::string(reason) + ": " + why + ", no grace (warn 0)"};
    return {"warn", std::string(reason) + ": " + why + "; logged out " + check_minutes(warn_time) +
                        " later if still idle" + ALREADY_WARNED};
}

void judge_idle(int slot, time_t now, std::vector<Verdict>* v) {
    const SessionRecord* r = &SessionTable[slot];
    if (r->idle_limit < 0)
        return;
    int64_t limit = r->idle_limit;
    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0) {
        if (r->exempt & WARN_IDLE)
            return;
        int64_t d = console_idle_time(r->idle_limit, slot);
        int64_t x = xlock_idle_time(r->user);
        if (d < limit - SLACK && x < limit - SLACK)
            return;
        if (x >= limit - SLACK) {
            v->push_back({"log out", "xlock: the screen-lock idle time reaches the idle limit " +
                                         check_minutes(limit)});
            return;
        }
        v->push_back(idle_warning(
            "console idle " + check_clock(d) + ", limit " + check_minutes(limit), "idle"));
        return;
    }
    if (is_console_user(r)) {
        if (console_idle == -1)
            return;
        if (console_idle != -2)
            limit = console_idle;
    }
    time_t ref;
    if (activity_time(r->tty_path, now, &ref) != 0) {
        v->push_back({"nothing", "the terminal cannot be examined, so it is never taken as idle"});
        return;
    }
    if (now - r->login_time < limit - SLACK || now - ref < limit - SLACK)
        return;
    if (r->exempt & WARN_IDLE) {
        v->push_back({"nothing", "idle past its limit, but exempt"});
        return;
    }
    v->push_back(
        idle_warning("idle " + check_clock(now - ref) + ", limit " + check_minutes(limit), "idle"));
}

void judge_refusal(const SessionRecord* r, std::vector<Verdict>* v) {
    if (r->refused == 1 && (r->exempt & WARN_REFUSED) == 0)
        v->push_back({"log out", "refused: the refusal notice, then the logout " +
                                     std::to_string(REFUSE_PAUSE) + " seconds later"});
}

void judge_session(const SessionRecord* r, int n, time_t now, std::vector<Verdict>* v) {
    if (session_threshold == 0 || n < session_threshold)
        return;
    int64_t lim = r->session_limit > 0 ? r->session_limit : minutes_to_seconds(session_default);
    bool console = is_console_user(r);
    if ((r->exempt & WARN_SESSION) || lim <= 0 || (console && console_session == -1))
        return;
    if (console && console_session != -2)
        lim = console_session;
    int64_t elapsed = now - r->login_time;
    if (elapsed < lim)
        return;
    std::string why = "session: in use " + check_clock(elapsed) + ", limit " + check_minutes(lim);
    if (warn_time <= 0) {
        v->push_back({"log out", why + ", no grace (warn 0)"});
    } else if (elapsed >= lim + warn_time - SLACK) {
        v->push_back({"warn", why + ", grace over" + ALREADY_WARNED});
    } else {
        v->push_back({"warn", why + "; logged out at the end of the " + check_minutes(warn_time) +
                                  " grace"});
    }
}

// The multiple-login check over the n logins, sorted as the daemon sorts
// them; verdicts go to the slot of each login beyond its user's allowance.
void judge_multiple(int n, std::vector<Verdict>* verdicts) {
    if (multiple_threshold == 0 || n < multiple_threshold)
        return;
    std::sort(
        ActiveSessions, ActiveSessions + n,
        [](const SessionRecord* a, const SessionRecord* b) { return compare_sessions(a, b) < 0; });
    int32_t allowed = multiples;
    if (allowed < 0) {
        int users = count_distinct_users(n);
        allowed = users > 0 ? multiple_threshold / users : 1;
    }
    if (allowed <= 0)
        allowed = 1;
    int start = -1;
    for (int i = 0; i < n; ++i) {
        const SessionRecord* r = ActiveSessions[i];
        bool console = is_console_user(r);
        if (console && console_multiple == -1)
            continue;
        if (start < 0 || std::strcmp(r->user, ActiveSessions[start]->user) != 0)
            start = i;
        int32_t lim = (console && console_multiple >= 1) ? console_multiple : allowed;
        if (i - start < lim)
            continue;
        std::vector<Verdict>* v = &verdicts[r - SessionTable];
        std::string why = "multiple: login " + std::to_string(i - start + 1) + " of " + r->user +
                          ", " + std::to_string(lim) + " allowed";
        if (r->exempt & WARN_MULTIPLE)
            v->push_back({"nothing", why + ", but exempt"});
        else
            v->push_back({"warn", why + ALREADY_WARNED});
    }
}

bool in_group(const int32_t* groups, int32_t gid) {
    for (int i = 0; i < NGROUPS_KEPT && groups[i] >= 0; ++i)
        if (groups[i] == gid)
            return true;
    return false;
}

void judge_group(const SessionRecord* last, SessionRecord* const* order, int n,
                 std::vector<Verdict>* v) {
    if (last->maxuser_gid == 0 || (last->exempt & WARN_MAXUSER))
        return;
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (in_group(order[i]->groups, last->maxuser_gid))
            ++count;
    if (count > last->maxuser_limit)
        v->push_back({"warn", "maxuser: " + std::to_string(count) + " logins of group id " +
                                  std::to_string(last->maxuser_gid) + ", " +
                                  std::to_string(last->maxuser_limit) + " allowed" +
                                  ALREADY_WARNED});
}

std::string stamp(time_t t) {
    char buf[26];
    return std::string(log_stamp(t, buf), 24);
}

}  // namespace

int check_dry_run(FILE* out) {
    CycleChecks saved = cycle_checks;
    cycle_checks = scan_only;
    session_table_reset();
    poll_scan(0);
    cycle_checks = saved;

    int n = active_count;
    SessionRecord* order[MAXUSERS];
    std::copy(ActiveSessions, ActiveSessions + n, order);
    time_t now = platform->now();

    std::vector<std::vector<Verdict>> verdicts(MAXUSERS);
    for (int i = 0; i < n; ++i) {
        int slot = static_cast<int>(order[i] - SessionTable);
        judge_idle(slot, now, &verdicts[slot]);
        judge_refusal(order[i], &verdicts[slot]);
        judge_session(order[i], n, now, &verdicts[slot]);
    }
    judge_multiple(n, verdicts.data());
    if (n > 0)
        judge_group(order[n - 1], order, n, &verdicts[order[n - 1] - SessionTable]);

    std::fprintf(out, "%s: %d user login%s; console user: %s\n", stamp(now).c_str(), n,
                 n == 1 ? "" : "s", console_user[0] != '\0' ? console_user : "none");
    for (int i = 0; i < n; ++i) {
        const SessionRecord* r = order[i];
        int slot = static_cast<int>(r - SessionTable);
        std::fprintf(out, "\n%s on %s from %s, logged in %s\n", r->user, session_line(r), r->host,
                     stamp(r->login_time).c_str());
        check_explain(out, slot);
        int64_t idle = idle_seconds(slot, now);
        std::fprintf(
            out, "  %-15s %s\n", "idle time",
            idle < 0 ? "unknown: the terminal cannot be examined"
                     : (check_clock(idle) + (idle_method == 1 ? " (input or output)" : " (input)"))
                           .c_str());
        const std::vector<Verdict>& v = verdicts[slot];
        if (v.empty())
            std::fprintf(out, "  %-15s nothing\n", "now");
        for (size_t k = 0; k < v.size(); ++k)
            std::fprintf(out, "  %-15s %s (%s)\n", k == 0 ? "now" : "", v[k].action.c_str(),
                         v[k].why.c_str());
    }
    return n;
}
