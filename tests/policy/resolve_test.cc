#include "policy/resolve.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/session_table.h"
#include "config/tokens.h"
#include "enforce/warn.h"
#include "fake_platform.h"
#include "policy/clock_step.h"
#include "policy/rule_index.h"

namespace {

struct Login {
    const char* user;
    const char* line;
    const char* host;
    int32_t groups[4];  // up to the first 0
};

void SetSession(int slot, const Login& l) {
    SessionRecord* r = &SessionTable[slot];
    std::strcpy(r->user, l.user);
    std::strcpy(r->tty_path, "/dev/");
    std::strcat(r->tty_path, l.line);
    std::strcpy(r->host, l.host);
    int n = 0;
    session_groups_room(r, 4);
    for (; n < 4 && l.groups[n] != 0; ++n) r->groups[n] = l.groups[n];
    r->groups[n] = -1;
}

class ResolveTest : public testing::Test {
   protected:
    void SetUp() override {
        fake.Install();
        session_table_reset();
        session_table_reserve(500);
        clock_step_reset();
        rule_lists_init();
    }
    void TearDown() override {
        for (RuleList* l :
             {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list})
            clear_rules(l);
    }
    FakePlatform fake;
};

TEST_F(ResolveTest, RuleMatches) {
    static const char* host21 = "abcdefghijklmnopqrstu";
    static const struct Case {
        int32_t kind;
        const char* name;
        int32_t id;
        Login login;
        int match;
    } cases[] = {
        {TTY, "pts/3", 0, {"a", "pts/3", "localhost", {}}, 1},
        {TTY, "/dev/pts/3", 0, {"a", "pts/3", "localhost", {}}, 0},
        {TTY, nullptr, 0, {"a", "pts/3", "localhost", {}}, 0},
        {HOST, host21, 0, {"a", "p", "abcdefghijklmnop", {}}, 1},
        {HOST, host21, 0, {"a", "p", "abcdefghijklmnoX", {}}, 0},
        {HOST, "abc", 0, {"a", "p", "abcdef", {}}, 0},
        {LOGIN, "alice", 0, {"alice", "p", "localhost", {}}, 1},
        {LOGIN, "alic", 0, {"alice", "p", "localhost", {}}, 0},
        {LOGIN, "aaaaaaaaaaaaaaaaaaaa", 0, {"aaaaaaaaaaaaaaaaaa", "p", "localhost", {}}, 0},
        {GROUP, "staff", 7, {"a", "p", "localhost", {5, 7}}, 1},
        {GROUP, "staff", 7, {"a", "p", "localhost", {5, -1, 7}}, 0},
        {GROUP, "ghost", -1, {"a", "p", "localhost", {5}}, 0},  // unknown group
        {GROUP, "ghost", -1, {"a", "p", "localhost", {}}, 0},
        {DEFAULT, nullptr, 0, {"a", "p", "localhost", {}}, 1},
        {FILE_, "a", 0, {"a", "p", "localhost", {}}, 0},
    };
    for (const Case& c : cases) {
        SetSession(0, c.login);
        RuleEntry rule{c.kind, const_cast<char*>(c.name), c.id, 0};
        EXPECT_EQ(rule_matches(&rule, 0), c.match) << c.kind << " " << (c.name ? c.name : "-");
    }
}

TEST_F(ResolveTest, PrecedenceAndFirstConfigured) {
    // Added out of order: the list keeps them by kind.
    add_rule(timeout_list, LOGIN, strdup("alice"), 0, 50);
    add_rule(timeout_list, TTY, strdup("pts/1"), 0, 70);
    add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
    add_rule(timeout_list, HOST, strdup("far.example"), 0, 60);
    add_rule(timeout_list, GROUP, strdup("staff"), 100, 40);
    add_rule(timeout_list, LOGIN, strdup("alice"), 0, 55);
    add_rule(timeout_list, TTY, strdup("pts/1"), 0, 75);
    add_rule(timeout_list, LOGIN, strdup("huge"), 0, std::numeric_limits<int32_t>::max());
    static const struct Case {
        Login login;
        int32_t idle_limit;
    } cases[] = {
        {{"alice", "pts/1", "far.example", {100}}, 4200},
        {{"alice", "pts/2", "far.example", {100}}, 3600},
        {{"alice", "pts/2", "localhost", {100}}, 3000},
        {{"bob", "pts/2", "localhost", {5, 100}}, 2400},
        {{"bob", "pts/2", "localhost", {5}}, 1800},
        {{"huge", "pts/2", "localhost", {}}, std::numeric_limits<int32_t>::max()},
    };
    for (const Case& c : cases) {
        SetSession(3, c.login);
        resolve_policy(3);
        EXPECT_EQ(SessionTable[3].idle_limit, c.idle_limit) << c.login.user << c.login.line;
    }
}

TEST_F(ResolveTest, ListsResetsAndExemptions) {
    add_rule(session_list, LOGIN, strdup("alice"), 0, 90);
    add_rule(session_list, LOGIN, strdup("alice"), 0, 10);
    add_rule(refuse_list, HOST, strdup("bad.host"), 0, 0);
    add_rule(maxuser_list, GROUP, strdup("staff"), 100, 3);
    add_rule(maxuser_list, GROUP, strdup("other"), 200, 5);
    add_rule(exempt_list, LOGIN, strdup("bob"), 0, IDLE);
    add_rule(exempt_list, TTY, strdup("pts/1"), 0, SESSION);
    add_rule(exempt_list, LOGIN, strdup("carol"), 0, ALL);
    add_rule(exempt_list, LOGIN, strdup("carol"), 0, IDLE);
    add_rule(exempt_list, GROUP, strdup("staff"), 100, MULTIPLE);
    add_rule(exempt_list, HOST, strdup("bad.host"), 0, REFUSE);
    static const struct Case {
        Login login;
        std::array<int64_t, 5> fields;  // session_limit, refused, maxuser gid and limit, exempt
    } cases[] = {
        {{"nobody", "pts/9", "localhost", {}}, {0, 0, 0, 0, 0}},
        {{"alice", "pts/9", "localhost", {200, 100}}, {5400, 0, 100, 3, WARN_MULTIPLE}},
        {{"bob", "pts/1", "localhost", {}}, {0, 0, 0, 0, 5}},
        {{"carol", "pts/1", "bad.host", {}}, {0, 1, 0, 0, EXEMPT_ALL}},
        {{"dave", "pts/2", "bad.host", {100}}, {0, 1, 100, 3, WARN_MULTIPLE | WARN_REFUSED}},
    };
    for (const Case& c : cases) {
        SessionRecord* r = &SessionTable[0];
        int32_t* groups = r->groups;
        int32_t room = r->group_room;
        LoginHours* hours = r->hours;
        std::memset(r, 0x55, sizeof *r);  // whatever an earlier login left but what it owns
        r->groups = groups;
        r->group_room = room;
        r->hours = hours;
        r->groups_pending = 0;  // the groups below are the login's
        SetSession(0, c.login);
        resolve_policy(0);
        std::array<int64_t, 5> got{r->session_limit, r->refused, r->maxuser_gid, r->maxuser_limit,
                                   r->exempt};
        EXPECT_EQ(got, c.fields) << c.login.user;
        EXPECT_EQ(r->idle_limit, -1);
        EXPECT_EQ(r->warned, 0u);
        EXPECT_EQ(r->next_check, fake.clock);
    }
}

TEST_F(ResolveTest, GroupList) {
    fake.AddGroup("prim", 10, {"u"});
    fake.AddGroup("huge", 4294967294u, {"u"});  // -2 as a 32-bit id: left out
    fake.AddGroup("notme", 20, {"x"});
    fake.AddGroup("twice", 30, {"x", "u"});
    fake.AddGroup("twice", 30, {"u"});
    std::vector<int32_t> list(NGROUPS_KEPT);
    int32_t* groups = list.data();
    for (int32_t primary : {-1, 10}) {
        fill_group_list("u", groups, primary);
        EXPECT_EQ(std::vector<int32_t>(groups, groups + 4), (std::vector<int32_t>{10, 30, 30, -1}));
    }
    // A login's own list has room for what the name service gave, not more.
    SessionRecord* r = &SessionTable[0];
    fill_session_groups(r, "u", 10);
    EXPECT_EQ(std::vector<int32_t>(r->groups, r->groups + 4),
              (std::vector<int32_t>{10, 30, 30, -1}));
    EXPECT_LE(r->group_room, 5);

    // The list fills up with the first 1021 of 1100 more groups and has no
    // terminator; group rules beyond it do not match.  The answer is asked
    // for again with room for all when the name service says how many there
    // are, with twice the room while it does not.
    for (gid_t g = 1000; g < 2100; ++g) fake.AddGroup(std::to_string(g), g, {"u"});
    for (bool tells : {false, true}) {
        fake.group_list_tells_count = tells;
        fake.group_list_sizes.clear();
        groups[3] = groups[NGROUPS_KEPT - 1] = -1;
        fill_group_list("u", groups, 10);
        EXPECT_EQ(groups[3], 1000);
        EXPECT_EQ(groups[NGROUPS_KEPT - 1], 2020);
        ASSERT_FALSE(fake.group_list_sizes.empty());
        EXPECT_GE(fake.group_list_sizes.back(), 1104);
        for (size_t i = 1; i < fake.group_list_sizes.size(); ++i)
            EXPECT_EQ(fake.group_list_sizes[i], tells ? 1104 : 2 * fake.group_list_sizes[i - 1]);
    }
    // A login in more groups than are kept: the list grows to hold the
    // first NGROUPS_KEPT, ended by -1.
    fill_session_groups(r, "u", 10);
    EXPECT_EQ(r->group_room, NGROUPS_KEPT);
    EXPECT_EQ(r->groups[NGROUPS_KEPT - 1], 2020);
    EXPECT_EQ(r->groups[NGROUPS_KEPT], -1);
    RuleEntry last{GROUP, nullptr, 2020, 0}, beyond{GROUP, nullptr, 2021, 0};
    EXPECT_EQ(rule_matches(&last, 0), 1);
    EXPECT_EQ(rule_matches(&beyond, 0), 0);
}

}  // namespace
