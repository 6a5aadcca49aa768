// An index of the six rule lists by what their rules name (terminal line,
// host, login name, group id), so that resolving a login's policy looks only
// at the rules that can apply to it instead of walking every list whole.  A
// site with a 100,000-name list file would otherwise pay a walk of 100,000
// rules per login and list at every configuration read.
//
// The lists stay the one home of the rules: the index only points into them.
// It is rebuilt after each configuration read, and again whenever the lists
// have changed since (rule_lists_version), so it never answers from rules
// that are gone.  Without memory for it, the lookups walk the lists.
#ifndef QUELLD_POLICY_RULE_INDEX_H
#define QUELLD_POLICY_RULE_INDEX_H

#include "config/rule_list.h"

// 1 when rule applies to the SessionTable record at slot, 0 otherwise.
int rule_matches(const RuleEntry* rule, int slot);

// Rebuilds the index of the six lists from their current rules.  Returns 0,
// or -1 when memory ran out (the lookups then walk the lists until a later
// rebuild succeeds).
int rule_index_rebuild();

// Frees the index; the next lookup rebuilds it.
void rule_index_free();

// The rule of list that decides for the SessionTable record at slot: of the
// rules that match it (rule_matches), the one a walk backwards from the
// list's header meets first.  nullptr when none matches.
const RuleEntry* rule_index_first_match(const RuleList* list, int slot);

// Calls fn(rule, arg) for the rules of list that match the record at slot,
// in no particular order.  A group rule is visited once for every time its
// group appears in the record's group list.
void rule_index_each_match(const RuleList* list, int slot, void (*fn)(const RuleEntry*, void*),
                           void* arg);

// 1 when any of the five lists holds a group rule, so that a login's group
// list can decide anything; 0 otherwise.  Found again whenever the lists
// change (rule_lists_version).
int rule_index_names_groups();

#endif  // QUELLD_POLICY_RULE_INDEX_H
