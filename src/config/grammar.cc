// A recursive-descent parser for a language whose every command is one
// line: a switch on the line's first token picks the command's function,
// which takes the rest of the line through the shared helpers below.  The
// grammar nests no deeper than one command, so the parser keeps no stack and
// a stack overflow cannot occur.
#include "config/grammar.h"

#include <cstdlib>

#include "base/event_log.h"
#include "config/facility.h"
#include "config/hours_window.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "os/platform.h"

namespace {

constexpr int NO_TOKEN = -1;

// After a syntax error, this many tokens must be accepted before the next
// syntax error is reported: a line that fails right after a skipped one
// mostly repeats the same complaint.  The command's own message still comes.
constexpr int QUIET_TOKENS = 3;

// The whole state of a parse.  A token is read only when a decision needs
// it, so a command is carried out, and its reports carry their line number,
// before the next line is scanned.
struct Parser {
    int token;   // the token in hand, or NO_TOKEN when the next is unread
    int quiet;   // tokens still to accept before syntax errors are reported
    char* name;  // the line's NAME text until a rule or a list file takes it
};

Parser p;

int peek() {
    if (p.token == NO_TOKEN)
        p.token = next_token();
    return p.token;
}

// Takes the token in hand into the line; the one step that moves the parse
// forward and counts towards the end of a quiet recovery.
void accept() {
    p.token = NO_TOKEN;
    if (p.quiet > 0)
        --p.quiet;
}

bool accept_if(int token) {
    if (peek() != token)
        return false;
    accept();
    return true;
}

char* take_name() {
    char* n = p.name;
    p.name = nullptr;
    return n;
}

// The token in hand cannot continue the line: reports it unless quiet, then
// skips through the line's NEWLINE (skipped tokens do not count).  Returns
// 0, or -1 when the input ends first.
int recover() {
    std::free(take_name());
    if (p.quiet == 0)
        conf_error("syntax error");
    p.quiet = QUIET_TOKENS;
    int t;
    while ((t = peek()) != NEWLINE) {
        if (t == END_OF_INPUT)
            return -1;
        p.token = NO_TOKEN;
    }
    accept();
    return 0;
}

// A command's line is malformed: recovers, then reports the command's own
// message with the number of the line after the malformed one.
int malformed(const char* message) {
    if (recover() < 0)
        return -1;
    conf_error("%s", message);
    return 0;
}

bool end_of_line() {
    return accept_if(NEWLINE);
}

bool number(int32_t* n) {
    if (peek() != NUMBER)
        return false;
    *n = token_number;
    accept();
    return true;
}

// who: TTY, HOST, LOGIN or GROUP, then a name, which goes to p.name: any
// word, a keyword too (a group may be called "syslog" or "all").  The
// lookups are made as soon as the name is read, whatever follows it.
bool who(int32_t* kind, int32_t* id) {
    int k = peek();
    if (k != TTY && k != HOST && k != LOGIN && k != GROUP)
        return false;
    accept();
    if (!token_is_word(peek()))
        return false;
    p.name = take_token_text();
    accept();
    *kind = k;
    *id = 0;
    if (k == GROUP) {
        *id = rule_group_id(p.name);
    } else if (k == LOGIN && platform->pw_by_name(p.name) == nullptr) {
        log_line("Warning parsing conf file:  unknown login name '%s'.", p.name);
    }
    return true;
}

// FILE then the list file's path, which goes to p.name.
bool file_path() {
    if (!accept_if(FILE_))
        return false;
    if (!token_is_word(peek()))
        return false;
    p.name = take_token_text();
    accept();
    return true;
}

bool exempt_kind(int32_t* code) {
    int t = peek();
    if (t != ALL && t != IDLE && t != MULTIPLE && t != REFUSE && t != SESSION && t != HOURS)
        return false;
    *code = t;
    accept();
    return true;
}

// Adds a rule written on the configuration line just ended, marked with
// that line for quelld-check.
void add_conf_rule(RuleList* list, int32_t kind, char* name, int32_t id, int32_t value) {
    if (RuleEntry* e = add_rule(list, kind, name, id, value))
        e->line = conf_token_line;
}

void read_named_list(int command, int32_t value) {
    char* path = take_name();
    read_list_file(command, path, value);
    std::free(path);
}

// What follows the whom of a rule command: nothing (the value is fixed by
// what came before), a number, or an exemption's kind.
enum RuleValue { VALUE_FIXED, VALUE_NUMBER, VALUE_EXEMPTION };

bool rule_value(RuleValue what, int32_t* value) {
    switch (what) {
        case VALUE_FIXED:
            return true;
        case VALUE_NUMBER:
            return number(value);
        case VALUE_EXEMPTION:
            return exempt_kind(value);
    }
    return false;
}

// The rule part of a rule command, after its keyword (and an hours
// command's window): "file PATH", "default" where the command allows it, or
// a whom; then the rule's value; then the end of the line.  A list file is
// read at once, with the command's line.
int parse_rule(int command, RuleList* list, const char* bad, RuleValue what, int32_t value,
               bool default_ok) {
    int32_t kind = DEFAULT, id = 0;
    bool from_file = false;
    if (peek() == FILE_) {
        from_file = file_path();
        if (!from_file)
            return malformed(bad);
    } else if (default_ok && peek() == DEFAULT) {
        accept();
    } else if (!who(&kind, &id)) {
        return malformed(bad);
    }
    if (!rule_value(what, &value) || !end_of_line())
        return malformed(bad);
    if (from_file)
        read_named_list(command, value);
    else
        add_conf_rule(list, kind, take_name(), id, value);
    return 0;
}

// Each parse_<command> is entered with its keyword in hand, returns 0 when
// the line has been dealt with and -1 when the input ended inside it.

int parse_threshold() {
    constexpr const char* bad = "Malformed threshold command.";
    accept();
    int which = peek();
    if (which != MULTIPLE && which != SESSION)
        return malformed(bad);
    accept();
    int32_t n;
    if (!number(&n) || !end_of_line())
        return malformed(bad);
    (which == MULTIPLE ? multiple_threshold : session_threshold) = n;
    return 0;
}

int parse_exempt() {
    accept();
    return parse_rule(EXEMPT, exempt_list, "Malformed exempt command.", VALUE_EXEMPTION, 0, false);
}

int parse_refuse() {
    accept();
    return parse_rule(REFUSE, refuse_list, "Malformed refuse command.", VALUE_FIXED, 0, false);
}

int parse_session() {
    constexpr const char* bad = "Malformed session command.";
    accept();
    int32_t n;
    switch (peek()) {
        case DEFAULT:
            accept();
            if (!number(&n) || !end_of_line())
                return malformed(bad);
            session_default = n;  // the one setting kept in minutes
            setting_lines.session_default = conf_token_line;
            return 0;
        case REFUSE:
            accept();
            if (!number(&n) || !end_of_line())
                return malformed(bad);
            refuse_time = minutes_to_seconds(n);
            setting_lines.refuse_time = conf_token_line;
            return 0;
        default:
            return parse_rule(SESSION, session_list, bad, VALUE_NUMBER, 0, false);
    }
}

int parse_timeout() {
    accept();
    return parse_rule(TIMEOUT, timeout_list, "Malformed timeout command.", VALUE_NUMBER, 0, true);
}

// sleep, warn and multiples: the keyword, a number, the end of the line.
// line, when given, takes the command's line.
int parse_number_setting(int32_t* setting, const char* bad, int32_t* line = nullptr) {
    accept();
    int32_t n;
    if (!number(&n) || !end_of_line())
        return malformed(bad);
    *setting = n;
    if (line != nullptr)
        *line = conf_token_line;
    return 0;
}

// A command that names one of two words, then the end of the line: the
// setting takes 0 for the first word, 1 for the second.
int parse_choice(const char* bad, int first, int second, int32_t* setting) {
    accept();
    int word = peek();
    if (word != first && word != second)
        return malformed(bad);
    accept();
    if (!end_of_line())
        return malformed(bad);
    *setting = word == first ? 0 : 1;
    return 0;
}

int parse_conswins() {
    constexpr const char* bad = "Malformed cons(ole) win(dow)s command.";
    accept();
    int which = peek();
    if (which != IDLE && which != SESSION && which != MULTIPLE)
        return malformed(bad);
    accept();
    int32_t value;
    switch (peek()) {
        case NUMBER:
            // A count of logins is taken as written; the limits are minutes.
            value = which == MULTIPLE ? token_number : minutes_to_seconds(token_number);
            break;
        case NORMAL:
            value = -2;
            break;
        case OFF:
            value = -1;
            break;
        default:
            return malformed(bad);
    }
    accept();
    if (!end_of_line())
        return malformed(bad);
    if (which == IDLE)
        console_idle = value;
    else if (which == SESSION)
        console_session = value;
    else
        console_multiple = value;
    (which == IDLE      ? setting_lines.console_idle
     : which == SESSION ? setting_lines.console_session
                        : setting_lines.console_multiple) = conf_token_line;
    return 0;
}

int parse_maxuser() {
    accept();
    return parse_rule(MAXUSER, maxuser_list, "Malformed maxuser command.", VALUE_NUMBER, 0, false);
}

// syslog FACILITY, or syslog off: the audit trail's facility.  The
// facility "syslog" is also the command's keyword, and is taken as a word.
int parse_syslog() {
    constexpr const char* bad = "Malformed syslog command.";
    accept();
    int32_t facility;
    int t = peek();
    if (t == OFF) {
        facility = -1;
    } else if (token_is_word(t)) {
        p.name = take_token_text();
        facility = syslog_facility_code(p.name);
    } else {
        return malformed(bad);
    }
    accept();
    if (!end_of_line())
        return malformed(bad);
    char* name = take_name();
    if (facility == SYSLOG_UNKNOWN_FACILITY) {
        conf_error("Unknown syslog facility '%s'.", name);
        std::free(name);
        return 0;
    }
    std::free(name);
    syslog_facility = facility;
    setting_lines.syslog = conf_token_line;
    return 0;
}

// hours [DAYS] START-END then whom: who, default, or file and a path.  The
// day list may be a lone day, which scans as a name.
int parse_hours() {
    constexpr const char* bad = "Malformed hours command.";
    accept();
    int days = HOURS_EVERY_DAY;
    if (peek() == DAYS || peek() == NAME) {
        char* text = take_token_text();
        int ok = text != nullptr ? hours_parse_days(text, &days) : -1;
        std::free(text);
        if (ok != 0)
            return malformed(bad);
        accept();
    }
    int start, end;
    if (peek() != TIMESPAN)
        return malformed(bad);
    char* span = take_token_text();
    int ok = span != nullptr ? hours_parse_span(span, &start, &end) : -1;
    std::free(span);
    if (ok != 0)
        return malformed(bad);
    accept();
    return parse_rule(HOURS, hours_list, bad, VALUE_FIXED, hours_window(days, start, end), true);
}

}  // namespace

int parse_conf() {
    p = Parser{NO_TOKEN, 0, nullptr};
    for (;;) {
        int r;
        switch (peek()) {
            case END_OF_INPUT:
                return 0;
            case NEWLINE:
                accept();
                continue;
            case THRESHOLD:
                r = parse_threshold();
                break;
            case EXEMPT:
                r = parse_exempt();
                break;
            case REFUSE:
                r = parse_refuse();
                break;
            case SESSION:
                r = parse_session();
                break;
            case TIMEOUT:
                r = parse_timeout();
                break;
            case SLEEP:
                r = parse_number_setting(&sleep_interval, "Malformed sleep command.");
                break;
            case WARN:
                r = parse_number_setting(&warn_time, "Malformed warn command.",
                                         &setting_lines.warn);
                break;
            case IDLEMETHOD:
                r = parse_choice("Malformed idlemethod command.", USERINPUT, INPUTOUTPUT,
                                 &idle_method);
                break;
            case CONSWINS:
                r = parse_conswins();
                break;
            case MULTIPLES:
                r = parse_number_setting(&multiples, "Malformed multiples command.",
                                         &setting_lines.multiples);
                break;
            case MAXUSER:
                r = parse_maxuser();
                break;
            case PANES:
                // panes join: a multiplexer's pane within its user's login
                // counts with that login; panes normal: as a login of its own.
                r = parse_choice("Malformed panes command.", NORMAL, JOIN, &pane_join);
                break;
            case SYSLOG:
                r = parse_syslog();
                break;
            case HOURS:
                r = parse_hours();
                break;
            default:
                // No command starts with this token: the line is skipped
                // with no message of its own.
                r = recover();
                break;
        }
        if (r < 0)
            return 1;
    }
}
