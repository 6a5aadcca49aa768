#include "config/rule_list.h"

#include <cstdlib>

// The five headers live for the whole process.
static RuleNode headers[5];

RuleList* exempt_list;
RuleList* refuse_list;
RuleList* timeout_list;
RuleList* session_list;
RuleList* maxuser_list;

void rule_lists_init() {
    RuleList** lists[] = {&exempt_list, &refuse_list, &timeout_list, &session_list, &maxuser_list};
    for (int i = 0; i < 5; ++i) {
        headers[i].next = headers[i].prev = &headers[i];
        headers[i].entry = nullptr;
        *lists[i] = &headers[i];
    }
}

void insque(RuleNode* element, RuleNode* predecessor) {
    element->next = predecessor->next;
    predecessor->next = element;
    element->next->prev = element;
    element->prev = predecessor;
}

void add_rule(RuleList* list, int32_t kind, char* name, int32_t id, int32_t value) {
    auto* entry = static_cast<RuleEntry*>(std::malloc(sizeof(RuleEntry)));
    auto* node = static_cast<RuleNode*>(std::malloc(sizeof(RuleNode)));
    if (entry == nullptr || node == nullptr) {
        // Out of memory: the rule is lost, as the caller's name would be.
        std::free(entry);
        std::free(node);
        std::free(name);
        return;
    }
    *entry = RuleEntry{kind, name, id, value};
    node->entry = entry;
    RuleNode* at = list->next;
    while (at != list && at->entry->kind > kind) at = at->next;
    insque(node, at->prev);
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
}
