// The dry run judges with the checks' own judge_* functions, through the
// daemon's own scan (poll_scan with a CycleChecks table that records the
// verdicts instead of carrying them out), so it never decides anything by
// itself; nothing that can reach warn is called from here.
#include "checker/check_dryrun.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/session_table.h"
#include "checker/check_policy.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "enforce/live.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/group_check.h"
#include "policy/hours_check.h"
#include "policy/idle_check.h"
#include "policy/multiple_check.h"
#include "policy/session_check.h"

namespace {

// The verdicts of the pass, by slot; stale marks one on a login found gone.
struct DryVerdict {
    Verdict v;
    bool stale;
};
std::vector<std::vector<DryVerdict>> dry_verdicts;
// The acting verdicts in the order the pass reached them: (slot, verdict).
std::vector<CheckAct> dry_sequence;
time_t dry_now;

// warn_live without its log line: the same test, the same marking.
int dry_live(SessionRecord* r) {
    return live_mark(r) > 0 ? 1 : 0;
}

// Notes what warn would do with an acting verdict: nothing to a record
// already ended, nothing but the stale line to one found gone; a logout ends
// the record, so later checks of the pass pass it over as the daemon's do.
void dry_record(SessionRecord* r, const Verdict& v) {
    if (v.action == VERDICT_NONE || r->ended != SESSION_OPEN)
        return;
    bool stale = dry_live(r) == 0;
    if (!stale && v.action == VERDICT_LOGOUT)
        r->ended = SESSION_LOGGED_OUT;
    auto slot = static_cast<size_t>(r - SessionTable);
    if (slot >= dry_verdicts.size())
        dry_verdicts.resize(slot + 1);
    dry_verdicts[slot].push_back({v, stale});
    if (!stale)
        dry_sequence.push_back({static_cast<int>(slot), v});
}

void dry_mark_recent(SessionRecord*) {}
void dry_prune(const SessionRecord*) {}

void dry_idle(int slot) {
    dry_record(&SessionTable[slot], judge_idle(slot, dry_now));
}

void dry_refusals(int n) {
    for (int i = 0; i < n; ++i) dry_record(ActiveSessions[i], judge_refusal(ActiveSessions[i]));
}

time_t dry_session(int n) {
    for (int i = 0; i < n; ++i)
        dry_record(ActiveSessions[i], judge_session(ActiveSessions[i], n, dry_now));
    return 0;
}

time_t dry_multiple(int n) {
    std::vector<Verdict> v(static_cast<size_t>(n));
    judge_multiple(n, dry_now, dry_live, v.data());
    for (int i = 0; i < n; ++i) dry_record(ActiveSessions[i], v[i]);
    return 0;
}

time_t dry_group(SessionRecord* r, int n) {
    dry_record(r, judge_group(r, n, dry_now, dry_live));
    return 0;
}

time_t dry_hours(int n) {
    for (int i = 0; i < n; ++i)
        dry_record(ActiveSessions[i], judge_hours(ActiveSessions[i], dry_now));
    return 0;
}

const CycleChecks dry_checks = {dry_mark_recent, dry_prune,    dry_idle,  dry_refusals,
                                dry_session,     dry_multiple, dry_group, dry_hours};

const char* ALREADY_WARNED = "; a login the daemon has already warned is logged out instead";

std::string stamp(time_t t) {
    char buf[26];
    return std::string(log_stamp(t, buf), 24);
}

// The logins whose hours end first after now, and what that end does to
// them: a warning warn seconds before it (none with warn 0) and the logout.
void dry_next_end(FILE* out, const std::vector<const SessionRecord*>& order, time_t now) {
    int64_t first = HOURS_NO_END;
    for (const SessionRecord* r : order) {
        int64_t end = r->ended == SESSION_OPEN ? hours_next_end(r, now) : HOURS_NO_END;
        if (end > now && end < first)
            first = end;
    }
    if (first == HOURS_NO_END) {
        std::fprintf(out, "\nnext end of hours: none within a week\n");
        return;
    }
    std::fprintf(out, "\nnext end of hours: %s\n", stamp(static_cast<time_t>(first)).c_str());
    for (const SessionRecord* r : order) {
        if (r->ended != SESSION_OPEN || hours_next_end(r, now) != first)
            continue;
        std::string what;
        if (warn_time > 0 && first - warn_time > now)
            what.append("warned ")
                .append(stamp(static_cast<time_t>(first - warn_time)))
                .append(", ");
        what.append("logged out ").append(stamp(static_cast<time_t>(first)));
        std::fprintf(out, "  %s on %s: %s\n", r->user, session_line(r), what.c_str());
    }
}

// Why a verdict acts, as the dry run prints it.
std::string dry_why(const SessionRecord* r, const Verdict& v) {
    bool logout = v.action == VERDICT_LOGOUT;
    switch (v.kind) {
        case WARN_IDLE: {
            bool console = std::strcmp(r->tty_path, PATH_CONSOLE) == 0;
            std::string why = std::string("idle: ") + (console ? "console idle " : "idle ") +
                              check_clock(v.measured) + ", limit " + check_minutes(v.shown);
            if (logout)
                return why + ", no grace (warn 0)";
            return why + "; logged out " + check_minutes(warn_time) + " later if still idle" +
                   ALREADY_WARNED;
        }
        case WARN_XLOCK:
            return "xlock: the screen-lock idle time reaches the idle limit " +
                   check_minutes(v.shown);
        case WARN_REFUSED:
            return "refused: the refusal notice, then the logout " + std::to_string(REFUSE_PAUSE) +
                   " seconds later";
        case WARN_SESSION: {
            std::string why =
                "session: in use " + check_clock(v.measured) + ", limit " + check_minutes(v.shown);
            if (logout)
                return why + ", no grace (warn 0)";
            return why + "; logged out at the end of the " + check_minutes(warn_time) + " grace" +
                   ALREADY_WARNED;
        }
        case WARN_HOURS: {
            if (v.shown == 0)
                return "hours: logged in outside its hours: the refusal notice, then the logout " +
                       std::to_string(REFUSE_PAUSE) + " seconds later";
            std::string why = "hours: they end " + stamp(static_cast<time_t>(v.shown));
            if (logout)
                return why + ", no grace (warn 0)";
            return why + "; logged out then" + ALREADY_WARNED;
        }
        case WARN_MULTIPLE:
            return "multiple: login " + std::to_string(v.measured) + " of " + r->user + ", " +
                   std::to_string(v.shown) + " allowed" + ALREADY_WARNED;
        case WARN_MAXUSER:
            return "maxuser: " + std::to_string(v.measured) + " logins of group id " +
                   std::to_string(r->maxuser_gid) + ", " + std::to_string(v.shown) + " allowed" +
                   ALREADY_WARNED;
        default:
            return "";
    }
}

}  // namespace

int check_judge(Verdict (*out)[CHECK_VERDICTS_MAX], int* counts, std::vector<CheckAct>* sequence) {
    dry_verdicts.clear();
    dry_sequence.clear();
    CycleChecks saved = cycle_checks;
    cycle_checks = dry_checks;
    session_table_reset();
    dry_now = platform->now();
    poll_scan(0);
    cycle_checks = saved;
    if (sequence != nullptr)
        *sequence = dry_sequence;
    if (out != nullptr) {
        for (int slot = 0; slot < session_count; ++slot) {
            counts[slot] = 0;
            if (static_cast<size_t>(slot) >= dry_verdicts.size())
                continue;
            for (const DryVerdict& d : dry_verdicts[static_cast<size_t>(slot)])
                if (!d.stale && counts[slot] < CHECK_VERDICTS_MAX)
                    out[slot][counts[slot]++] = d.v;
        }
    }
    return active_count;
}

int check_dry_run(FILE* out) {
    check_judge(nullptr, nullptr);
    // The scan's order: the multiple-login check sorts ActiveSessions.
    std::vector<const SessionRecord*> order;
    for (int slot = 0; slot < session_count; ++slot) {
        const SessionRecord* r = &SessionTable[slot];
        for (int i = 0; i < active_count; ++i)
            if (ActiveSessions[i] == r)
                order.push_back(r);
    }
    int n = static_cast<int>(order.size());
    time_t now = dry_now;

    std::fprintf(out, "%s: %d user login%s; console user: %s\n", stamp(now).c_str(), n,
                 n == 1 ? "" : "s", console_user[0] != '\0' ? console_user : "none");
    for (const SessionRecord* r : order) {
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
        static const std::vector<DryVerdict> none;
        const std::vector<DryVerdict>& v = static_cast<size_t>(slot) < dry_verdicts.size()
                                               ? dry_verdicts[static_cast<size_t>(slot)]
                                               : none;
        if (v.empty())
            std::fprintf(out, "  %-15s nothing\n", "now");
        for (size_t k = 0; k < v.size(); ++k) {
            const char* label = k == 0 ? "now" : "";
            if (v[k].stale)
                std::fprintf(out, "  %-15s nothing (a stale record: its login is gone)\n", label);
            else
                std::fprintf(out, "  %-15s %s (%s)\n", label,
                             v[k].v.action == VERDICT_LOGOUT ? "log out" : "warn",
                             dry_why(r, v[k].v).c_str());
        }
    }
    // Only where hours are configured, so that other accounts stay as they were.
    if (hours_list->next != hours_list)
        dry_next_end(out, order, now);
    return n;
}
