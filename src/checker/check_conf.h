// quelld-check's reading of a configuration: the daemon's own scanner,
// parser, list files and lookups, with every line the daemon would write to
// its event log shown on a stream instead, and warnings about rules that can
// never take effect.
#ifndef QUELLD_CHECKER_CHECK_CONF_H
#define QUELLD_CHECKER_CHECK_CONF_H

#include <cstdio>
#include <string>

#include "config/rule_list.h"

// Where problems are written: standard error unless a test points it
// elsewhere.  Not owned.
extern FILE* check_problems;

// From now on, every line the daemon's code would append to the event log
// goes to check_problems instead, and the log is never opened.  Lines written
// while a configuration is read become "FILE:LINE: message", with the line
// the problem is on; other lines are prefixed "quelld-check: ".
void check_capture_log();

// Reads the configuration at conf_path as the daemon's first read does: the
// rule lists emptied, the settings put back, then the same scanner, parser,
// list files and database lookups.  Unlike the daemon it never exits.
// Returns 0 when the daemon would start with the file, 1 when it would end
// at its first read because of errors before the end of the file, 2 when the
// file cannot be examined or opened (the daemon ends then too).
int check_read_config();

// Writes a warning to check_problems for every rule that can never match or
// never decides, and for settings that keep rules from taking effect.  Call
// after check_read_config.  Returns the number of warnings.
int check_rules();

// "tty", "host", "login", "group" or "default" for a rule kind.
const char* check_kind_word(int32_t kind);

// Where a rule was written: "FILE:LINE", FILE being conf_path or the list
// file, or just FILE when the line is unknown.
std::string check_rule_origin(const RuleEntry* e);

// The rule as its configuration line writes it ("timeout login alice 60");
// for a rule read from a list file, the name and what the file command gave
// it ("alice (list file, 60)").
std::string check_rule_text(const RuleList* list, const RuleEntry* e);

#endif  // QUELLD_CHECKER_CHECK_CONF_H
