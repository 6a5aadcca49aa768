#include "policy/rule_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "base/session_table.h"
#include "config/tokens.h"
#include "fake_platform.h"
#include "policy/clock_step.h"

namespace {

// What the index must agree with: the walk backwards from the header for the
// deciding rule, and a walk over every rule for the matching ones.
const RuleEntry* WalkFirstMatch(const RuleList* list, int slot) {
    for (const RuleNode* n = list->prev; n != list; n = n->prev)
        if (rule_matches(n->entry, slot))
            return n->entry;
    return nullptr;
}

std::set<const RuleEntry*> WalkAllMatches(const RuleList* list, int slot) {
    std::set<const RuleEntry*> found;
    for (const RuleNode* n = list->next; n != list; n = n->next)
        if (rule_matches(n->entry, slot))
            found.insert(n->entry);
    return found;
}

std::set<const RuleEntry*> IndexAllMatches(const RuleList* list, int slot) {
    std::set<const RuleEntry*> found;
    rule_index_each_match(
        list, slot,
        [](const RuleEntry* e, void* arg) {
            static_cast<std::set<const RuleEntry*>*>(arg)->insert(e);
        },
        &found);
    return found;
}

class RuleIndexTest : public testing::Test {
   protected:
    void SetUp() override {
        fake.Install();
        session_table_reset();
        session_table_reserve(500);
        clock_step_reset();
        rule_lists_init();
        RuleList* five[] = {exempt_list, refuse_list, timeout_list, session_list, maxuser_list};
        std::copy(five, five + 5, lists);
    }
    void TearDown() override {
        for (RuleList* l : lists) clear_rules(l);
        rule_index_free();
    }

    // Compares the index with the walks for every list and every slot used.
    void ExpectSameAsWalk(int slots, const std::string& context) {
        for (int li = 0; li < 5; ++li) {
            for (int slot = 0; slot < slots; ++slot) {
                ASSERT_EQ(rule_index_first_match(lists[li], slot), WalkFirstMatch(lists[li], slot))
                    << context << " list " << li << " slot " << slot;
                ASSERT_EQ(IndexAllMatches(lists[li], slot), WalkAllMatches(lists[li], slot))
                    << context << " list " << li << " slot " << slot;
            }
        }
    }

    FakePlatform fake;
    RuleList* lists[5] = {};
};

// Random rule sets and logins drawn from small pools, so that names, hosts
// and groups collide often: several rules per key and kind, hosts that agree
// on their first 16 characters only, null names, unknown groups, kinds that
// match nobody, and group lists with repeats and an early end.
TEST_F(RuleIndexTest, AgreesWithTheWalk) {
    std::mt19937 rng(20240609);
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char* names[] = {"alice",
                           "bob",
                           "pts/1",
                           "pts/2",
                           "console",
                           "far.example",
                           "abcdefghijklmnop",
                           "abcdefghijklmnopq",
                           "abcdefghijklmnopr",
                           "x"};
    const int32_t kinds[] = {TTY, HOST, LOGIN, GROUP, DEFAULT, FILE_, 0};
    const int32_t codes[] = {IDLE, MULTIPLE, SESSION, REFUSE, ALL, 0};
    constexpr int SLOTS = 12;

    for (int round = 0; round < 200; ++round) {
        for (RuleList* l : lists) clear_rules(l);
        // Up to 300 rules: lists of up to 16 are walked, longer ones indexed.
        int rules = pick(300);
        for (int i = 0; i < rules; ++i) {
            int32_t kind = kinds[pick(7)];
            char* name = pick(10) == 0 ? nullptr : strdup(names[pick(10)]);
            int32_t id = kind == GROUP ? pick(6) - 1 : pick(3) == 0 ? pick(4) : 0;
            add_rule(lists[pick(5)], kind, name, id, codes[pick(6)]);
        }
        // Half the rounds build at a read, the others on first use.
        if (round % 2 == 0)
            rule_index_rebuild();

        for (int slot = 0; slot < SLOTS; ++slot) {
            SessionRecord* r = &SessionTable[slot];
            int32_t* groups = r->groups;
            int32_t room = r->group_room;
            std::memset(r, 0, sizeof *r);
            r->groups = groups;
            r->group_room = room;
            session_groups_room(r, 6);
            std::strcpy(r->user, names[pick(10)]);
            std::snprintf(r->tty_path, sizeof r->tty_path, "/dev/%s", names[pick(10)]);
            std::snprintf(r->host, sizeof r->host, "%.16s", names[pick(10)]);
            int n = pick(6);
            for (int g = 0; g < n; ++g) r->groups[g] = pick(7) - 1;  // -1 ends the list early
            r->groups[n] = -1;
        }
        ExpectSameAsWalk(SLOTS, "round " + std::to_string(round));

        // A rule added after the build is seen at once.
        add_rule(lists[pick(5)], DEFAULT, nullptr, 0, codes[pick(6)]);
        ExpectSameAsWalk(SLOTS, "round " + std::to_string(round) + " after an addition");
    }
}

// A full group list (no terminator) is searched to its end and no further.
TEST_F(RuleIndexTest, FullGroupList) {
    SessionRecord* r = &SessionTable[0];
    session_groups_room(r, NGROUPS_KEPT);
    for (int i = 0; i < NGROUPS_KEPT; ++i) r->groups[i] = 1000 + i;
    for (int i = 0; i < 20; ++i)  // enough rules for the list to be indexed
        add_rule(timeout_list, LOGIN, strdup(("nobody" + std::to_string(i)).c_str()), 0, 1);
    add_rule(timeout_list, GROUP, strdup("past"), 1000 + NGROUPS_KEPT, 5);
    add_rule(timeout_list, GROUP, strdup("last"), 1000 + NGROUPS_KEPT - 1, 7);
    add_rule(timeout_list, GROUP, strdup("first"), 1000, 9);
    const RuleEntry* e = rule_index_first_match(timeout_list, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "last");  // configured before "first"
    EXPECT_EQ(IndexAllMatches(timeout_list, 0).size(), 2u);
}

// A list that is not one of the five is walked.
TEST_F(RuleIndexTest, OtherListIsWalked) {
    RuleNode header{&header, &header, nullptr};
    add_rule(&header, LOGIN, strdup("alice"), 0, 1);
    add_rule(&header, DEFAULT, nullptr, 0, 2);
    std::strcpy(SessionTable[0].user, "alice");
    session_groups_room(&SessionTable[0], 0)[0] = -1;
    const RuleEntry* e = rule_index_first_match(&header, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->value, 1);
    EXPECT_EQ(IndexAllMatches(&header, 0).size(), 2u);
    clear_rules(&header);
}

}  // namespace
