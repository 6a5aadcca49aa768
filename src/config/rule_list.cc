#include "config/rule_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "config/scanner.h"
#include "config/tokens.h"
#include "os/platform.h"
#include "pathnames.h"

// The six headers live for the whole process.
static RuleNode headers[6];

// The first rule of each kind in each of the six lists, which is where the
// next rule of that kind goes; nullptr while the list has none.  Without it
// every rule added would walk past all the rules of the kinds ahead of it,
// and a 100,000-rule file would take seconds to read.
static RuleNode* kind_front[6][DEFAULT - TTY + 1];

// The place in kind_front of list's rules of kind, or nullptr for a list
// other than the six or a kind the language does not have.
static RuleNode** rule_kind_front(const RuleList* list, int32_t kind) {
    for (int i = 0; i < 6; ++i) {
        if (list == &headers[i])
            return kind >= TTY && kind <= DEFAULT ? &kind_front[i][kind - TTY] : nullptr;
    }
    return nullptr;
}

RuleList* exempt_list;
RuleList* refuse_list;
RuleList* timeout_list;
RuleList* session_list;
RuleList* maxuser_list;
RuleList* hours_list;
uint64_t rule_lists_version;

void rule_lists_init() {
    RuleList** lists[] = {&exempt_list,  &refuse_list,  &timeout_list,
                          &session_list, &maxuser_list, &hours_list};
    for (int i = 0; i < 6; ++i) {
        headers[i].next = headers[i].prev = &headers[i];
        headers[i].entry = nullptr;
        *lists[i] = &headers[i];
    }
    for (auto& fronts : kind_front)
        for (RuleNode*& front : fronts) front = nullptr;
    ++rule_lists_version;
}

void insque(RuleNode* element, RuleNode* predecessor) {
    element->next = predecessor->next;
    predecessor->next = element;
    element->next->prev = element;
    element->prev = predecessor;
}

RuleEntry* add_rule(RuleList* list, int32_t kind, char* name, int32_t id, int32_t value) {
    auto* entry = static_cast<RuleEntry*>(std::malloc(sizeof(RuleEntry)));
    auto* node = static_cast<RuleNode*>(std::malloc(sizeof(RuleNode)));
    if (entry == nullptr || node == nullptr) {
        // Out of memory: the rule is lost, as the caller's name would be.
        std::free(entry);
        std::free(node);
        std::free(name);
        return nullptr;
    }
    *entry = RuleEntry{kind, name, id, value, 0, 0};
    node->entry = entry;
    RuleNode** front = rule_kind_front(list, kind);
    RuleNode* at = front != nullptr ? *front : nullptr;
    if (at == nullptr) {
        at = list->next;
        while (at != list && at->entry->kind > kind) at = at->next;
    }
    insque(node, at->prev);
    if (front != nullptr)
        *front = node;
    ++rule_lists_version;
    return entry;
}

void clear_rules(RuleList* list) {
    RuleNode* n = list->next;
    while (n != list) {
        RuleNode* next = n->next;
        std::free(n->entry->name);
        std::free(n->entry);
        std::free(n);
        n = next;
    }
    list->next = list->prev = list;
    for (int32_t kind = TTY; kind <= DEFAULT; ++kind) {
        if (RuleNode** front = rule_kind_front(list, kind))
            *front = nullptr;
    }
    ++rule_lists_version;
}

int32_t rule_group_id(const char* name) {
    const struct group* g = platform->gr_by_name(name);
    if (g == nullptr) {
        log_line("Error parsing conf file:  unknown group name '%s'.", name);
        return UNKNOWN_GROUP_ID;
    }
    return static_cast<int32_t>(g->gr_gid);
}

// Paths of the list files rules were read from; origin n is origin_paths[n - 1].
static char** origin_paths;
static int32_t origin_count;

int32_t rule_origin_intern(const char* path) {
    for (int32_t i = 0; i < origin_count; ++i)
        if (std::strcmp(origin_paths[i], path) == 0)
            return i + 1;
    auto* grown = static_cast<char**>(
        std::realloc(origin_paths, sizeof(char*) * (static_cast<size_t>(origin_count) + 1)));
    if (grown == nullptr)
        return 0;
    origin_paths = grown;
    char* copy = strdup(path);
    if (copy == nullptr)
        return 0;
    origin_paths[origin_count++] = copy;
    return origin_count;
}

const char* rule_origin_name(int32_t origin) {
    return origin > 0 && origin <= origin_count ? origin_paths[origin - 1] : nullptr;
}

namespace {

// White space in the C locale, which the daemon never leaves.
bool list_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the next line's first NAME_MAX_USER characters into line; returns
// their number, or -1 at the end of the file.  The rest of an over-long line
// is skipped with its line feed and all white space after it, so that the
// next line's name is found even when the next line starts with blanks.
// Every line feed taken from f adds one to *newlines.
int list_read_line(FILE* f, char* line, int32_t* newlines) {
    int len = 0;
    int c = EOF;
    while (len < NAME_MAX_USER && (c = getc(f)) != EOF && c != '\n')
        line[len++] = static_cast<char>(c);
    if (c == '\n')
        ++*newlines;
    if (len == 0 && c == EOF)
        return -1;
    if (len == NAME_MAX_USER) {
        c = getc(f);
        if (c == '\n')
            ++*newlines;
        if (c != '\n' && c != EOF) {
            while (c != '\n' && c != EOF) c = getc(f);
            if (c == '\n')
                ++*newlines;
            while (list_space(c = getc(f))) {
                if (c == '\n')
                    ++*newlines;
            }
            if (c != EOF)
                ungetc(c, f);
        }
    }
    return len;
}

}  // namespace

void read_list_file(int command, const char* path, int32_t value) {
    RuleList* list;
    int32_t kind = LOGIN;
    switch (command) {
        case EXEMPT:
            list = exempt_list;
            break;
        case TIMEOUT:
            list = timeout_list;
            break;
        case SESSION:
            list = session_list;
            break;
        case REFUSE:
            list = refuse_list;
            break;
        case MAXUSER:
            list = maxuser_list;
            kind = GROUP;
            break;
        case HOURS:
            list = hours_list;
            break;
        default:
            return;
    }
    FILE* f = conf_fopen(path);
    if (f == nullptr) {
        conf_error("Could not open file '%s'", path);
        return;
    }
    int32_t origin = rule_origin_intern(path);
    char line[NAME_MAX_USER];
    int32_t newlines = 0;
    int32_t line_no = 1;
    int len;
    for (; (len = list_read_line(f, line, &newlines)) >= 0; line_no = newlines + 1) {
        // Only a space ends a name: a tab, a carriage return or a number
        // sign is part of it.  A NUL ends it too, as it would any C string.
        int n = 0;
        while (n < len && line[n] != ' ' && line[n] != '\0') ++n;
        if (n == 0)
            continue;
        auto* name = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (name == nullptr)
            continue;  // out of memory: this rule is lost
        std::memcpy(name, line, static_cast<size_t>(n));
        name[n] = '\0';
        int32_t id = kind == GROUP ? rule_group_id(name) : 0;
        if (RuleEntry* e = add_rule(list, kind, name, id, value)) {
            e->line = line_no;
            e->origin = origin;
        }
    }
    std::fclose(f);
}
