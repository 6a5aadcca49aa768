#include "policy/resolve.h"

#include <grp.h>

#include <cstring>

#include "config/settings.h"
#include "config/tokens.h"
#include "daemon/session_table.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/rule_index.h"

void fill_group_list(const char* user, int32_t* groups, int32_t primary_gid) {
    int n = 0;
    if (primary_gid >= 0)
        groups[n++] = primary_gid;

    platform->gr_rewind();
    while (n < NGROUPS_KEPT) {
        const struct group* g = platform->gr_next();
        if (g == nullptr)
            break;
        auto gid = static_cast<int32_t>(g->gr_gid);
        // A group id that is negative as a 32-bit value would end the list
        // for every reader and hide the groups after it; no rule can name it
        // anyway, since rules are matched only up to the first negative id.
        if (gid == primary_gid || gid < 0 || g->gr_mem == nullptr)
            continue;
        for (char** m = g->gr_mem; *m != nullptr; ++m) {
            if (std::strcmp(*m, user) == 0) {
                groups[n++] = gid;
                break;
            }
        }
    }
    if (n < NGROUPS_KEPT)
        groups[n] = -1;
    platform->gr_close();
}

int rule_matches(const RuleEntry* rule, int slot) {
    const SessionRecord* r = &SessionTable[slot];
    switch (rule->kind) {
        case TTY:
            return rule->name != nullptr && std::strcmp(rule->name, session_line(r)) == 0;
        case HOST:
            return rule->name != nullptr && std::strncmp(rule->name, r->host, NAME_MAX_HOST) == 0;
        case LOGIN:
            return rule->name != nullptr && std::strcmp(rule->name, r->user) == 0;
        case GROUP:
            // Only ids before the first negative entry are compared, so a
            // rule for an unknown group (id -1) matches nobody.
            for (int i = 0; i < NGROUPS_KEPT && r->groups[i] >= 0; ++i) {
                if (r->groups[i] == rule->id)
                    return 1;
            }
            return 0;
        case DEFAULT:
            return 1;
        default:
            return 0;
    }
}

// The rule of list that decides for the session at slot: the first match
// walking from the last entry, which meets tty rules first and, within a
// kind, the rules in the order they were configured.  nullptr when none.
// The index finds it without walking the rules that cannot match.
const RuleEntry* resolve_first_match(const RuleList* list, int slot) {
    return rule_index_first_match(list, slot);
}

uint32_t resolve_exempt_bits(int32_t code) {
    switch (code) {
        case IDLE:
            return WARN_IDLE;
        case MULTIPLE:
            return WARN_MULTIPLE;
        case SESSION:
            return WARN_SESSION;
        case REFUSE:
            return WARN_REFUSED;
        case ALL:
            return EXEMPT_ALL;
        default:
            return 0;
    }
}

// Adds the kinds the exempt rule e exempts from to the bit set at bits.
static void resolve_add_exemption(const RuleEntry* e, void* bits) {
    *static_cast<uint32_t*>(bits) |= resolve_exempt_bits(e->value);
}

void resolve_policy(int slot) {
    SessionRecord* r = &SessionTable[slot];
    r->idle_limit = -1;
    r->refused = 0;
    r->session_limit = 0;
    r->maxuser_gid = 0;
    r->maxuser_limit = 0;
    r->exempt = 0;
    r->warned = 0;
    r->next_check = platform->now();

    if (const RuleEntry* e = resolve_first_match(maxuser_list, slot)) {
        r->maxuser_gid = e->id;
        r->maxuser_limit = e->value;
    }
    if (const RuleEntry* e = resolve_first_match(timeout_list, slot)) {
        r->idle_limit = minutes_to_seconds(e->value);
    }
    if (resolve_first_match(refuse_list, slot) != nullptr)
        r->refused = 1;
    if (const RuleEntry* e = resolve_first_match(session_list, slot)) {
        r->session_limit = minutes_to_seconds(e->value);
    }

    // Exemptions have no precedence: every matching rule adds its kinds.
    rule_index_each_match(exempt_list, slot, resolve_add_exemption, &r->exempt);
}
