#include "policy/multiple_check.h"

#include "check_fixture.h"
#include "policy/group_check.h"

namespace {

class MultipleCheckTest : public CheckTest {
   protected:
    // n sessions: user u<i % users>, each logged in a second after the last.
    void Sessions(int n, int users) {
        for (int i = 0; i < n; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "u%02d", i % users);
            char line[16];
            std::snprintf(line, sizeof line, "pts/%d", i);
            Login(name, line, fake.clock - 1000 + i);
        }
    }
    int Warned() const {
        int w = 0;
        for (int i = 0; i < used; ++i) w += (SessionTable[i].warned & WARN_MULTIPLE) != 0;
        return w;
    }
};

TEST_F(MultipleCheckTest, AllowanceFromTheThreshold) {
    multiple_threshold = 20;
    multiples = -1;
    Sessions(20, 7);  // 6 users with 3 logins, one with 2: 20 / 7 = 2 allowed
    enforce_multiple_logins(20);
    EXPECT_EQ(Warned(), 6);
    EXPECT_EQ(count_distinct_users(20), 7);
}

TEST_F(MultipleCheckTest, AllowanceFloorsAtOne) {
    multiple_threshold = 20;
    multiples = -1;
    Sessions(26, 25);  // 20 / 25 = 0, taken as 1: u00's second login is surplus
    enforce_multiple_logins(26);
    EXPECT_EQ(Warned(), 1);
    EXPECT_EQ(SessionTable[25].warned, WARN_MULTIPLE);

    session_table_reset();

    session_table_reserve(500);
    clock_step_reset();
    used = 0;
    multiples = 0;
    Sessions(20, 10);
    enforce_multiple_logins(20);
    EXPECT_EQ(Warned(), 10);
}

TEST_F(MultipleCheckTest, LatestLoginIsWarnedThenLoggedOut) {
    multiple_threshold = 1;
    multiples = 2;
    SessionRecord* late = Login("alice", "pts/1", fake.clock - 10);
    Login("bob", "pts/2", fake.clock - 50);
    SessionRecord* early = Login("alice", "pts/3", fake.clock - 100);
    Login("alice", "pts/4", fake.clock - 90);
    late->next_check = 555;
    watch = 0;
    enforce_multiple_logins(4);
    ASSERT_EQ(forks.size(), 1u);
    EXPECT_EQ(forks[0].shown, 2);  // the warning names the allowance
    EXPECT_EQ(late->next_check, 555);
    EXPECT_EQ(late->warned, WARN_MULTIPLE);
    EXPECT_EQ(early->warned, 0u);
    EXPECT_EQ(ActiveSessions[0], early);  // sorted by user, then login time
    EXPECT_EQ(ActiveSessions[2], late);

    enforce_multiple_logins(4);
    ASSERT_EQ(forks.size(), 2u);
    EXPECT_EQ(forks[1].warned, WARN_MULTIPLE);  // the second call logs out
}

// The warning gives the next sleep_interval, as it was when written: passes
// that other logins bring sooner, or a shorter interval since, do not bring
// the logout forward.  The same holds for the group limit's warning.
TEST_F(MultipleCheckTest, LogoutWaitsForTheAnnouncedGrace) {
    multiple_threshold = 1;
    multiples = 1;
    sleep_interval = 300;
    Sessions(2, 1);
    time_t warned = fake.clock;
    EXPECT_EQ(enforce_multiple_logins(2), warned + 300);
    sleep_interval = 60;
    for (time_t at : {10, 294}) {
        fake.clock = warned + at;
        EXPECT_EQ(enforce_multiple_logins(2), warned + 300) << at;
    }
    EXPECT_EQ(fake.forks, 1);
    fake.clock = warned + 295;
    EXPECT_EQ(enforce_multiple_logins(2), 0);
    EXPECT_EQ(fake.forks, 2);

    SessionRecord* r = ActiveSessions[1];
    r->ended = SESSION_OPEN;  // logged out above: as a new login on the line
    r->warned = 0;
    r->maxuser_gid = 100;
    r->maxuser_limit = 0;
    r->groups[0] = 100;
    r->groups[1] = -1;
    warned = fake.clock;
    EXPECT_EQ(enforce_group_limit(r, 2), warned + 60);
    fake.clock += 30;
    EXPECT_EQ(enforce_group_limit(r, 2), warned + 60);
    EXPECT_EQ(fake.forks, 3);
    fake.clock += 25;
    EXPECT_EQ(enforce_group_limit(r, 2), 0);
    EXPECT_EQ(fake.forks, 4);
}

// A record its login outlived costs neither its user nor its group a live
// login; it is found stale (and logged) only once the count is over.
TEST_F(MultipleCheckTest, GoneLoginsDoNotCount) {
    multiple_threshold = 1;
    multiples = 1;
    SessionRecord* gone = Login("alice", "pts/1", fake.clock - 100);
    SessionRecord* live = Login("alice", "pts/2", fake.clock - 10);
    gone->pid = 41;
    live->pid = 42;
    fake.dead_pids = {41};
    enforce_multiple_logins(2);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(gone->ended, SESSION_STALE);
    EXPECT_EQ(live->ended, SESSION_OPEN);

    multiple_threshold = 0;
    gone->ended = SESSION_OPEN;
    for (SessionRecord* r : {gone, live}) {
        r->groups[0] = 100;
        r->groups[1] = -1;
        r->maxuser_gid = 100;
        r->maxuser_limit = 1;
    }
    EXPECT_EQ(enforce_group_limit(live, 2), 0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(gone->ended, SESSION_STALE);
}

TEST_F(MultipleCheckTest, FallingBelowTheThresholdForgetsTheWarning) {
    multiple_threshold = 3;
    multiples = 1;
    Sessions(3, 1);
    enforce_multiple_logins(3);
    EXPECT_EQ(Warned(), 2);
    multiple_threshold = 4;
    enforce_multiple_logins(3);
    EXPECT_EQ(Warned(), 0);
    multiple_threshold = 3;
    enforce_multiple_logins(3);
    EXPECT_EQ(fake.forks, 4);  // warned again, not logged out
    EXPECT_EQ(Warned(), 2);
}

TEST_F(MultipleCheckTest, ExemptEarlyLoginUsesUpAPlace) {
    multiple_threshold = 1;
    multiples = 1;
    SessionRecord* first = Login("alice", "pts/1", fake.clock - 100);
    SessionRecord* second = Login("alice", "pts/2", fake.clock - 50);
    first->exempt = WARN_MULTIPLE;
    enforce_multiple_logins(2);
    EXPECT_EQ(second->warned, WARN_MULTIPLE);

    second->exempt = WARN_MULTIPLE;
    second->warned = 0;
    enforce_multiple_logins(2);
    EXPECT_EQ(fake.forks, 1);
}

TEST_F(MultipleCheckTest, ConsoleAllowance) {
    multiple_threshold = 1;
    multiples = 1;
    Sessions(4, 1);
    std::snprintf(console_user, sizeof console_user, "u00");
    struct {
        int32_t console_multiple;
        int warned;
    } cases[] = {{3, 1}, {0, 3}, {-2, 3}, {-1, 0}};
    for (const auto& c : cases) {
        for (int i = 0; i < 4; ++i) SessionTable[i].warned = 0;
        console_multiple = c.console_multiple;
        enforce_multiple_logins(4);
        EXPECT_EQ(Warned(), c.warned) << c.console_multiple;
    }
}

TEST_F(MultipleCheckTest, NegativeThresholdWithNoSessions) {
    multiple_threshold = -1;
    multiples = -1;
    enforce_multiple_logins(0);
    EXPECT_EQ(fake.forks, 0);
}

class GroupLimitTest : public CheckTest {
   protected:
    // n sessions, all members of group 100 (as primary or supplementary).
    void Members(int n) {
        for (int i = 0; i < n; ++i) {
            char line[16];
            std::snprintf(line, sizeof line, "pts/%d", i);
            SessionRecord* r = Login("member", line, fake.clock);
            r->groups[0] = i % 2 ? 100 : 5;
            r->groups[1] = 100;
            r->groups[2] = -1;
        }
    }
};

TEST_F(GroupLimitTest, LastSessionOverTheLimit) {
    Members(3);
    SessionRecord* last = ActiveSessions[2];
    last->maxuser_gid = 100;
    last->maxuser_limit = 3;
    enforce_group_limit(last, 3);
    EXPECT_EQ(fake.forks, 0);

    Login("other", "pts/9", fake.clock);  // not a member: does not count
    SessionRecord* fourth = Login("member", "pts/10", fake.clock);
    fourth->groups[0] = 100;
    fourth->groups[1] = -1;
    fourth->maxuser_gid = 100;
    fourth->maxuser_limit = 3;
    enforce_group_limit(fourth, 5);
    EXPECT_EQ(fake.forks, 1);
    EXPECT_EQ(fourth->warned, WARN_MAXUSER);
    EXPECT_EQ(last->warned, 0u);
}

TEST_F(GroupLimitTest, LimitZeroExemptionAndNoRule) {
    Members(1);
    SessionRecord* r = ActiveSessions[0];
    r->maxuser_gid = 100;
    r->maxuser_limit = 0;
    enforce_group_limit(r, 1);
    EXPECT_EQ(fake.forks, 1);

    r->exempt = EXEMPT_ALL;
    enforce_group_limit(r, 1);
    EXPECT_EQ(fake.forks, 1);

    r->exempt = 0;
    r->maxuser_gid = 0;  // no rule matched: group 0 is never limited
    r->groups[0] = 0;
    enforce_group_limit(r, 1);
    EXPECT_EQ(fake.forks, 1);

    r->maxuser_gid = -1;  // a rule for an unknown group limits nobody
    enforce_group_limit(r, 1);
    EXPECT_EQ(fake.forks, 1);
}

}  // namespace
