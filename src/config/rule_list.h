// The six rule lists.  A RuleList is a circular doubly linked list with a
// header node that holds no entry.  Read forward from the header, entries are
// ordered by kind, highest token number first (default, group, login, host,
// tty), and within one kind the most recently added first; so a walk
// backwards from the header meets tty rules first and, within a kind, rules
// in the order they were configured.
#ifndef QUELLD_CONFIG_RULE_LIST_H
#define QUELLD_CONFIG_RULE_LIST_H

#include <cstdint>

struct RuleEntry {
    int32_t kind;   // TTY, HOST, LOGIN, GROUP or DEFAULT (token numbers)
    char* name;     // owned; nullptr for a default rule
    int32_t id;     // group id of a group rule; 0 otherwise
    int32_t value;  // exemption code, minutes, a count or an hours window, by list
    // Where the rule was written, for quelld-check; the daemon never reads
    // them.  They take an entry from 24 to 32 bytes.
    int32_t line = 0;    // line of the configuration or list file; 0 unknown
    int32_t origin = 0;  // 0: the configuration file; else rule_origin_name(origin)
};

struct RuleNode {
    RuleNode* next;
    RuleNode* prev;
    RuleEntry* entry;  // nullptr in the header
};

using RuleList = RuleNode;  // a list is its header node

extern RuleList* exempt_list;
extern RuleList* refuse_list;
extern RuleList* timeout_list;
extern RuleList* session_list;
extern RuleList* maxuser_list;
extern RuleList* hours_list;  // value: a window (config/hours_window.h)

// Moves on whenever a rule is added or a list emptied, so that what is
// derived from the lists (the rule index) can tell that it is out of date.
extern uint64_t rule_lists_version;

// Creates the six lists empty, in the order exempt, refuse, timeout,
// session, maxuser, hours.  Called once at start-up.
void rule_lists_init();

// Links element into its list directly after predecessor.
void insque(RuleNode* element, RuleNode* predecessor);

// Adds a rule to list in its place by the order above.  The entry takes over
// name (nullptr for a default rule), which must come from malloc or strdup.
// Returns the new entry, its line and origin 0 for the caller to fill in, or
// nullptr when no memory could be had (the rule and name are then lost).
RuleEntry* add_rule(RuleList* list, int32_t kind, char* name, int32_t id, int32_t value);

// Removes and frees every node of list, with its entry and name.
void clear_rules(RuleList* list);

// The id stored in a group rule whose group the group database does not
// hold.  Group lists end at their first negative entry, so this id matches
// no session; 0 would be taken for a real group (wheel), and for a maxuser
// rule 0 means "no limit".
constexpr int32_t UNKNOWN_GROUP_ID = -1;

// The id of the group called name, for a group rule.  An unknown name gives
// UNKNOWN_GROUP_ID and writes "Error parsing conf file:  unknown group name"
// to the event log (not counted as a configuration error).
int32_t rule_group_id(const char* name);

// The origin number of the list file at path: the same number for the same
// path for the life of the process (a re-read names the same files again), 0
// when no memory could be had.
int32_t rule_origin_intern(const char* path);

// The path of list file origin (from rule_origin_intern), or nullptr for 0
// and unknown numbers.  Owned by the rule lists; lives for the process.
const char* rule_origin_name(int32_t origin);

// Reads the list file at path into the list belonging to command (EXEMPT,
// TIMEOUT, SESSION, REFUSE, MAXUSER or HOURS), one rule per name with the given
// value: login rules, or group rules (looked up by rule_group_id) for
// MAXUSER, each with the path's origin and its line in the file.  Each line gives at most its first
// NAME_MAX_USER characters, up to the first space.  A file that cannot be opened is reported
// through conf_error and adds nothing.
void read_list_file(int command, const char* path, int32_t value);

#endif  // QUELLD_CONFIG_RULE_LIST_H
