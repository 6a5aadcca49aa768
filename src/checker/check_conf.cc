#include "checker/check_conf.h"

#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/event_log.h"
#include "config/conf_read.h"
#include "config/hours_window.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "os/platform.h"
#include "pathnames.h"

FILE* check_problems = stderr;

namespace {

// True while a configuration is being read: log lines are then problems of
// the file and get its name and line.
bool check_in_conf;

// The longest line name a login record can hold; a tty rule naming a longer
// one cannot match.
constexpr size_t LINE_MAX_UTMP = sizeof(((struct utmpx*)nullptr)->ut_line);

// Formats a log line whatever its length.
std::string check_format(const char* format, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The text with control characters and bytes from 0x80 up written as C
// escapes: a message about an illegal carriage return must not move the
// administrator's cursor.
std::string visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

void check_log_hook(const char* format, va_list ap) {
    std::string text = check_format(format, ap);
    // The scanner's fatal messages are already on standard error.
    if (starts_with(text, "quelld: "))
        return;
    if (!check_in_conf) {
        std::fprintf(check_problems, "quelld-check: %s\n", visible(text).c_str());
        return;
    }
    // conf_error's lines carry the daemon's "PATH: line N: " with the line
    // counter, which has moved past the line of a malformed command; the
    // report is placed on the line the problem is on instead.
    char number[16];
    std::snprintf(number, sizeof number, "%d", conf_line);
    std::string prefix = std::string(conf_path) + ": line " + number + ": ";
    if (starts_with(text, prefix))
        text.erase(0, prefix.size());
    std::fprintf(check_problems, "%s:%d: %s\n", conf_path, conf_token_line, visible(text).c_str());
}

// A warning about a rule or a setting, kept until all are known so that
// they come out in file order.
struct Warning {
    int32_t origin;  // as RuleEntry::origin; -1 for the settings
    int32_t line;
    std::string text;
};

std::vector<Warning> warnings;

void rule_warning(const RuleEntry* e, const std::string& text) {
    warnings.push_back({e->origin, e->line, text});
}

// The two rules match the same logins: same kind and the same name (a host
// on its first NAME_MAX_HOST characters, a group by its id).
bool same_target(const RuleEntry* a, const RuleEntry* b) {
    if (a->kind != b->kind)
        return false;
    switch (a->kind) {
        case DEFAULT:
            return true;
        case GROUP:
            return a->id == b->id && a->id != UNKNOWN_GROUP_ID;
        case HOST:
            return std::strncmp(a->name, b->name, NAME_MAX_HOST) == 0;
        default:
            return std::strcmp(a->name, b->name) == 0;
    }
}

std::string quoted(const char* name) {
    return std::string("'") + (name != nullptr ? name : "") + "'";
}

// Warnings about one rule that hold whatever list it is in.
void check_rule_target(const RuleEntry* e) {
    const char* name = e->name != nullptr ? e->name : "";
    size_t len = std::strlen(name);
    switch (e->kind) {
        case TTY:
            if (std::strncmp(name, PATH_DEV, sizeof PATH_DEV - 1) == 0) {
                rule_warning(e, "tty rule " + quoted(name) +
                                    " never matches: tty rules name the line without \"/dev/\"");
            } else if (len > LINE_MAX_UTMP) {
                rule_warning(e, "tty rule " + quoted(name) +
                                    " never matches: line names have at most " +
                                    std::to_string(LINE_MAX_UTMP) + " characters");
            }
            break;
        case HOST:
            if (len > NAME_MAX_HOST) {
                rule_warning(e, "host rule " + quoted(name) + " is compared on its first " +
                                    std::to_string(NAME_MAX_HOST) +
                                    " characters: it matches every host beginning with " +
                                    quoted(std::string(name, NAME_MAX_HOST).c_str()));
            }
            break;
        case LOGIN:
            if (len > NAME_MAX_USER) {
                rule_warning(e, "login rule " + quoted(name) +
                                    " never matches: login names are kept to " +
                                    std::to_string(NAME_MAX_USER) + " characters");
            } else if (e->origin != 0 && platform->pw_by_name(name) == nullptr) {
                // The daemon looks up the logins of the configuration file
                // itself (and says so), never those of list files.
                rule_warning(e, "unknown login name " + quoted(name));
            }
            break;
        default:
            break;
    }
}

// Rules of a first-match list that never decide: another rule for the same
// logins comes first in precedence and gives another value.
void check_shadowed(const RuleList* list, const char* what) {
    for (const RuleNode* n = list->prev; n != list; n = n->prev) {
        for (const RuleNode* m = list->prev; m != n; m = m->prev) {
            if (!same_target(m->entry, n->entry))
                continue;
            if (m->entry->value != n->entry->value) {
                rule_warning(n->entry,
                             std::string(what) +
                                 " rule never decides: " + check_rule_origin(m->entry) +
                                 " comes first for " + check_kind_word(n->entry->kind) +
                                 (n->entry->kind == DEFAULT ? "" : " ") +
                                 (n->entry->kind == DEFAULT ? "" : quoted(n->entry->name)));
            }
            break;
        }
    }
}

// Limits that switch a check off for the logins they name: easy to write by
// mistake (a sign slipped in), and the daemon says nothing of it.
void check_off_limits() {
    for (const RuleNode* n = timeout_list->next; n != timeout_list; n = n->next)
        if (n->entry->value < 0)
            rule_warning(n->entry, quoted(check_rule_text(timeout_list, n->entry).c_str()) +
                                       " switches the idle check off for the logins it names: "
                                       "a negative limit is none");
    if (session_default > 0)
        return;
    for (const RuleNode* n = session_list->next; n != session_list; n = n->next)
        if (n->entry->value <= 0)
            rule_warning(n->entry, quoted(check_rule_text(session_list, n->entry).c_str()) +
                                       " leaves the logins it names unlimited: 0 or less means "
                                       "the session default, and there is none");
}

void check_maxuser_rules() {
    for (const RuleNode* n = maxuser_list->next; n != maxuser_list; n = n->next) {
        const RuleEntry* e = n->entry;
        if (e->kind != GROUP) {
            rule_warning(e, std::string("maxuser ") + check_kind_word(e->kind) + " rule " +
                                quoted(e->name) +
                                " sets no limit: only a group rule names the group to count, and "
                                "this one keeps later group rules from the logins it matches");
        } else if (e->id == 0) {
            rule_warning(e, "maxuser rule for group " + quoted(e->name) +
                                " is never enforced: group id 0 means no limit");
        }
    }
}

// Hours windows that never open, and classes (the rules for the same
// logins) whose windows never do: every login of theirs is refused.
void check_hours_rules() {
    char window[64];
    std::vector<const RuleEntry*> seen;
    for (const RuleNode* n = hours_list->prev; n != hours_list; n = n->prev) {
        const RuleEntry* e = n->entry;
        if (hours_start(e->value) == hours_end(e->value))
            rule_warning(e, std::string("hours window ") +
                                hours_format(e->value, window, sizeof window) +
                                " never matches: it closes when it opens");
        bool known = false;
        for (const RuleEntry* s : seen) known = known || same_target(s, e);
        if (known || (e->kind == GROUP && e->id == UNKNOWN_GROUP_ID))
            continue;
        seen.push_back(e);
        int windows = 0, open = 0;
        for (const RuleNode* m = n; m != hours_list; m = m->prev) {
            if (!same_target(m->entry, e))
                continue;
            ++windows;
            open += hours_start(m->entry->value) != hours_end(m->entry->value);
        }
        std::string whom = std::string(check_kind_word(e->kind)) +
                           (e->kind == DEFAULT ? "" : " " + quoted(e->name));
        if (open == 0)
            rule_warning(e, "hours for " + whom +
                                " shut it out all week: none of its windows ever opens, so "
                                "every login is refused");
        if (windows > HOURS_KEPT)
            rule_warning(e, "hours for " + whom + " give " + std::to_string(windows) +
                                " windows: a login keeps only " + std::to_string(HOURS_KEPT));
    }
}

void settings_warning(const std::string& text) {
    warnings.push_back({-1, 0, text});
}

bool list_empty(const RuleList* list) {
    return list->next == list;
}

void check_settings() {
    bool session_limits = !list_empty(session_list) || session_default > 0 || console_session >= 0;
    if (session_limits && session_threshold == 0)
        settings_warning(
            "session limits are never enforced: no \"threshold session\" (add \"threshold session "
            "1\" to enforce them always)");
    if (multiples >= 0 && multiple_threshold == 0)
        settings_warning(
            "multiple logins are never limited: no \"threshold multiple\" (add \"threshold "
            "multiple 1\" to limit them always)");
    if (warn_time <= 0 && (!list_empty(timeout_list) || session_limits))
        settings_warning(
            "no grace: \"warn\" is 0, so idle and over-long sessions are logged out at once, "
            "without a warning");
    if (sleep_interval <= 0)
        settings_warning("no \"sleep\": quelld checks the logins every second");
}

}  // namespace

void check_capture_log() {
    log_hook = check_log_hook;
}

int check_read_config() {
    time_t atime, mtime;
    if (platform->file_times(conf_path, &atime, &mtime) != 0) {
        std::fprintf(check_problems, "%s: Cannot stat conf file: %s\n", conf_path,
                     std::strerror(errno));
        return 2;
    }
    if (mtime <= 1) {
        std::fprintf(check_problems,
                     "%s: warning: modified at the epoch's first second or earlier: quelld never "
                     "reads it and runs without rules until its time moves forward\n",
                     conf_path);
    }
    // The first-read verdict is taken from conf_errors_at_end below; no
    // handler at the end of the input, so errors never end this process.
    conf_line = 1;
    int32_t errors_before = conf_errors;
    conf_errors_at_end = conf_errors;

    check_in_conf = true;
    ConfReadResult read = conf_read_file(conf_path, nullptr);
    check_in_conf = false;
    if (read != CONF_READ) {
        std::fprintf(check_problems, "%s: Cannot open configuration file: %s\n", conf_path,
                     read == CONF_NOT_REGULAR ? "not a regular file" : std::strerror(errno));
        return 2;
    }
    int32_t fatal = conf_errors_at_end - errors_before;
    if (fatal > 0) {
        std::fprintf(check_problems,
                     "%s: %d error%s: quelld would end at its first read (\"Aborting due to conf "
                     "file syntax errors.\")\n",
                     conf_path, fatal, fatal == 1 ? "" : "s");
        return 1;
    }
    return 0;
}

int check_rules() {
    warnings.clear();
    const RuleList* lists[] = {exempt_list,  refuse_list,  timeout_list,
                               session_list, maxuser_list, hours_list};
    for (const RuleList* list : lists)
        for (const RuleNode* n = list->next; n != list; n = n->next) check_rule_target(n->entry);
    check_shadowed(timeout_list, "timeout");
    check_shadowed(session_list, "session");
    check_shadowed(maxuser_list, "maxuser");
    check_maxuser_rules();
    check_hours_rules();
    check_off_limits();
    check_settings();

    // File order: the configuration file, then each list file, by line; the
    // settings last.
    std::stable_sort(warnings.begin(), warnings.end(), [](const Warning& a, const Warning& b) {
        auto rank = [](int32_t origin) { return origin < 0 ? INT32_MAX : origin; };
        if (rank(a.origin) != rank(b.origin))
            return rank(a.origin) < rank(b.origin);
        return a.line < b.line;
    });
    for (const Warning& w : warnings) {
        if (w.origin < 0) {
            std::fprintf(check_problems, "%s: warning: %s\n", conf_path, w.text.c_str());
            continue;
        }
        RuleEntry where{0, nullptr, 0, 0, w.line, w.origin};
        std::fprintf(check_problems, "%s: warning: %s\n", check_rule_origin(&where).c_str(),
                     w.text.c_str());
    }
    return static_cast<int>(warnings.size());
}

namespace {

struct TokenWord {
    int32_t token;
    const char* word;
};

// A configuration token's word, "?" for one not in words.
template <size_t N>
const char* word_of(const TokenWord (&words)[N], int32_t token) {
    for (const TokenWord& w : words)
        if (w.token == token)
            return w.word;
    return "?";
}

constexpr TokenWord kind_words[] = {
    {TTY, "tty"}, {HOST, "host"}, {LOGIN, "login"}, {GROUP, "group"}, {DEFAULT, "default"}};

constexpr TokenWord exempt_words[] = {{ALL, "all"},           {IDLE, "idle"},
                                      {MULTIPLE, "multiple"}, {SESSION, "session"},
                                      {REFUSE, "refuse"},     {HOURS, "hours"}};

}  // namespace

const char* check_kind_word(int32_t kind) {
    return word_of(kind_words, kind);
}

std::string check_rule_origin(const RuleEntry* e) {
    const char* file = e->origin != 0 ? rule_origin_name(e->origin) : conf_path;
    std::string s = file != nullptr ? file : "?";
    if (e->line > 0)
        s += ":" + std::to_string(e->line);
    return s;
}

namespace {

const char* exempt_word(int32_t code) {
    return word_of(exempt_words, code);
}

}  // namespace

std::string check_rule_text(const RuleList* list, const RuleEntry* e) {
    std::string value;
    std::string command;
    if (list == exempt_list) {
        command = "exempt";
        value = exempt_word(e->value);
    } else if (list == refuse_list) {
        command = "refuse";
    } else if (list == hours_list) {
        char window[64];
        value = hours_format(e->value, window, sizeof window);
        if (e->origin == 0) {
            std::string s = "hours " + value + " " + check_kind_word(e->kind);
            return e->kind == DEFAULT ? s : s + " " + (e->name != nullptr ? e->name : "");
        }
    } else {
        command = list == timeout_list ? "timeout" : list == session_list ? "session" : "maxuser";
        value = std::to_string(e->value);
    }
    const char* name = e->name != nullptr ? e->name : "";
    if (e->origin != 0)
        return std::string(name) + " (list file" + (value.empty() ? "" : ", " + value) + ")";
    std::string s = command + " " + check_kind_word(e->kind);
    if (e->kind != DEFAULT)
        s += std::string(" ") + name;
    if (!value.empty())
        s += " " + value;
    return s;
}
