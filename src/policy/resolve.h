// Per-session policy: which rules apply to a login.
#ifndef QUELLD_POLICY_RESOLVE_H
#define QUELLD_POLICY_RESOLVE_H

#include <cstdint>

#include "base/session_table.h"
#include "config/rule_list.h"

// Fills groups (NGROUPS_KEPT entries) with primary_gid, unless negative, and
// then the id of every other group the name service gives user (local
// groups in group file order, directory groups included); writes -1 after
// the last when the list is not full.
void fill_group_list(const char* user, int32_t* groups, int32_t primary_gid);

struct SessionRecord;

// Fills r's group list as fill_group_list does, given room for just the ids
// user has (at most NGROUPS_KEPT); the list always ends in -1.  Without
// memory for a longer list, keeps the ids that fit in the room r has.
void fill_session_groups(SessionRecord* r, const char* user, int32_t primary_gid);

// Fills r's group list (fill_session_groups, for r->user and
// r->primary_gid) when it is still to be asked for (groups_pending).
void resolve_groups(SessionRecord* r);

// Resets and recomputes the limits, refusal, exemptions and warnings of the
// SessionTable record at slot, from the six rule lists.  next_check becomes
// the current time.  Asks for the login's groups first (resolve_groups) when
// a rule names a group: only then can they decide anything.
void resolve_policy(int slot);

// The rule of list that decides for the session at slot (the first match in
// precedence order: tty, host, login, group, default, and within a kind the
// first configured), or nullptr when none matches.  Owned by the list.
const RuleEntry* resolve_first_match(const RuleList* list, int slot);

// The warning kinds (bits of exempt) that an exempt rule's code exempts from;
// 0 for a code that is none of IDLE, MULTIPLE, SESSION, REFUSE, HOURS and
// ALL.
uint32_t resolve_exempt_bits(int32_t code);

// Where rule e was written.
RuleAt resolve_rule_at(const RuleEntry* e);

#endif  // QUELLD_POLICY_RESOLVE_H
