#include "policy/resolve.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "config/tokens.h"
#include "daemon/session_table.h"
#include "enforce/warn.h"
#include "fake_platform.h"

namespace {

struct Login {
    const char* user;
    const char* line;
    const char* host;
    std::vector<int32_t> groups;
};

void SetSession(int slot, const Login& l) {
    SessionRecord* r = &SessionTable[slot];
    std::strcpy(r->user, l.user);
    std::strcpy(r->tty_path, "/dev/");
    std::strcat(r->tty_path, l.line);
    std::strcpy(r->host, l.host);
    size_t n = 0;
    for (; n < l.groups.size(); ++n) r->groups[n] = l.groups[n];
    if (n < NGROUPS_KEPT)
        r->groups[n] = -1;
}

char* Name(const char* s) {
    return s ? strdup(s) : nullptr;
}

class ResolveTest : public testing::Test {
   protected:
    void SetUp() override {
        fake.Install();
        session_table_reset();
        rule_lists_init();
    }
    void TearDown() override {
        for (RuleList* l : {exempt_list, refuse_list, timeout_list, session_list, maxuser_list})
            clear_rules(l);
    }
    FakePlatform fake;
};

TEST_F(ResolveTest, RuleMatches) {
    const std::string host21 = "abcdefghijklmnopqrstu";
    const std::string user20(20, 'a');
    struct Case {
        RuleEntry rule;
        Login login;
        int match;
    } cases[] = {
        {{TTY, Name("pts/3"), 0, 0}, {"a", "pts/3", "localhost", {}}, 1},
        {{TTY, Name("/dev/pts/3"), 0, 0}, {"a", "pts/3", "localhost", {}}, 0},
        {{TTY, nullptr, 0, 0}, {"a", "pts/3", "localhost", {}}, 0},
        {{HOST, Name(host21.c_str()), 0, 0}, {"a", "pts/3", "abcdefghijklmnop", {}}, 1},
        {{HOST, Name(host21.c_str()), 0, 0}, {"a", "pts/3", "abcdefghijklmnoX", {}}, 0},
        {{HOST, Name("abc"), 0, 0}, {"a", "pts/3", "abcdef", {}}, 0},
        {{LOGIN, Name("alice"), 0, 0}, {"alice", "pts/3", "localhost", {}}, 1},
        {{LOGIN, Name("alic"), 0, 0}, {"alice", "pts/3", "localhost", {}}, 0},
        {{LOGIN, Name(user20.c_str()), 0, 0}, {"aaaaaaaaaaaaaaaaaa", "p", "localhost", {}}, 0},
        {{GROUP, Name("staff"), 7, 0}, {"a", "p", "localhost", {5, 7}}, 1},
        {{GROUP, Name("staff"), 7, 0}, {"a", "p", "localhost", {5, -1, 7}}, 0},
        {{GROUP, Name("ghost"), -1, 0}, {"a", "p", "localhost", {5}}, 0},
        {{GROUP, Name("ghost"), -1, 0}, {"a", "p", "localhost", {}}, 0},
        {{DEFAULT, nullptr, 0, 0}, {"a", "p", "localhost", {}}, 1},
        {{FILE_, Name("a"), 0, 0}, {"a", "p", "localhost", {}}, 0},
    };
    for (Case& c : cases) {
        SetSession(0, c.login);
        EXPECT_EQ(rule_matches(&c.rule, 0), c.match)
            << c.rule.kind << " " << (c.rule.name ? c.rule.name : "-") << " " << c.login.user;
        free(c.rule.name);
    }
}

TEST_F(ResolveTest, Precedence) {
    // Added out of order: the lists keep them by kind, and within a kind the
    // first configured wins.
    add_rule(timeout_list, LOGIN, Name("alice"), 0, 50);
    add_rule(timeout_list, TTY, Name("pts/1"), 0, 70);
    add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
    add_rule(timeout_list, HOST, Name("far.example"), 0, 60);
    add_rule(timeout_list, GROUP, Name("staff"), 100, 40);
    add_rule(timeout_list, LOGIN, Name("alice"), 0, 55);
    add_rule(timeout_list, TTY, Name("pts/1"), 0, 75);
    add_rule(timeout_list, LOGIN, Name("huge"), 0, std::numeric_limits<int32_t>::max());
    struct Case {
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
    add_rule(session_list, LOGIN, Name("alice"), 0, 90);
    add_rule(session_list, LOGIN, Name("alice"), 0, 10);
    add_rule(refuse_list, HOST, Name("bad.host"), 0, 0);
    add_rule(maxuser_list, GROUP, Name("staff"), 100, 3);
    add_rule(maxuser_list, GROUP, Name("other"), 200, 5);
    add_rule(exempt_list, LOGIN, Name("bob"), 0, IDLE);
    add_rule(exempt_list, TTY, Name("pts/1"), 0, SESSION);
    add_rule(exempt_list, LOGIN, Name("carol"), 0, ALL);
    add_rule(exempt_list, LOGIN, Name("carol"), 0, IDLE);
    add_rule(exempt_list, GROUP, Name("staff"), 100, MULTIPLE);
    add_rule(exempt_list, HOST, Name("bad.host"), 0, REFUSE);
    struct Case {
        Login login;
        int32_t session_limit, refused, maxuser_gid, maxuser_limit;
        uint32_t exempt;
    } cases[] = {
        {{"nobody", "pts/9", "localhost", {}}, 0, 0, 0, 0, 0},
        {{"alice", "pts/9", "localhost", {200, 100}}, 5400, 0, 100, 3, WARN_MULTIPLE},
        {{"bob", "pts/1", "localhost", {}}, 0, 0, 0, 0, WARN_IDLE | WARN_SESSION},
        {{"carol", "pts/1", "bad.host", {}}, 0, 1, 0, 0, EXEMPT_ALL},
        {{"dave", "pts/2", "bad.host", {100}}, 0, 1, 100, 3, WARN_MULTIPLE | WARN_REFUSED},
    };
    for (const Case& c : cases) {
        SessionRecord* r = &SessionTable[0];
        std::memset(r, 0x55, sizeof *r);  // whatever an earlier login left
        SetSession(0, c.login);
        resolve_policy(0);
        EXPECT_EQ(r->idle_limit, -1) << c.login.user;
        EXPECT_EQ(r->session_limit, c.session_limit) << c.login.user;
        EXPECT_EQ(r->refused, c.refused) << c.login.user;
        EXPECT_EQ(r->maxuser_gid, c.maxuser_gid) << c.login.user;
        EXPECT_EQ(r->maxuser_limit, c.maxuser_limit) << c.login.user;
        EXPECT_EQ(r->exempt, c.exempt) << c.login.user;
        EXPECT_EQ(r->warned, 0u);
        EXPECT_EQ(r->next_check, fake.clock);
    }
}

TEST_F(ResolveTest, GroupList) {
    fake.AddGroup("prim", 10, {"u"});
    fake.AddGroup("huge", 4294967294u, {"u"});  // -2 as a 32-bit id
    fake.AddGroup("notme", 20, {"x"});
    fake.AddGroup("twice", 30, {"x", "u"});
    fake.AddGroup("twice", 30, {"u"});
    int32_t groups[NGROUPS_KEPT];
    fill_group_list("u", groups, -1);
    EXPECT_EQ(std::vector<int32_t>(groups, groups + 4), (std::vector<int32_t>{10, 30, 30, -1}));

    fill_group_list("u", groups, 10);
    EXPECT_EQ(std::vector<int32_t>(groups, groups + 4), (std::vector<int32_t>{10, 30, 30, -1}));

    // 1100 more groups: the list fills up with the first 1021 of them and has
    // no terminator; group rules beyond it do not match.
    for (int i = 0; i < 1100; ++i) fake.AddGroup("g" + std::to_string(i), 1000 + i, {"u"});
    SessionRecord* r = &SessionTable[0];
    std::memset(r, 0, sizeof *r);
    fill_group_list("u", r->groups, 10);
    EXPECT_EQ(r->groups[0], 10);
    EXPECT_EQ(r->groups[3], 1000);
    EXPECT_EQ(r->groups[NGROUPS_KEPT - 1], 2020);
    RuleEntry last{GROUP, nullptr, 2020, 0}, beyond{GROUP, nullptr, 2021, 0};
    EXPECT_EQ(rule_matches(&last, 0), 1);
    EXPECT_EQ(rule_matches(&beyond, 0), 0);
}

}  // namespace
