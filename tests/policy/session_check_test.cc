#include "policy/session_check.h"

#include "check_fixture.h"

namespace {

using SessionCheckTest = CheckTest;

TEST_F(SessionCheckTest, ThresholdGatesTheCheck) {
    SessionRecord* a = Login("alice", "pts/1", fake.clock - 100000);
    Login("bob", "pts/2", fake.clock);
    a->session_limit = 60;
    a->warned = WARN_SESSION;
    session_threshold = 0;
    EXPECT_EQ(enforce_session_length(2), 0);
    session_threshold = 3;
    EXPECT_EQ(enforce_session_length(2), 0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(a->warned, WARN_SESSION);  // a check that does not run changes nothing
}

TEST_F(SessionCheckTest, WarnedAtTheLimitLoggedOutAtTheEndOfTheGrace) {
    session_threshold = 1;
    warn_time = 300;
    refuse_time = 1800;
    time_t start = fake.clock;
    SessionRecord* r = Login("alice", "pts/1", start);
    r->session_limit = 3600;
    watch = 0;

    fake.clock = start + 3599;
    EXPECT_EQ(enforce_session_length(1), 0);
    EXPECT_EQ(fake.forks, 0);

    fake.clock = start + 3600;  // exactly at the limit is over it
    EXPECT_EQ(enforce_session_length(1), fake.clock + 300);
    ASSERT_EQ(fake.forks, 1);
    EXPECT_EQ(forks[0].session_limit, 3600);
    EXPECT_EQ(r->warned, WARN_SESSION);

    fake.clock = start + 3600 + 294;  // grace not over: no call, a wake-up 10 s on
    EXPECT_EQ(enforce_session_length(1), fake.clock + 10);
    EXPECT_EQ(fake.forks, 1);

    fake.clock = start + 3600 + 295;
    EXPECT_EQ(enforce_session_length(1), fake.clock + 10);
    EXPECT_EQ(fake.forks, 2);

    // Remembered at the logout: a new login within refuse_time is refused,
    // one exactly refuse_time later too, one a second after that is not.
    time_t logout = fake.clock;
    SessionRecord* again = Login("alice", "pts/3", logout + 1800);
    fake.clock = logout + 1800;
    mark_recent_session_user(again);
    EXPECT_EQ(again->refused, 1);
    again->refused = 0;
    fake.clock = logout + 1801;
    mark_recent_session_user(again);
    EXPECT_EQ(again->refused, 0);
}

TEST_F(SessionCheckTest, WarningSurvivesACycleBelowTheThreshold) {
    session_threshold = 2;
    warn_time = 60;
    SessionRecord* r = Login("alice", "pts/1", fake.clock - 4000);
    Login("bob", "pts/2", fake.clock);
    r->session_limit = 3600;
    watch = 0;
    enforce_session_length(2);
    ASSERT_EQ(r->warned, WARN_SESSION);
    fake.clock += 100;
    enforce_session_length(1);  // too few sessions: nothing changes
    enforce_session_length(2);
    EXPECT_EQ(fake.forks, 2);
    EXPECT_EQ(forks.back().warned & WARN_SESSION, WARN_SESSION);  // a logout, no new warning
}

// A session warned long after its limit (the threshold was met late) still
// gets the whole grace from the warning, at the warn time then in force.
TEST_F(SessionCheckTest, LateWarningGetsTheWholeGrace) {
    session_threshold = 1;
    warn_time = 300;
    SessionRecord* r = Login("alice", "pts/1", fake.clock - 100000);
    r->session_limit = 3600;
    time_t warned = fake.clock;
    EXPECT_EQ(enforce_session_length(1), warned + 300);
    warn_time = 60;
    fake.clock = warned + 120;
    EXPECT_EQ(enforce_session_length(1), warned + 300);
    EXPECT_EQ(fake.forks, 1);
    fake.clock = warned + 295;
    enforce_session_length(1);
    EXPECT_EQ(fake.forks, 2);
}

TEST_F(SessionCheckTest, LimitsFromDefaultAndConsoleSettings) {
    session_threshold = 1;
    warn_time = 60;
    SessionRecord* r = Login("carol", "pts/1", fake.clock - 700);
    watch = 0;

    session_default = -1;  // no limit at all, console settings or not
    std::snprintf(console_user, sizeof console_user, "carol");
    console_session = 60;
    EXPECT_EQ(enforce_session_length(1), 0);

    session_default = 10;  // 600 seconds, then replaced by console_session
    EXPECT_GT(enforce_session_length(1), 0);
    ASSERT_EQ(forks.size(), 1u);
    EXPECT_EQ(forks[0].shown, 60);
    EXPECT_EQ(r->session_limit, 0);

    console_session = -1;
    r->warned = 0;
    EXPECT_EQ(enforce_session_length(1), 0);
    EXPECT_EQ(fake.forks, 1);

    console_session = -2;
    r->exempt = WARN_SESSION;
    EXPECT_EQ(enforce_session_length(1), 0);
    EXPECT_EQ(fake.forks, 1);
}

TEST_F(SessionCheckTest, NoGraceLogsOutAtOnceAndRefuseTimeZeroRemembersNobody) {
    session_threshold = 1;
    warn_time = 0;
    SessionRecord* r = Login("alice", "pts/1", fake.clock - 4000);
    r->session_limit = 3600;
    watch = 0;
    EXPECT_EQ(enforce_session_length(1), fake.clock + 10);
    ASSERT_EQ(forks.size(), 1u);
    EXPECT_EQ(forks[0].warned, WARN_SESSION);

    SessionRecord* again = Login("alice", "pts/2", fake.clock);
    mark_recent_session_user(again);
    EXPECT_EQ(again->refused, 0);
}

TEST_F(SessionCheckTest, RefusalsSpareExemptSessions) {
    SessionRecord* a = Login("alice", "pts/1", fake.clock);
    SessionRecord* b = Login("bob", "pts/2", fake.clock);
    Login("carol", "pts/3", fake.clock);
    a->refused = 1;
    b->refused = 1;
    b->exempt = WARN_REFUSED;
    enforce_refusals(3);
    EXPECT_EQ(fake.forks, 1);
    EXPECT_EQ(a->warned, 0u);
    // The refusal was its logout: the record is never acted on again.
    EXPECT_EQ(a->ended, SESSION_LOGGED_OUT);
    enforce_refusals(3);
    EXPECT_EQ(fake.forks, 1);
}

}  // namespace
