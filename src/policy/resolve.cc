#include "policy/resolve.h"

#include <grp.h>

#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "base/log_escape.h"
#include "base/session_table.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/rule_index.h"

namespace {

// The name service's answer for one user.  Kept from login to login and
// grown to the longest answer seen, so that taking a login normally costs no
// allocation; it never shrinks, and is at most GROUP_LIST_MAX ids.
gid_t* group_buf = nullptr;
int group_cap = 0;

// Makes room for want ids; false (the room unchanged) without memory.
bool group_buf_grow(int want) {
    if (want > GROUP_LIST_MAX)
        want = GROUP_LIST_MAX;
    if (want <= group_cap)
        return false;
    auto* grown = static_cast<gid_t*>(std::realloc(group_buf, sizeof(gid_t) * want));
    if (grown == nullptr)
        return false;
    group_buf = grown;
    group_cap = want;
    return true;
}

// Asks the name service for user's groups, growing the buffer while it says
// there are more.  Returns how many ids group_buf holds; when the buffer
// cannot grow, the ones that fitted.
int group_buf_fill(const char* user, gid_t primary) {
    if (group_cap == 0 && !group_buf_grow(GROUP_LIST_FIRST))
        return 0;
    for (;;) {
        int count = group_cap;
        if (platform->group_list(user, primary, group_buf, &count) >= 0)
            return count < group_cap ? count : group_cap;
        // Where the system does not say how many there are, twice the room.
        if (!group_buf_grow(count > group_cap ? count : 2 * group_cap))
            return group_cap;
    }
}

// Writes primary_gid, unless negative, and then the first have ids of
// group_buf but primary_gid into groups, at most limit ids.  Returns how many
// it wrote.
int group_list_copy(int32_t* groups, int limit, int have, int32_t primary_gid) {
    int n = 0;
    if (primary_gid >= 0 && limit > 0)
        groups[n++] = primary_gid;
    for (int i = 0; i < have && n < limit; ++i) {
        auto gid = static_cast<int32_t>(group_buf[i]);
        // A group id that is negative as a 32-bit value would end the list
        // for every reader and hide the groups after it; no rule can name it
        // anyway, since rules are matched only up to the first negative id.
        if (gid == primary_gid || gid < 0)
            continue;
        groups[n++] = gid;
    }
    return n;
}

}  // namespace

void fill_group_list(const char* user, int32_t* groups, int32_t primary_gid) {
    // The name service lists the primary group too (as its first entry);
    // an unknown one (-1) goes in as an id no group has.
    int have = group_buf_fill(user, static_cast<gid_t>(primary_gid));
    int n = group_list_copy(groups, NGROUPS_KEPT, have, primary_gid);
    if (n < NGROUPS_KEPT)
        groups[n] = -1;
}

void fill_session_groups(SessionRecord* r, const char* user, int32_t primary_gid) {
    int have = group_buf_fill(user, static_cast<gid_t>(primary_gid));
    // Room for the primary group and every id given: the primary group among
    // them, or a negative id, leaves one unused.
    session_groups_room(r, have + 1);
    int n = group_list_copy(r->groups, r->group_room, have, primary_gid);
    r->groups[n] = -1;
}

void resolve_groups(SessionRecord* r) {
    if (r->groups_pending == 0)
        return;
    r->groups_pending = 0;
    fill_session_groups(r, r->user, r->primary_gid);
}

// The rule of list that decides for the session at slot: the first match
// walking from the last entry, which meets tty rules first and, within a
// kind, the rules in the order they were configured.  nullptr when none.
// The index finds it without walking the rules that cannot match.
const RuleEntry* resolve_first_match(const RuleList* list, int slot) {
    return rule_index_first_match(list, slot);
}

RuleAt resolve_rule_at(const RuleEntry* e) {
    return RuleAt{e->origin, e->line};
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
        case HOURS:
            return WARN_HOURS;
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

// The windows of the hours rules for the same logins as the rule that
// decides (same kind, and for a group rule the same group): together they
// are the class's hours, however many lines give them.
struct HoursClass {
    const RuleEntry* first;
    SessionRecord* r;
};

static void resolve_add_window(const RuleEntry* e, void* arg) {
    auto* c = static_cast<HoursClass*>(arg);
    if (e->kind != c->first->kind || (e->kind == GROUP && e->id != c->first->id))
        return;
    LoginHours* h = c->r->hours;
    if (h->count < HOURS_KEPT)
        h->windows[h->count++] = e->value;
}

void resolve_policy(int slot) {
    SessionRecord* r = &SessionTable[slot];
    // The name service is asked for a login's groups only when a group rule
    // can use them: a group list can be long to get, and it brings in every
    // name-service module there is.
    if (r->groups_pending != 0 && rule_index_names_groups())
        resolve_groups(r);
    r->idle_limit = -1;
    r->refused = 0;
    r->session_limit = 0;
    r->maxuser_gid = 0;
    r->maxuser_limit = 0;
    r->exempt = 0;
    r->warned = 0;
    r->next_check = platform->now();
    r->idle_rule = r->session_rule = r->refuse_rule = r->maxuser_rule = RuleAt{};

    if (const RuleEntry* e = resolve_first_match(maxuser_list, slot)) {
        r->maxuser_gid = e->id;
        r->maxuser_limit = e->value;
        r->maxuser_rule = resolve_rule_at(e);
    }
    if (const RuleEntry* e = resolve_first_match(timeout_list, slot)) {
        r->idle_limit = minutes_to_seconds(e->value);
        r->idle_rule = resolve_rule_at(e);
    }
    if (const RuleEntry* e = resolve_first_match(refuse_list, slot)) {
        r->refused = 1;
        r->refuse_rule = resolve_rule_at(e);
    }
    if (const RuleEntry* e = resolve_first_match(session_list, slot)) {
        r->session_limit = minutes_to_seconds(e->value);
        r->session_rule = resolve_rule_at(e);
    }

    r->hours_ruled = 0;
    if (const RuleEntry* e = resolve_first_match(hours_list, slot)) {
        if (LoginHours* h = session_hours_room(r)) {
            HoursClass c{e, r};
            r->hours_ruled = 1;
            h->rule = resolve_rule_at(e);
            rule_index_each_match(hours_list, slot, resolve_add_window, &c);
        } else {
            char user[log_escaped_size(USER_SIZE)];
            log_line("Error:  no memory for the hours of user %s; they are not enforced.",
                     log_escape(r->user, user, sizeof user));
        }
    }

    // Exemptions have no precedence: every matching rule adds its kinds.
    rule_index_each_match(exempt_list, slot, resolve_add_exemption, &r->exempt);
}
