#include "daemon/cycle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "base/event_log.h"
#include "base/signals.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "enforce/warn.h"
#include "fake_platform.h"
#include "policy/clock_step.h"

namespace {

// Recorders in place of the checks note each call in trace.
std::string trace;
FakePlatform* fake_clock;
time_t idle_next = -1;                 // >= 0: the idle check sets next_check to now + this
time_t session_result, session_delay;  // the session check's result, and the seconds it takes
bool multiple_reverses;                // the multiple-login check reverses ActiveSessions
time_t multiple_result, group_result;  // what those two checks return
const SessionRecord* group_taken;      // the login the group check was given

void Note(const std::string& s) {
    trace += s + ";";
}

const CycleChecks recorders = {
    [](SessionRecord* r) { Note(std::string("mark ") + r->user); },
    [](const SessionRecord* r) { Note(std::string("prune ") + r->user); },
    [](int slot) {
        Note("idle " + std::to_string(slot));
        if (idle_next >= 0)
            SessionTable[slot].next_check = fake_clock->clock + idle_next;
    },
    [](int n) {
        std::string s = "refuse";
        for (int i = 0; i < n; ++i) s += std::string(" ") + ActiveSessions[i]->user;
        Note(s);
    },
    [](int n) {
        Note("session " + std::to_string(n));
        fake_clock->clock += std::exchange(session_delay, 0);
        return session_result;
    },
    [](int n) {
        Note("multiple " + std::to_string(n));
        if (multiple_reverses)
            std::reverse(ActiveSessions, ActiveSessions + n);
        return multiple_result;
    },
    [](SessionRecord* r, int n) {
        Note(std::string("group ") + r->user + " " + std::to_string(n));
        group_taken = r;
        return group_result;
    },
    [](int) { return time_t{0}; },  // the hours check, not traced
};

class CycleTest : public testing::Test {
   protected:
    void SetUp() override {
        fake.Install();
        fake_clock = &fake;
        settings_init();
        session_table_reset();
        clock_step_reset();
        rule_lists_init();
        idle_enabled = multiple_enabled = refuse_enabled = session_enabled = group_enabled = true;
        saved_ = std::exchange(cycle_checks, recorders);
        trace.clear();
        idle_next = -1;
        session_result = session_delay = 0;
        multiple_result = group_result = 0;
        multiple_reverses = false;
        std::remove(log_file_.c_str());
        log_path = log_file_.c_str();
    }
    void TearDown() override {
        cycle_checks = saved_;
        clear_rules(timeout_list);
        log_path = PATH_LOG;
        std::remove(log_file_.c_str());
    }
    std::string Log() {
        std::stringstream s;
        s << std::ifstream(log_file_).rdbuf();
        return s.str();
    }
    std::string Scan(int reloaded = 0) {
        trace.clear();
        poll_scan(reloaded);
        return trace;
    }

    FakePlatform fake;
    CycleChecks saved_{};
    // One file per process: ctest runs the tests of this suite in parallel.
    std::string log_file_ = testing::TempDir() + "cycle_test." + std::to_string(getpid()) + ".log";
};

constexpr const char* NO_BOB = "Error:  could not get info on supposed user bob.\n";

TEST_F(CycleTest, SlotsFollowTheLogins) {
    fake.AddLogin("", "pts/7", "", 0);  // nameless: never a login
    fake.AddLogin("", "pts/0", "", 0, DEAD_PROCESS);
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddLogin("", "tty1", "", 0, LOGIN_PROCESS);
    fake.AddLogin("", "pts/8", "", 150);
    fake.AddLogin("bob", "pts/2", "far.example.org.uk", 200);
    fake.AddUser("alice", 1001, 100);
    multiple_reverses = true;  // the group check still gets the login scanned last
    add_rule(timeout_list, GROUP, strdup("nobody's"), 4242, 5);  // groups are asked for

    // Only user logins take a slot, in scan order.
    EXPECT_EQ(Scan(),
              "mark alice;prune alice;idle 0;mark bob;prune bob;idle 1;refuse alice bob;"
              "session 2;multiple 2;group bob 2;");
    EXPECT_EQ(Log(), NO_BOB);
    EXPECT_EQ(session_count, 2);
    EXPECT_STREQ(SessionTable[0].host, "localhost");
    EXPECT_STREQ(SessionTable[1].host, "far.example.org.");
    EXPECT_STREQ(SessionTable[1].tty_path, "/dev/pts/2");
    EXPECT_EQ(SessionTable[0].groups[0], 100);

    // Known logins: no look-up, no set-up, the idle check only when due.
    int lookups = fake.pw_lookups;
    idle_next = 100;
    EXPECT_EQ(Scan(), "idle 0;idle 1;refuse alice bob;session 2;multiple 2;group bob 2;");
    EXPECT_EQ(Scan(), "refuse alice bob;session 2;multiple 2;group bob 2;");
    EXPECT_EQ(fake.pw_lookups, lookups);

    // A new login time, then an unknown user, on alice's line: new logins,
    // without the old warnings; the unknown user gets none of alice's groups.
    SessionTable[0].warned = WARN_IDLE;
    fake.logins[2].ut_tv.tv_sec = 300;
    EXPECT_EQ(Scan().substr(0, 30), "mark alice;prune alice;idle 0;");
    EXPECT_EQ(SessionTable[0].warned, 0u);
    std::strcpy(fake.logins[2].ut_user, "ghost");
    Scan();
    EXPECT_EQ(SessionTable[0].groups[0], -1);
    EXPECT_EQ(Log(), std::string(NO_BOB) + "Error:  could not get info on supposed user ghost.\n");

    // Entries in front, or the logins in another order, change no login:
    // each keeps its record, warnings included, in its new place.
    SessionTable[1].warned = WARN_IDLE;
    struct utmpx dead = fake.logins[1];
    fake.logins.insert(fake.logins.begin(), 600, dead);
    std::swap(fake.logins[602], fake.logins[605]);
    EXPECT_EQ(Scan(), "refuse bob ghost;session 2;multiple 2;group ghost 2;");
    EXPECT_STREQ(SessionTable[0].user, "bob");
    EXPECT_EQ(SessionTable[0].warned, WARN_IDLE);
    EXPECT_EQ(fake.pw_lookups, lookups + 2);

    // A login gone frees its slot; the same login back later is new again.
    struct utmpx bob = fake.logins[602];
    fake.logins[602] = dead;
    EXPECT_EQ(Scan(), "refuse ghost;session 1;multiple 1;group ghost 1;");
    EXPECT_EQ(session_count, 1);
    fake.logins[602] = bob;
    EXPECT_EQ(Scan().substr(0, 18), "mark bob;prune bob");
    EXPECT_EQ(SessionTable[0].warned, 0u);
}

// A login's groups are asked of the name service only once a rule names a
// group, and then for the logins already known too.
TEST_F(CycleTest, GroupsAskedForOnlyWithGroupRules) {
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddUser("alice", 1001, 100);
    add_rule(timeout_list, LOGIN, strdup("alice"), 0, 5);
    Scan();
    EXPECT_EQ(SessionTable[0].groups[0], -1);
    EXPECT_TRUE(fake.group_list_sizes.empty());
    add_rule(timeout_list, GROUP, strdup("staff"), 100, 10);
    Scan(1);
    EXPECT_EQ(SessionTable[0].groups[0], 100);
    EXPECT_EQ(SessionTable[0].idle_limit, 300);  // the login rule still decides
    EXPECT_EQ(fake.group_list_sizes.size(), 1u);
    Scan(1);
    EXPECT_EQ(fake.group_list_sizes.size(), 1u);
}

TEST_F(CycleTest, ReloadResolvesKnownLoginsAgain) {
    fake.AddLogin("alice", "pts/1", "", 100);
    Scan();
    add_rule(timeout_list, DEFAULT, nullptr, 0, 10);
    SessionTable[0].warned = WARN_IDLE;
    SessionTable[0].next_check = fake.clock + 1000;
    EXPECT_EQ(Scan(0), "refuse alice;session 1;multiple 1;group alice 1;");
    EXPECT_EQ(SessionTable[0].idle_limit, -1);
    EXPECT_EQ(Scan(1), "idle 0;refuse alice;session 1;multiple 1;group alice 1;");
    EXPECT_EQ(SessionTable[0].idle_limit, 600);
    EXPECT_EQ(SessionTable[0].warned, 0u);
}

TEST_F(CycleTest, WakeTime) {
    struct Case {
        time_t next_check;  // all times relative to the pass's start
        bool idle_on;
        time_t session;  // what the session check returns; 0 none
        bool idle_runs;
        time_t wake;
    } cases[] = {
        {3, true, 0, true, 3},     {5, true, 0, false, 5},    {100, true, 0, false, 60},
        {-10, true, 0, true, 60},  {5, false, 0, false, 60},  {100, true, 20, false, 20},
        {30, true, 20, false, 20}, {10, true, 90, false, 10},
    };
    sleep_interval = 60;
    fake.AddLogin("alice", "pts/1", "", 100);
    Scan();
    for (const Case& c : cases) {
        time_t t0 = fake.clock;
        idle_enabled = c.idle_on;
        SessionTable[0].next_check = t0 + c.next_check;
        session_result = c.session ? t0 + c.session : 0;
        trace.clear();
        EXPECT_EQ(poll_scan(0), t0 + c.wake) << c.next_check << " " << c.session;
        EXPECT_EQ(trace.find("idle") == 0, c.idle_runs) << c.next_check;
    }
}

// A new login warned at once is followed up when its grace ends, not a
// whole interval later; the database is closed after every scan.
TEST_F(CycleTest, NewLoginsNextCheckMovesTheWakeTime) {
    sleep_interval = 60;
    idle_next = 20;
    fake.AddLogin("alice", "pts/1", "", 100);
    time_t t0 = fake.clock;
    EXPECT_EQ(poll_scan(0), t0 + 20);
    EXPECT_EQ(fake.utx_closes, 1);
    idle_enabled = false;
    fake.logins[0].ut_tv.tv_sec = 200;
    EXPECT_EQ(poll_scan(0), t0 + 60);
}

TEST_F(CycleTest, NewLoginLowersSleepInterval) {
    struct Case {
        int32_t sleep, minutes;
        bool idle_on;
        int32_t sleep_after;
    } cases[] = {{300, 2, true, 120},
                 {300, 2, false, 120},
                 {300, 10, true, 300},
                 {300, 0, true, 300},
                 {0, 2, true, 0}};
    for (const Case& c : cases) {
        session_table_reset();
        clock_step_reset();
        clear_rules(timeout_list);
        add_rule(timeout_list, DEFAULT, nullptr, 0, c.minutes);
        fake.logins.clear();
        fake.AddLogin("alice", "pts/1", "", 100);
        sleep_interval = c.sleep;
        idle_enabled = c.idle_on;
        EXPECT_EQ(poll_scan(0), fake.clock + c.sleep_after) << c.sleep << " " << c.minutes;
        EXPECT_EQ(poll_scan(0), fake.clock + c.sleep_after);  // for good
    }
}

TEST_F(CycleTest, TooManyUsersAndEmptyDatabase) {
    sleep_interval = 60;
    EXPECT_EQ(poll_scan(0), fake.clock + 60);
    EXPECT_EQ(trace, "refuse;session 0;multiple 0;");

    for (int i = 0; i < MAXUSERS; ++i) {
        fake.AddLogin(std::to_string(i), std::to_string(i), "", 100 + i);
        if (i != 7)
            fake.AddUser(std::to_string(i), 1000 + i, 100);
    }
    Scan();
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user 7.\n");
    const std::string last = std::to_string(MAXUSERS - 1), all = std::to_string(MAXUSERS);
    fake.AddLogin(all, all, "", 600);
    Scan();
    EXPECT_NE(Scan().find("multiple " + all + ";group " + last + " " + all + ";"),
              std::string::npos);
    const std::string too_many =
        "Error:  too many users.  Recompile with higher 'MAXUSERS' setting.\n";
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user 7.\n" + too_many + too_many);
}

TEST_F(CycleTest, ConsoleUser) {
    fake.AddLogin("root", "console", "", 100);
    fake.AddLogin("", "pts/1", "", 0, DEAD_PROCESS);
    Scan();
    EXPECT_STREQ(console_user, "root");
    fake.logins[0].ut_type = DEAD_PROCESS;
    Scan();
    EXPECT_STREQ(console_user, "");
}

TEST_F(CycleTest, FieldsWithoutTerminator) {
    struct utmpx& u = fake.AddLogin("", "", "", 100);
    std::memset(u.ut_user, 'u', sizeof u.ut_user);
    std::memset(u.ut_line, 'l', sizeof u.ut_line);
    std::memset(u.ut_host, 'h', sizeof u.ut_host);
    Scan();
    Scan();  // the cut name still identifies the login
    EXPECT_EQ(std::string(SessionTable[0].tty_path), "/dev/" + std::string(sizeof u.ut_line, 'l'));
    EXPECT_EQ(std::string(SessionTable[0].host), std::string(16, 'h'));
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user uuuuuuuuuuuuuuuuuu.\n");
}

// A step of the wall clock is logged once and moves what the daemon keeps on
// it; the login keeps its identity; a grace in force starts again; a drift
// within CLOCK_STEP_MIN is no step.
TEST_F(CycleTest, ClockStepMovesKeptTimes) {
    sleep_interval = 60;
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddUser("alice", 1001, 100);
    Scan();
    SessionRecord* r = &SessionTable[0];
    time_t due = fake.clock + 500;
    r->next_check = due;
    r->warned = WARN_MULTIPLE;
    r->multiple_grace = {fake.clock - 10, 300};
    char stamp[26];
    std::string log;
    for (time_t step : {86400, 29, -86400}) {
        fake.Step(step);
        EXPECT_EQ(Scan(), "refuse alice;session 1;multiple 1;group alice 1;") << step;
        if (step != 29) {
            due += step;
            log += std::string(log_stamp(fake.clock, stamp), 19) + " : clock stepped " +
                   (step > 0 ? "+" : "") + std::to_string(step) + " seconds.\n";
            EXPECT_EQ(r->multiple_grace.warned_at, fake.clock);
        }
        EXPECT_EQ(r->next_check, due) << step;
        EXPECT_EQ(Log(), log);
    }
    EXPECT_EQ(r->login_time, 100);
    EXPECT_EQ(session_start(r), 100);

    // A login written before a step and first seen after it starts on the
    // clock in force, and so does its terminal's last use; one written after
    // it as it is.
    fake.AddLogin("bob", "pts/2", "", fake.clock - 20);
    fake.SetTimes("/dev/pts/2", fake.clock - 10, fake.clock - 10);
    fake.AddLogin("carl", "pts/3", "", fake.clock + 3600 + 5);
    fake.SetTimes("/dev/pts/3", fake.clock + 3600 + 8, fake.clock + 3600 + 8);
    fake.Step(3600);
    Scan();
    EXPECT_EQ(session_start(&SessionTable[1]), fake.clock - 20);
    EXPECT_EQ(session_start(&SessionTable[2]), fake.clock + 5);
    time_t atime, mtime;
    ASSERT_EQ(clock_device_times(1, "/dev/pts/2", &atime, &mtime), 0);
    EXPECT_EQ(atime, fake.clock - 10);
    ASSERT_EQ(clock_device_times(2, "/dev/pts/3", &atime, &mtime), 0);
    EXPECT_EQ(atime, fake.clock + 8);
}

// The multiple-login and group checks ask for a pass when a grace ends.
TEST_F(CycleTest, GraceEndsMoveTheWakeTime) {
    sleep_interval = 60;
    fake.AddLogin("alice", "pts/1", "", 100);
    multiple_result = fake.clock + 30;
    EXPECT_EQ(poll_scan(0), fake.clock + 30);
    group_result = fake.clock + 20;
    EXPECT_EQ(poll_scan(0), fake.clock + 20);
}

// The loop sleeps for what is left to the wake time, 0 when the checks ran
// past it (1 without a sleep interval), and always goes through the sleep so
// that termination is taken.
TEST_F(CycleTest, ForeverSleepsUntilWakeTime) {
    struct SleepLogger : FakePlatform {
        int stop_after = 2;
        void sleep_seconds(unsigned s) override {
            log_line("sleep %u", s);
            FakePlatform::sleep_seconds(s);
            if (--stop_after == 0)
                terminate_requested = 1;
        }
        void utx_rewind() override {
            if (++utx_rewinds > 3)
                _exit(2);  // a loop that never sleeps
            FakePlatform::utx_rewind();
        }
    };
    for (int32_t sleep : {60, 0}) {
        SleepLogger p;
        p.Install();
        fake_clock = &p;
        conf_path = "/etc/quelld-test.cf";  // read already, at its current time
        conf_mtime = 5000;
        p.SetTimes(conf_path, 5000, 5000);
        sleep_interval = sleep;
        session_delay = 100;
        EXPECT_EXIT(poll_forever(), testing::ExitedWithCode(1), "");
        // Without a sleep interval the loop still rests a second between passes.
        int first = sleep > 0 ? 0 : 1;
        int second = sleep > 0 ? sleep : 1;
        char stamp[26];
        EXPECT_EQ(Log(), "sleep " + std::to_string(first) + "\nsleep " + std::to_string(second) +
                             "\n" +
                             std::string(log_stamp(p.clock + 100 + first + second, stamp), 24) +
                             "  quelld killed.\n");
        std::remove(log_path);
    }
}

}  // namespace

namespace {

// Under "panes join" the group check takes the last login that is not a
// pane counting with its login: tmux appends its panes after that login.
TEST_F(CycleTest, GroupCheckPassesOverAJoinedPane) {
    fake.AddUser("alice", 1000, 1000);
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddLogin("alice", "pts/2", "tmux(77).%0", 110).ut_pid = 77;
    fake.processes[77] = {"tmux", 1000, {"/dev/pts/1"}};
    Scan();
    EXPECT_EQ(group_taken, &SessionTable[1]);
    pane_join = 1;
    Scan();
    EXPECT_EQ(group_taken, &SessionTable[0]);
}

}  // namespace

// A scan cut short (the database's lock not had) forgets nothing: the
// logins it did not reach keep their records, nothing counts logins
// against each other, and the failure and the recovery are logged once each.
// A login time past January 2038 in glibc's 32-bit field reads as such.
TEST_F(CycleTest, ReadFailureKeepsTheLogins) {
    fake.AddUser("alice", 1001, 100);
    fake.AddUser("bob", 1002, 100);
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddLogin("bob", "pts/2", "", 200).ut_tv.tv_sec = static_cast<int32_t>(2200000000U);
    Scan();
    ASSERT_EQ(session_count, 2);
    EXPECT_EQ(SessionTable[1].login_time, 2200000000);
    SessionTable[1].warned = WARN_IDLE;
    const std::string stamp = Log();

    fake.utx_errno = EWOULDBLOCK;
    fake.utx_stop = 1;
    time_t now = fake.clock;
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(Scan(), "idle 0;");  // the login it reached, and no more
        EXPECT_EQ(session_count, 2);
        EXPECT_EQ(active_count, 0);
        EXPECT_LE(poll_scan(0), now + 5);
    }
    EXPECT_EQ(SessionTable[1].warned, static_cast<uint32_t>(WARN_IDLE));
    fake.utx_errno = 0;
    EXPECT_EQ(Scan(), "idle 0;idle 1;refuse alice bob;session 2;multiple 2;group bob 2;");
    EXPECT_EQ(SessionTable[1].warned, static_cast<uint32_t>(WARN_IDLE));
    std::string day = Log().substr(stamp.size());
    EXPECT_EQ(day, std::string(ctime(&now)).substr(0, 19) +
                       " : cannot read the login database: its lock is held; its logins are "
                       "kept\n" +
                       std::string(ctime(&now)).substr(0, 19) + " : login database read again.\n");
}
