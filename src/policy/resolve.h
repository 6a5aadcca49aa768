// Per-session policy: which rules apply to a login.
#ifndef QUELLD_POLICY_RESOLVE_H
#define QUELLD_POLICY_RESOLVE_H

#include <cstdint>

#include "config/rule_list.h"

// Fills groups (NGROUPS_KEPT entries) with primary_gid, unless negative, and
// then the id of every other group whose member list names user, in group
// database order; writes -1 after the last when the list is not full.
void fill_group_list(const char* user, int32_t* groups, int32_t primary_gid);

// Resets and recomputes the limits, refusal, exemptions and warnings of the
// SessionTable record at slot, from the five rule lists.  next_check becomes
// the current time.
void resolve_policy(int slot);

// 1 when rule applies to the session at slot, 0 otherwise.
int rule_matches(const RuleEntry* rule, int slot);

#endif  // QUELLD_POLICY_RESOLVE_H
