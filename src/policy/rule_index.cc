#include "policy/rule_index.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/session_table.h"
#include "config/tokens.h"
#include "pathnames.h"

namespace {

// One rule of a list, with what it matches and its place in the walk that
// decides precedence.
struct IndexedRule {
    int32_t kind;      // TTY, HOST, LOGIN, GROUP or DEFAULT
    int32_t id;        // the group id of a group rule
    uint32_t order;    // place in a walk backwards from the header: lower is met first
    const char* name;  // the name of a tty, host or login rule
    const RuleEntry* entry;
};

// The kinds that can match, in the order their rules sit in the sorted array.
constexpr int32_t index_kinds[] = {TTY, HOST, LOGIN, GROUP, DEFAULT};
constexpr int KINDS = 5;

// The rules of one list that can match anybody, sorted by kind, then by what
// they match, then by order; so the first of a run of equal keys is the one
// the walk meets first.  begin[k] and end[k] bound the rules of
// index_kinds[k].
struct ListIndex {
    IndexedRule* rules;
    size_t count;
    size_t nodes;  // every rule of the list, those left out included
    size_t begin[KINDS], end[KINDS];
};

RuleList** const index_lists[] = {&exempt_list,  &refuse_list,  &timeout_list,
                                  &session_list, &maxuser_list, &hours_list};
constexpr int LISTS = 6;
ListIndex indexes[LISTS];
bool index_built;   // indexes[] describe the lists as of index_version
bool index_usable;  // and memory could be had for them
uint64_t index_version;

// Compares what two rules of one kind match.  A host rule is compared on its
// first NAME_MAX_HOST characters, which is all of it that a match looks at
// (the host kept for a login is never longer).
int index_key_cmp(const IndexedRule& a, const IndexedRule& b) {
    switch (a.kind) {
        case GROUP:
            return a.id < b.id ? -1 : a.id > b.id;
        case HOST:
            return std::strncmp(a.name, b.name, NAME_MAX_HOST);
        case DEFAULT:
            return 0;
        default:
            return std::strcmp(a.name, b.name);
    }
}

bool index_less(const IndexedRule& a, const IndexedRule& b) {
    if (a.kind != b.kind)
        return a.kind < b.kind;
    int c = index_key_cmp(a, b);
    return c != 0 ? c < 0 : a.order < b.order;
}

// Whether a rule can match any login at all; the others are left out.  A
// group rule for an unknown group (a negative id) matches nobody, since a
// login's group list ends at its first negative entry.
bool index_can_match(const RuleEntry* e) {
    switch (e->kind) {
        case TTY:
        case HOST:
        case LOGIN:
            return e->name != nullptr;
        case GROUP:
            return e->id >= 0;
        case DEFAULT:
            return true;
        default:
            return false;
    }
}

int index_build_list(const RuleList* list, ListIndex* ix) {
    size_t n = 0;
    for (const RuleNode* node = list->prev; node != list; node = node->prev) ++n;
    ix->rules = n > 0 ? static_cast<IndexedRule*>(std::malloc(n * sizeof(IndexedRule))) : nullptr;
    if (n > 0 && ix->rules == nullptr)
        return -1;
    uint32_t order = 0;
    size_t kept = 0;
    for (const RuleNode* node = list->prev; node != list; node = node->prev, ++order) {
        const RuleEntry* e = node->entry;
        if (index_can_match(e))
            ix->rules[kept++] = IndexedRule{e->kind, e->id, order, e->name, e};
    }
    ix->count = kept;
    ix->nodes = n;
    std::sort(ix->rules, ix->rules + kept, index_less);
    for (int k = 0; k < KINDS; ++k) {
        auto kind_less = [](const IndexedRule& r, int32_t kind) { return r.kind < kind; };
        auto less_kind = [](int32_t kind, const IndexedRule& r) { return kind < r.kind; };
        ix->begin[k] = static_cast<size_t>(
            std::lower_bound(ix->rules, ix->rules + kept, index_kinds[k], kind_less) - ix->rules);
        ix->end[k] = static_cast<size_t>(
            std::upper_bound(ix->rules, ix->rules + kept, index_kinds[k], less_kind) - ix->rules);
    }
    return 0;
}

// Lists this short are walked: the walk costs less than the searches.
constexpr size_t WALK_AT_MOST = 16;

// The index of list, brought up to date first; nullptr when the list is to
// be walked instead (short, not one of the six lists, or no memory for the
// index).
const ListIndex* index_for(const RuleList* list) {
    if (!index_built || index_version != rule_lists_version)
        rule_index_rebuild();
    if (!index_usable)
        return nullptr;
    for (int i = 0; i < LISTS; ++i)
        if (*index_lists[i] == list)
            return indexes[i].nodes > WALK_AT_MOST ? &indexes[i] : nullptr;
    return nullptr;
}

// The run of rules of kind k whose key equals probe's: [*first, *last).
void index_run(const ListIndex* ix, int k, const IndexedRule& probe, const IndexedRule** first,
               const IndexedRule** last) {
    const IndexedRule* b = ix->rules + ix->begin[k];
    const IndexedRule* e = ix->rules + ix->end[k];
    *first = std::lower_bound(b, e, probe, [](const IndexedRule& r, const IndexedRule& p) {
        return index_key_cmp(r, p) < 0;
    });
    *last = *first;
    while (*last != e && index_key_cmp(**last, probe) == 0) ++*last;
}

// Calls visit(rule) for the run of rules of kind k that match the record r,
// for every kind; group rules once per entry of r's group list.
template <typename Visit>
void index_runs(const ListIndex* ix, const SessionRecord* r, Visit visit) {
    const char* names[] = {session_line(r), r->host, r->user};
    for (int k = 0; k < KINDS; ++k) {
        if (ix->begin[k] == ix->end[k])
            continue;
        IndexedRule probe{index_kinds[k], 0, 0, nullptr, nullptr};
        const IndexedRule *first, *last;
        if (index_kinds[k] == GROUP) {
            for (int i = 0; i < NGROUPS_KEPT && r->groups[i] >= 0; ++i) {
                probe.id = r->groups[i];
                index_run(ix, k, probe, &first, &last);
                if (first != last)
                    visit(first, last);
            }
            continue;
        }
        if (index_kinds[k] != DEFAULT)
            probe.name = names[k];
        index_run(ix, k, probe, &first, &last);
        if (first != last)
            visit(first, last);
    }
}

}  // namespace

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

void rule_index_free() {
    for (ListIndex& ix : indexes) {
        std::free(ix.rules);
        ix = ListIndex{};
    }
    index_built = false;
    index_usable = false;
}

int rule_index_rebuild() {
    rule_index_free();
    // Marked built even when memory runs out, so that the lookups walk the
    // lists instead of trying again for every login until the lists change.
    index_built = true;
    index_version = rule_lists_version;
    for (int i = 0; i < LISTS; ++i) {
        if (index_build_list(*index_lists[i], &indexes[i]) != 0) {
            rule_index_free();
            index_built = true;
            return -1;
        }
    }
    index_usable = true;
    return 0;
}

const RuleEntry* rule_index_first_match(const RuleList* list, int slot) {
    const ListIndex* ix = index_for(list);
    if (ix == nullptr) {
        for (const RuleNode* n = list->prev; n != list; n = n->prev)
            if (rule_matches(n->entry, slot))
                return n->entry;
        return nullptr;
    }
    // The first of each run is the one the walk meets first for that key;
    // of those, the one with the lowest order decides.
    const IndexedRule* best = nullptr;
    index_runs(ix, &SessionTable[slot], [&best](const IndexedRule* first, const IndexedRule*) {
        if (best == nullptr || first->order < best->order)
            best = first;
    });
    return best != nullptr ? best->entry : nullptr;
}

void rule_index_each_match(const RuleList* list, int slot, void (*fn)(const RuleEntry*, void*),
                           void* arg) {
    const ListIndex* ix = index_for(list);
    if (ix == nullptr) {
        for (const RuleNode* n = list->next; n != list; n = n->next)
            if (rule_matches(n->entry, slot))
                fn(n->entry, arg);
        return;
    }
    index_runs(ix, &SessionTable[slot],
               [fn, arg](const IndexedRule* first, const IndexedRule* last) {
                   for (const IndexedRule* it = first; it != last; ++it) fn(it->entry, arg);
               });
}

int rule_index_names_groups() {
    static bool known;
    static uint64_t known_version;
    static int names_groups;
    if (known && known_version == rule_lists_version)
        return names_groups;
    names_groups = 0;
    for (RuleList** list : index_lists)
        for (const RuleNode* n = (*list)->next; n != *list && names_groups == 0; n = n->next)
            names_groups = n->entry->kind == GROUP;
    known = true;
    known_version = rule_lists_version;
    return names_groups;
}
