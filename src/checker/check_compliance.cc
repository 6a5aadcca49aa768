#include "checker/check_compliance.h"

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "base/session_table.h"
#include "checker/check_conf.h"
#include "checker/check_dryrun.h"
#include "checker/check_policy.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/resolve.h"
#include "policy/rule_index.h"

namespace {

// The verdict on one class or login: the longest idle time it can reach
// before its logout (seconds), or -1 when nothing ever logs it out, and why.
struct Reach {
    int64_t seconds;
    std::string shown;
    std::string rule;
};

std::string conf_line_origin(int32_t line) {
    return std::string(conf_path) + (line > 0 ? ":" + std::to_string(line) : "");
}

// What the warn command adds to a limit.
std::string with_grace(int64_t limit) {
    if (warn_time <= 0)
        return check_minutes(limit) + ", no grace";
    return check_minutes(limit) + " + " + check_minutes(warn_time) + " grace";
}

Reach limited(int64_t limit) {
    int64_t grace = warn_time > 0 ? warn_time : 0;
    return Reach{limit + grace, with_grace(limit), ""};
}

// The reach of the record at slot as resolve_policy left it; console_other
// when it is the console user's login elsewhere than on the console.
Reach slot_reach(int slot, bool console_other) {
    const SessionRecord* r = &SessionTable[slot];
    for (const RuleNode* n = exempt_list->prev; n != exempt_list; n = n->prev) {
        if ((resolve_exempt_bits(n->entry->value) & WARN_IDLE) != 0 && rule_matches(n->entry, slot))
            return Reach{
                -1, "exempt",
                check_rule_origin(n->entry) + ": " + check_rule_text(exempt_list, n->entry)};
    }
    if (console_other && console_idle != -2) {
        std::string rule = conf_line_origin(setting_lines.console_idle) + ": conswins idle ";
        if (console_idle == -1)
            return Reach{-1, "unlimited", rule + "off"};
        Reach reach = limited(console_idle);
        reach.rule = rule + std::to_string(console_idle / 60);
        return reach;
    }
    const RuleEntry* e = resolve_first_match(timeout_list, slot);
    if (e == nullptr)
        return Reach{-1, "unlimited", "no timeout rule matches"};
    if (r->idle_limit < 0)
        return Reach{-1, "unlimited",
                     check_rule_origin(e) + ": " + check_rule_text(timeout_list, e) +
                         " (negative: switched off)"};
    Reach reach = limited(r->idle_limit);
    reach.rule = check_rule_origin(e) + ": " + check_rule_text(timeout_list, e);
    return reach;
}

// Sets up slot 0 as a login that only the rules for one class name, as -u
// takes a login.  Slot 0 alone: a list file may name a class per line.
void class_login(const char* user, const char* line, const char* host, int32_t gid) {
    check_take_login(0, user, line, host[0] != '\0' ? host : nullptr, gid);
}

struct Tally {
    int classes = 0;
    int classes_over = 0;
    int logins = 0;
    int logins_over = 0;
};

void print_row(FILE* out, const std::string& what, const Reach& reach, int64_t bound, int* over) {
    bool exceeds = reach.seconds < 0 || reach.seconds > bound;
    *over += exceeds ? 1 : 0;
    std::fprintf(out, "%-5s %-36s %-32s %s\n", exceeds ? "over" : "ok", what.c_str(),
                 reach.shown.c_str(), reach.rule.c_str());
}

// The classes of the rules that bear on idleness: every timeout rule, and
// every exempt rule that exempts from the idle check.
void print_classes(FILE* out, int64_t bound, Tally* t) {
    std::set<std::pair<int32_t, std::string>> seen;
    auto each = [&](const RuleList* list, bool idle_exemptions) {
        for (const RuleNode* n = list->prev; n != list; n = n->prev) {
            const RuleEntry* e = n->entry;
            if (idle_exemptions && (resolve_exempt_bits(e->value) & WARN_IDLE) == 0)
                continue;
            std::string name = e->name != nullptr ? e->name : "";
            if (e->kind == GROUP)
                name += "(" + std::to_string(e->id) + ")";
            // The console has a line of its own below.
            bool console = e->kind == TTY && name == &PATH_CONSOLE[sizeof PATH_DEV - 1];
            if (e->kind == DEFAULT || console || (e->kind == GROUP && e->id < 0) ||
                !seen.insert({e->kind, name}).second)
                continue;
            const char* text = e->name != nullptr ? e->name : "";
            class_login(e->kind == LOGIN ? text : "", e->kind == TTY ? text : "",
                        e->kind == HOST ? text : "", e->kind == GROUP ? e->id : -1);
            ++t->classes;
            print_row(out, std::string(check_kind_word(e->kind)) + " " + text, slot_reach(0, false),
                      bound, &t->classes_over);
        }
    };
    each(timeout_list, false);
    each(exempt_list, true);

    class_login("", "", "", -1);
    ++t->classes;
    print_row(out, "default (no rule names the login)", slot_reach(0, false), bound,
              &t->classes_over);
    class_login("", "console", "", -1);
    ++t->classes;
    print_row(out, "tty console (keyboard and mouse)", slot_reach(0, false), bound,
              &t->classes_over);
    if (console_idle != -2) {
        class_login("", "", "", -1);
        ++t->classes;
        print_row(out, "the console user's other logins", slot_reach(0, true), bound,
                  &t->classes_over);
    }
}

void print_logins(FILE* out, int64_t bound, Tally* t) {
    check_judge(nullptr, nullptr);
    for (int slot = 0; slot < session_count; ++slot) {
        const SessionRecord* r = &SessionTable[slot];
        bool active = false;
        for (int i = 0; i < active_count; ++i) active = active || ActiveSessions[i] == r;
        if (!active)
            continue;
        bool on_console = std::strcmp(r->tty_path, PATH_CONSOLE) == 0;
        bool console_other = !on_console && std::strcmp(r->user, console_user) == 0;
        ++t->logins;
        print_row(out,
                  std::string("login ") + r->user + " on " + session_line(r) + " from " + r->host,
                  slot_reach(slot, console_other), bound, &t->logins_over);
    }
}

}  // namespace

int check_compliance(FILE* out, int32_t minutes) {
    int64_t bound = int64_t{minutes} * 60;
    std::fprintf(out, "Can any login stay idle longer than %s under %s?\n",
                 check_minutes(bound).c_str(), conf_path);
    Tally t;
    // The classes are judged one by one in slot 0.
    if (session_table_reserve(1) != 0) {
        std::fprintf(stderr, "quelld-check: out of memory\n");
        return 2;
    }
    print_classes(out, bound, &t);
    print_logins(out, bound, &t);
    std::fprintf(out,
                 "%s: %d of %d classes and %d of %d current logins can stay idle longer than %s.\n",
                 t.classes_over + t.logins_over > 0 ? "Yes" : "No", t.classes_over, t.classes,
                 t.logins_over, t.logins, check_minutes(bound).c_str());
    return t.classes_over + t.logins_over > 0 ? 1 : 0;
}
