#include "checker/check_policy.h"

#include <cstring>

#include "base/event_log.h"
#include "base/session_table.h"
#include "checker/check_conf.h"
#include "config/facility.h"
#include "config/hours_window.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/hours_check.h"
#include "policy/resolve.h"
#include "policy/rule_index.h"

std::string check_minutes(int64_t seconds) {
    if (seconds % 60 == 0)
        return std::to_string(seconds / 60) + (seconds == 60 ? " minute" : " minutes");
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string check_clock(int64_t seconds) {
    bool negative = seconds < 0;
    uint64_t s = negative ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%llu:%02llu:%02llu", negative ? "-" : "",
                  static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60),
                  static_cast<unsigned long long>(s % 60));
    return buf;
}

namespace {

// Copies text into dst (size bytes), cut to size - 1 characters.
void copy_cut(char* dst, size_t size, const char* text) {
    size_t n = strnlen(text, size - 1);
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

// One line of the account: a label, a value, and where it came from.
void row(FILE* out, const char* label, const std::string& value, const std::string& source = "") {
    if (source.empty())
        std::fprintf(out, "  %-15s %s\n", label, value.c_str());
    else
        std::fprintf(out, "  %-15s %-24s %s\n", label, value.c_str(), source.c_str());
}

std::string source_of(const RuleList* list, const RuleEntry* e) {
    return check_rule_origin(e) + ": " + check_rule_text(list, e);
}

// The group names of a group list, "name(id)" each, looked up by id: a
// directory need not list its groups to a walk.
std::string group_names(const int32_t* groups) {
    std::string s;
    for (int i = 0; i < NGROUPS_KEPT && groups[i] >= 0; ++i) {
        const struct group* g = platform->gr_by_gid(static_cast<gid_t>(groups[i]));
        s += (i > 0 ? " " : "") + std::string(g != nullptr ? g->gr_name : "?") + "(" +
             std::to_string(groups[i]) + ")";
    }
    return s.empty() ? "none" : s;
}

// Hours show in an account only where hours rules exist, so that accounts
// of configurations without them read as they always did.
bool hours_configured() {
    return hours_list->next != hours_list;
}

std::string exempt_kinds(uint32_t bits) {
    static const struct {
        uint32_t bit;
        const char* word;
    } kinds[] = {{WARN_IDLE, "idle"},
                 {WARN_MULTIPLE, "multiple"},
                 {WARN_SESSION, "session"},
                 {WARN_REFUSED, "refuse"},
                 {WARN_MAXUSER, "maxuser"}};
    std::string s;
    for (const auto& k : kinds)
        if (bits & k.bit)
            s += (s.empty() ? "" : " ") + std::string(k.word);
    if ((bits & WARN_HOURS) != 0 && hours_configured())
        s += (s.empty() ? "" : " ") + std::string("hours");
    return s.empty() ? "none" : s;
}

// When the session-length limit and the multiple-login limit run at all.
std::string threshold_note(int32_t threshold, const char* command) {
    if (threshold == 0)
        return std::string("never enforced: no \"threshold ") + command + "\"";
    return "enforced while " + std::to_string(threshold) + " or more sessions are present";
}

void explain_idle(FILE* out, const SessionRecord* r, int slot) {
    const RuleEntry* e = resolve_first_match(timeout_list, slot);
    if (e == nullptr) {
        row(out, "idle limit", "none", "no timeout rule matches");
        return;
    }
    if (r->idle_limit < 0) {
        row(out, "idle limit", "none", source_of(timeout_list, e) + " (negative: switched off)");
        return;
    }
    row(out, "idle limit", check_minutes(r->idle_limit), source_of(timeout_list, e));
    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0) {
        row(out, "", "judged by keyboard, mouse and console use");
    } else if (console_idle == -1) {
        row(out, "", "not checked while the user is on the console (conswins idle off)");
    } else if (console_idle != -2) {
        row(out, "",
            check_minutes(console_idle) + " while the user is on the console (conswins idle)");
    }
}

void explain_session(FILE* out, const SessionRecord* r, int slot) {
    const RuleEntry* e = resolve_first_match(session_list, slot);
    // A rule's limit of 0 or less is no limit of its own: the default holds.
    const std::string why = e == nullptr ? "no session rule matches"
                                         : source_of(session_list, e) + " gives none of its own";
    if (e != nullptr && r->session_limit > 0) {
        row(out, "session limit", check_minutes(r->session_limit), source_of(session_list, e));
    } else if (session_default > 0) {
        row(out, "session limit", check_minutes(minutes_to_seconds(session_default)),
            "session default " + std::to_string(session_default) + " (" + why + ")");
    } else {
        row(out, "session limit", "none", why + " and no session default");
        return;
    }
    row(out, "", threshold_note(session_threshold, "session"));
    if (console_session == -1)
        row(out, "", "not limited while the user is on the console (conswins session off)");
    else if (console_session != -2)
        row(out, "",
            check_minutes(console_session) +
                " while the user is on the console (conswins session)");
    if (refuse_time > 0)
        row(out, "",
            "a user limited for it is refused for " + check_minutes(refuse_time) +
                " (session refuse)");
}

void explain_refusal(FILE* out, const SessionRecord* r, int slot) {
    const RuleEntry* e = resolve_first_match(refuse_list, slot);
    if (e == nullptr) {
        row(out, "refused", "no");
        return;
    }
    row(out, "refused", (r->exempt & WARN_REFUSED) ? "no: exempt" : "yes",
        source_of(refuse_list, e));
}

void explain_group(FILE* out, const SessionRecord* r, int slot) {
    const RuleEntry* e = resolve_first_match(maxuser_list, slot);
    if (e == nullptr) {
        row(out, "group limit", "none", "no maxuser rule matches");
        return;
    }
    if (r->maxuser_gid == 0) {
        row(out, "group limit", "none", source_of(maxuser_list, e));
        row(out, "", "(this rule names no group, or group id 0: no limit)");
        return;
    }
    std::string group = e->kind == GROUP && e->name != nullptr ? e->name : "?";
    row(out, "group limit",
        std::to_string(r->maxuser_limit) + " logins of " + group + "(" +
            std::to_string(r->maxuser_gid) + ")",
        source_of(maxuser_list, e));
    if (r->exempt & WARN_MAXUSER)
        row(out, "", "not enforced: exempt");
    else
        row(out, "", "checked when this login stands last in the login database");
}

std::string stamp_of(int64_t t) {
    char buf[26];
    return std::string(log_stamp(static_cast<time_t>(t), buf), 24);
}

// The windows of the login's class, each with its rule, and what they mean
// from now on.
void explain_hours(FILE* out, const SessionRecord* r, int slot) {
    const RuleEntry* first = resolve_first_match(hours_list, slot);
    if (first == nullptr) {
        row(out, "hours", "any time", "no hours rule matches");
        return;
    }
    bool any = false;
    for (const RuleNode* n = hours_list->prev; n != hours_list; n = n->prev) {
        const RuleEntry* e = n->entry;
        if (e->kind != first->kind || (e->kind == GROUP && e->id != first->id) ||
            !rule_matches(e, slot))
            continue;
        char window[64];
        row(out, any ? "" : "hours", hours_format(e->value, window, sizeof window),
            source_of(hours_list, e));
        any = true;
    }
    if (r->exempt & WARN_HOURS) {
        row(out, "", "not enforced: exempt");
        return;
    }
    time_t now = platform->now();
    int64_t end = hours_next_end(r, now);
    if (end == 0)
        row(out, "", "outside its hours now: a login is refused");
    else if (end == HOURS_NO_END)
        row(out, "", "no end: its windows stay open all week");
    else
        row(out, "",
            "next end " + stamp_of(end) +
                (warn_time > 0 ? ", warned " + check_minutes(warn_time) + " before" : ""));
}

void explain_exemptions(FILE* out, int slot) {
    bool any = false;
    for (const RuleNode* n = exempt_list->next; n != exempt_list; n = n->next) {
        if (!rule_matches(n->entry, slot))
            continue;
        row(out, any ? "" : "exempt", exempt_kinds(resolve_exempt_bits(n->entry->value)),
            source_of(exempt_list, n->entry));
        any = true;
    }
    if (!any)
        row(out, "exempt", "none");
}

void explain_multiple(FILE* out, const SessionRecord* r) {
    if (multiple_threshold == 0) {
        row(out, "logins per user", "not limited", "no \"threshold multiple\"");
        return;
    }
    std::string allowed;
    if (multiples >= 0)
        allowed = std::to_string(multiples > 0 ? multiples : 1) + " (multiples " +
                  std::to_string(multiples) + ")";
    else
        allowed =
            "threshold " + std::to_string(multiple_threshold) + " / users present, at least 1";
    row(out, "logins per user", allowed, threshold_note(multiple_threshold, "multiple"));
    if (console_multiple == -1)
        row(out, "", "not limited while the user is on the console (conswins multiple off)");
    else if (console_multiple >= 1)
        row(out, "",
            std::to_string(console_multiple) +
                " while the user is on the console (conswins multiple)");
    if (r->exempt & WARN_MULTIPLE)
        row(out, "", "not enforced: exempt");
}

// Under "panes join": the login a pane counts with (found by the dry run's
// pass), or what becomes of a pane in this login.
void explain_panes(FILE* out, const SessionRecord* r) {
    if (pane_join == 0)
        return;
    if (r->pane_of != nullptr)
        row(out, "pane of", session_line(r->pane_of),
            "panes join: counted with that login for logins per user and group limits");
    else
        row(out, "panes", "its tmux panes join it", "panes join");
}

}  // namespace

int check_take_login(int slot, const char* user, const char* line, const char* host, int32_t gid) {
    if (session_table_reserve(slot + 1) != 0)
        return 1;
    SessionRecord* r = &SessionTable[slot];
    session_record_clear(r);
    copy_cut(r->user, sizeof r->user, user);
    if (std::strncmp(line, PATH_DEV, sizeof PATH_DEV - 1) == 0)
        line += sizeof PATH_DEV - 1;
    std::memcpy(r->tty_path, PATH_DEV, sizeof PATH_DEV - 1);
    copy_cut(r->tty_path + sizeof PATH_DEV - 1, sizeof r->tty_path - (sizeof PATH_DEV - 1), line);
    copy_cut(r->host, sizeof r->host, host == nullptr ? "" : host[0] != '\0' ? host : "localhost");
    r->login_time = platform->now();

    int unknown = 0;
    const struct passwd* pw = r->user[0] != '\0' ? platform->pw_by_name(r->user) : nullptr;
    if (pw != nullptr) {
        fill_session_groups(r, pw->pw_name, static_cast<int32_t>(pw->pw_gid));
    } else {
        unknown = 1;
        if (session_groups_room(r, gid >= 0 ? 1 : 0) != nullptr) {
            r->groups[0] = gid;
            if (gid >= 0)
                r->groups[1] = -1;
        }
    }
    resolve_policy(slot);
    return unknown;
}

void check_audit_note(FILE* out) {
    if (syslog_facility < 0)
        return;
    row(out, "audit trail", std::string("syslog ") + syslog_facility_name(syslog_facility),
        std::string(conf_path) + ":" + std::to_string(setting_lines.syslog));
}

void check_explain(FILE* out, int slot) {
    SessionRecord* r = &SessionTable[slot];
    resolve_groups(r);
    row(out, "groups", group_names(r->groups));
    explain_idle(out, r, slot);
    explain_session(out, r, slot);
    explain_refusal(out, r, slot);
    explain_group(out, r, slot);
    explain_exemptions(out, slot);
    explain_multiple(out, r);
    explain_panes(out, r);
    if (hours_configured())
        explain_hours(out, r, slot);
}
