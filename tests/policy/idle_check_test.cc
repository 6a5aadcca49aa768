#include "policy/idle_check.h"

#include <limits>

#include "check_fixture.h"
#include "policy/clock_step.h"

namespace {

class IdleCheckTest : public CheckTest {
   protected:
    // A session on pts/1 logged in an hour ago with a 900-second limit,
    // whose terminal was last read idle_for seconds ago.
    SessionRecord* IdleSession(time_t idle_for, time_t written_ago = 100000) {
        SessionRecord* r = Login("alice", "pts/1", fake.clock - 3600);
        r->idle_limit = 900;
        fake.SetTimes("/dev/pts/1", fake.clock - idle_for, fake.clock - written_ago);
        return r;
    }
};

TEST_F(IdleCheckTest, SlackDecidesBetweenActiveAndIdle) {
    warn_time = 300;
    SessionRecord* r = IdleSession(900 - 6);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, fake.clock - (900 - 6) + 900);

    fake.SetTimes("/dev/pts/1", fake.clock - (900 - 5), 0);
    enforce_idle(0);
    ASSERT_EQ(fake.forks, 1);
    EXPECT_EQ(r->warned, WARN_IDLE);
    EXPECT_EQ(r->next_check, fake.clock + 300);
    EXPECT_EQ(forks[0].idle_limit, 900);

    // Still idle at the end of the grace: the second call logs out.
    fake.clock += 300;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 2);
    EXPECT_EQ(forks[1].warned & WARN_IDLE, WARN_IDLE);
    EXPECT_EQ(r->next_check, fake.clock - (900 - 5) - 300 + 900);
}

TEST_F(IdleCheckTest, TypingDuringGraceClearsTheWarning) {
    warn_time = 300;
    SessionRecord* r = IdleSession(1000);
    enforce_idle(0);
    ASSERT_EQ(r->warned, WARN_IDLE);
    fake.clock += 200;
    fake.SetTimes("/dev/pts/1", fake.clock - 10, 0);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);
    EXPECT_EQ(r->warned, 0u);
    EXPECT_EQ(r->next_check, fake.clock - 10 + 900);
}

TEST_F(IdleCheckTest, YoungSessionIsActiveWhateverTheDevice) {
    SessionRecord* r = IdleSession(100000);
    r->login_time = fake.clock - (900 - 6);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    r->login_time = fake.clock - (900 - 5);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);
}

TEST_F(IdleCheckTest, NoGraceLogsOutAtOnce) {
    warn_time = 0;
    SessionRecord* r = IdleSession(2000);
    enforce_idle(0);
    ASSERT_EQ(forks.size(), 1u);
    // The bit is set before the child is forked, so the child logs out.
    EXPECT_EQ(forks[0].warned, WARN_IDLE);
    EXPECT_EQ(r->next_check, fake.clock);
}

TEST_F(IdleCheckTest, InputOutputCountsOutputOnlyBeforeTheWarning) {
    idle_method = 1;
    warn_time = 300;
    SessionRecord* r = IdleSession(2000, 10);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, fake.clock - 10 + 900);

    // Once warned, output (the warning itself) no longer counts.
    r->warned = WARN_IDLE;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);

    idle_method = 0;
    r->warned = 0;
    r->ended = SESSION_OPEN;  // as a new login on the same terminal
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 2);
}

TEST_F(IdleCheckTest, ConsoleWindowSettingsForTheConsoleUsersOtherSessions) {
    warn_time = 60;
    std::snprintf(console_user, sizeof console_user, "alice");
    SessionRecord* r = IdleSession(700);
    r->next_check = 12345;

    console_idle = -1;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, 12345);

    console_idle = 600;
    enforce_idle(0);
    ASSERT_EQ(fake.forks, 1);
    EXPECT_EQ(forks[0].shown, 600);  // the warning names 10 minutes
    EXPECT_EQ(r->idle_limit, 900);   // and the session's own limit is untouched

    r->idle_limit = -1;  // a session without an idle limit stays unchecked
    r->warned = 0;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);
}

TEST_F(IdleCheckTest, ExemptSessionIsTrackedButNeverWarned) {
    SessionRecord* r = IdleSession(100);
    r->exempt = WARN_IDLE;
    enforce_idle(0);
    EXPECT_EQ(r->next_check, fake.clock - 100 + 900);
    fake.clock += 5000;
    int64_t before = r->next_check;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, before);
}

TEST_F(IdleCheckTest, ActiveNextCheckIsCappedAtTheSessionsEnd) {
    SessionRecord* r = IdleSession(0);
    r->session_limit = 3700;  // ends in 100 seconds
    enforce_idle(0);
    EXPECT_EQ(r->next_check, r->login_time + 3700);
}

TEST_F(IdleCheckTest, UnexaminableTerminalIsNeverLoggedOut) {
    SessionRecord* r = Login("alice", "pts/9", fake.clock - 100000);
    r->idle_limit = 900;
    r->warned = WARN_IDLE;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, fake.clock + 900);
}

TEST_F(IdleCheckTest, DeviceTimesAtTheEndsOfTheRangeDoNotOverflow) {
    SessionRecord* r = IdleSession(0);
    fake.SetTimes("/dev/pts/1", std::numeric_limits<time_t>::max(), 0);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r->next_check, fake.clock + 900);  // a future stamp is use now, no later
    fake.SetTimes("/dev/pts/1", std::numeric_limits<time_t>::min(), 0);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);
}

// A device time after now is use when first seen: a user may set their
// terminal's times, and must not be exempt for as long as the time says.
TEST_F(IdleCheckTest, FutureDeviceTimeCountsFromWhenFirstSeen) {
    warn_time = 60;
    SessionRecord* r = IdleSession(-86400, -86400);
    time_t seen = fake.clock;
    enforce_idle(0);
    EXPECT_EQ(r->next_check, seen + 900);  // never later than now and the limit
    fake.clock += 600;
    enforce_idle(0);  // unchanged: still the first sight
    EXPECT_EQ(r->next_check, seen + 900);
    fake.clock = seen + 900;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 1);
    EXPECT_EQ(r->next_check, fake.clock + 60);
    // Moved to another future time: that is use again, seen now.
    fake.SetTimes("/dev/pts/1", fake.clock + 5, 0);
    enforce_idle(0);
    EXPECT_EQ(r->warned, 0u);
    EXPECT_EQ(r->next_check, fake.clock + 900);
}

class ConsoleIdleTest : public IdleCheckTest {
   protected:
    SessionRecord* Console(int32_t limit) {
        SessionRecord* r = Login("carol", "console", fake.clock - 3600);
        r->idle_limit = limit;
        fake.SetTimes("/dev/console", fake.clock - 5000, fake.clock - 5000);
        return r;
    }
};

TEST_F(ConsoleIdleTest, KeyboardAndMouseShowUse) {
    SessionRecord* r = Console(600);
    fake.SetTimes("/dev/kbd", 0, fake.clock - 30);
    fake.SetTimes("/dev/mouse", fake.clock - 20, 0);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    // The keyboard was used within the limit: the mouse is not looked at.
    EXPECT_EQ(fake.examined, (std::vector<std::string>{"/dev/kbd", "/dev/console"}));
    EXPECT_EQ(r->next_check, fake.clock - 30 + 600);

    fake.examined.clear();
    fake.SetTimes("/dev/kbd", 0, fake.clock - 4000);
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(fake.examined, (std::vector<std::string>{"/dev/kbd", "/dev/mouse", "/dev/console"}));
    EXPECT_EQ(r->next_check, fake.clock - 20 + 600);

    // Nothing used for the limit: warned with its own limit, not console_idle.
    console_idle = 60;
    std::snprintf(console_user, sizeof console_user, "carol");
    fake.SetTimes("/dev/mouse", 0, 0);
    warn_time = 120;
    enforce_idle(0);
    ASSERT_EQ(fake.forks, 1);
    EXPECT_EQ(forks[0].idle_limit, 600);
    EXPECT_EQ(r->next_check, fake.clock + 120);
}

TEST_F(ConsoleIdleTest, FutureKeyboardAndMouseTimesCountFromWhenFirstSeen) {
    SessionRecord* r = Console(600);
    warn_time = 60;
    for (const char* dev : {"/dev/kbd", "/dev/mouse"}) {
        SCOPED_TRACE(dev);
        fake.SetTimes("/dev/kbd", 0, std::strcmp(dev, "/dev/kbd") == 0 ? fake.clock + 86400 : 0);
        fake.SetTimes("/dev/mouse", 0, std::strcmp(dev, "/dev/kbd") == 0 ? 0 : fake.clock + 86400);
        time_t seen = fake.clock;
        enforce_idle(0);
        EXPECT_EQ(r->next_check, seen + 600);
        fake.clock = seen + 600;
        enforce_idle(0);
        EXPECT_EQ(r->warned, WARN_IDLE);
        r->warned = 0;
    }
    EXPECT_EQ(fake.forks, 2);
}

TEST_F(ConsoleIdleTest, ZeroLimitIsAScreenLockLogout) {
    SessionRecord* r = Console(0);
    r->warned = WARN_IDLE | WARN_SESSION | WARN_XLOCK;
    r->next_check = 777;
    enforce_idle(0);
    ASSERT_EQ(forks.size(), 1u);
    EXPECT_EQ(forks[0].warned, WARN_XLOCK);
    EXPECT_EQ(r->next_check, 777);
}

TEST_F(ConsoleIdleTest, ExemptConsoleIsNotLookedAt) {
    SessionRecord* r = Console(0);
    r->exempt = EXEMPT_ALL;
    r->next_check = 777;
    enforce_idle(0);
    EXPECT_EQ(fake.forks, 0);
    EXPECT_TRUE(fake.examined.empty());
    EXPECT_EQ(r->next_check, 777);
}

}  // namespace

namespace {

// After a step of the wall clock a terminal keeps the idleness it really had:
// a day forward does not make it idle, a day back does not make it look used
// a day from now; once typed on, its new times count as they are.
TEST_F(IdleCheckTest, ClockStepKeepsTheTerminalsIdleness) {
    for (time_t step : {86400, -86400}) {
        SetUp();
        used = 0;
        SessionRecord* r = IdleSession(800);
        time_t used_at = fake.clock - 800;
        EXPECT_EQ(clock_step_check(fake.clock, fake.monotonic()), 0);
        fake.Step(step);
        EXPECT_EQ(clock_step_check(fake.clock, fake.monotonic()), step);
        EXPECT_EQ(r->clock_shift, step);
        enforce_idle(0);
        EXPECT_EQ(fake.forks, 0) << step;
        EXPECT_EQ(r->next_check, used_at + step + 900) << step;
        fake.clock += 60;
        fake.SetTimes("/dev/pts/1", fake.clock - 10, fake.clock - 10);
        enforce_idle(0);
        EXPECT_EQ(r->next_check, fake.clock - 10 + 900) << step;
    }
}

// A session's length and the memory of users cut off for it follow the step.
TEST_F(IdleCheckTest, ClockStepMovesSessionStartAndRefusals) {
    session_threshold = 1;
    refuse_time = 1800;
    SessionRecord* r = Login("alice", "pts/1", fake.clock - 100);
    r->session_limit = 3600;
    remember_session_user(r);
    clock_step_check(fake.clock, fake.monotonic());
    fake.Step(86400);
    clock_step_check(fake.clock, fake.monotonic());
    EXPECT_EQ(enforce_session_length(1), 0);
    EXPECT_EQ(fake.forks, 0);
    fake.Step(-2 * 86400);
    clock_step_check(fake.clock, fake.monotonic());
    fake.clock += 1801;
    SessionRecord* again = Login("alice", "pts/2", fake.clock);
    mark_recent_session_user(again);
    EXPECT_EQ(again->refused, 0);
    EXPECT_EQ(r->login_time, fake.clock - 1801 + 86400 - 100);  // kept as written
}

}  // namespace
