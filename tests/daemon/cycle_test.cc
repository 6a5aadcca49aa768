#include "daemon/cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "daemon/event_log.h"
#include "daemon/signals.h"
#include "enforce/warn.h"
#include "fake_platform.h"

namespace {

// What the recorders saw, and how they behave.
std::string trace;
FakePlatform* fake_clock;
time_t idle_next = -1;   // >= 0: the idle recorder sets next_check to now + idle_next
time_t session_result;   // what the session recorder returns
time_t session_delay;    // seconds the next session check takes
bool multiple_reverses;  // the multiple recorder reverses ActiveSessions

void Note(const std::string& s) {
    trace += s + ";";
}
std::string Users(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(i ? "," : "") + ActiveSessions[i]->user;
    return s;
}
void RecMark(SessionRecord* r) {
    Note(std::string("mark ") + r->user);
}
void RecPrune(const SessionRecord* r) {
    Note(std::string("prune ") + r->user);
}
void RecIdle(int slot) {
    Note("idle " + std::to_string(slot));
    if (idle_next >= 0)
        SessionTable[slot].next_check = fake_clock->clock + idle_next;
}
void RecRefusals(int n) {
    Note("refuse " + Users(n));
}
time_t RecSession(int n) {
    Note("session " + std::to_string(n));
    fake_clock->clock += session_delay;
    session_delay = 0;
    return session_result;
}
void RecMultiple(int n) {
    Note("multiple " + std::to_string(n));
    if (multiple_reverses)
        std::reverse(ActiveSessions, ActiveSessions + n);
}
void RecGroup(SessionRecord* r, int n) {
    Note(std::string("group ") + r->user + " " + std::to_string(n));
}

constexpr const char* TOO_MANY =
    "Error:  too many users.  Recompile with higher 'MAXUSERS' setting.\n";

class CycleTest : public testing::Test {
   protected:
    void SetUp() override {
        fake.Install();
        fake_clock = &fake;
        settings_init();
        session_table_reset();
        rule_lists_init();
        check_idle = check_multiple = check_refuse = check_session = check_group = true;
        saved_checks_ = cycle_checks;
        cycle_checks = {RecMark, RecPrune, RecIdle, RecRefusals, RecSession, RecMultiple, RecGroup};
        trace.clear();
        idle_next = -1;
        session_result = session_delay = 0;
        multiple_reverses = false;
        log_file_ = testing::TempDir() + "cycle_test.log";
        std::remove(log_file_.c_str());
        log_path = log_file_.c_str();
    }
    void TearDown() override {
        cycle_checks = saved_checks_;
        for (RuleList* l : {exempt_list, refuse_list, timeout_list, session_list, maxuser_list})
            clear_rules(l);
        log_path = PATH_LOG;
        std::remove(log_file_.c_str());
    }
    std::string Log() {
        std::ifstream f(log_file_);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    FakePlatform fake;

   private:
    CycleChecks saved_checks_{};
    std::string log_file_;
};

TEST_F(CycleTest, SlotsPositionsAndIdentity) {
    fake.AddLogin("", "pts/7", "", 0);  // nameless, and no login ever took slot 0
    fake.AddLogin("", "pts/0", "", 0, DEAD_PROCESS);
    fake.AddLogin("alice", "pts/1", "", 100);
    fake.AddLogin("", "tty1", "", 0, LOGIN_PROCESS);
    fake.AddLogin("", "pts/8", "", 150);  // nameless: compared with the next entry's slot
    fake.AddLogin("bob", "pts/2", "far.example.org.uk", 200);
    fake.AddUser("alice", 1001, 100);
    fake.AddGroup("staff", 100);
    multiple_reverses = true;

    poll_scan(0);
    EXPECT_EQ(trace,
              "mark alice;prune alice;idle 1;mark bob;prune bob;idle 3;refuse alice,bob;session 2;"
              "multiple 2;group bob 2;");
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user bob.\n");
    EXPECT_EQ(active_count, 2);
    EXPECT_STREQ(SessionTable[0].user, "");
    EXPECT_STREQ(SessionTable[2].user, "");
    EXPECT_STREQ(SessionTable[1].host, "localhost");
    EXPECT_STREQ(SessionTable[3].host, "far.example.org.");
    EXPECT_STREQ(SessionTable[3].tty_path, "/dev/pts/2");
    EXPECT_EQ(SessionTable[3].login_time, 200);
    EXPECT_EQ(SessionTable[1].groups[0], 100);
    EXPECT_EQ(SessionTable[1].groups[1], -1);

    // Known logins: no lookup, no set-up, the idle check only when due.
    int lookups = fake.pw_lookups;
    trace.clear();
    idle_next = 100;
    poll_scan(0);
    EXPECT_EQ(trace, "idle 1;idle 3;refuse alice,bob;session 2;multiple 2;group bob 2;");
    EXPECT_EQ(fake.pw_lookups, lookups);
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user bob.\n");

    // A new login time, and then an unknown user, at alice's slot: new
    // logins; warnings are gone, the unknown user keeps the slot's groups.
    SessionTable[1].warned = WARN_IDLE;
    fake.logins[2].ut_tv.tv_sec = 300;
    trace.clear();
    poll_scan(0);
    EXPECT_EQ(trace.substr(0, 33), "mark alice;prune alice;idle 1;ref");
    EXPECT_EQ(SessionTable[1].warned, 0u);
    std::strcpy(fake.logins[2].ut_user, "ghost");
    poll_scan(0);
    EXPECT_EQ(SessionTable[1].groups[0], 100);
    EXPECT_EQ(Log(),
              "Error:  could not get info on supposed user bob.\n"
              "Error:  could not get info on supposed user ghost.\n");

    // One more entry in front moves every login to another slot: new there.
    struct utmpx dead = fake.logins[1];
    fake.logins.insert(fake.logins.begin(), dead);
    trace.clear();
    poll_scan(0);
    EXPECT_EQ(trace.substr(0, 33), "mark ghost;prune ghost;idle 2;mar");
}

TEST_F(CycleTest, ReloadResolvesKnownLoginsAgain) {
    fake.AddLogin("alice", "pts/1", "", 100);
    poll_scan(0);
    add_rule(timeout_list, DEFAULT, nullptr, 0, 10);
    SessionTable[0].warned = WARN_IDLE;
    SessionTable[0].next_check = fake.clock + 1000;

    trace.clear();
    poll_scan(0);
    EXPECT_EQ(trace, "refuse alice;session 1;multiple 1;group alice 1;");
    EXPECT_EQ(SessionTable[0].idle_limit, -1);

    trace.clear();
    poll_scan(1);
    EXPECT_EQ(trace, "idle 0;refuse alice;session 1;multiple 1;group alice 1;");
    EXPECT_EQ(SessionTable[0].idle_limit, 600);
    EXPECT_EQ(SessionTable[0].warned, 0u);
}

TEST_F(CycleTest, WakeTime) {
    struct Case {
        time_t next_check;  // relative to the pass's start
        bool idle_on;
        time_t session;  // what the session check returns, relative; 0 none
        bool idle_runs;
        time_t wake;
    } cases[] = {
        {3, true, 0, true, 3},     {5, true, 0, false, 5},    {100, true, 0, false, 60},
        {-10, true, 0, true, 60},  {5, false, 0, false, 60},  {100, true, 20, false, 20},
        {30, true, 20, false, 20}, {10, true, 90, false, 10},
    };
    sleep_interval = 60;
    fake.AddLogin("alice", "pts/1", "", 100);
    poll_scan(0);
    for (const Case& c : cases) {
        time_t t0 = fake.clock;
        check_idle = c.idle_on;
        SessionTable[0].next_check = t0 + c.next_check;
        session_result = c.session ? t0 + c.session : 0;
        trace.clear();
        EXPECT_EQ(poll_scan(0), t0 + c.wake) << c.next_check << " " << c.session;
        EXPECT_EQ(trace.find("idle") == 0, c.idle_runs) << c.next_check;
    }
}

TEST_F(CycleTest, NewLoginLowersSleepInterval) {
    struct Case {
        int32_t sleep, minutes;
        bool idle_on;
        int32_t sleep_after;
        time_t wake;
    } cases[] = {
        {300, 2, true, 120, 120}, {300, 2, false, 120, 120}, {300, 10, true, 300, 300},
        {300, 0, true, 300, 300}, {0, 2, true, 0, 0},
    };
    for (const Case& c : cases) {
        session_table_reset();
        clear_rules(timeout_list);
        add_rule(timeout_list, DEFAULT, nullptr, 0, c.minutes);
        fake.logins.clear();
        fake.AddLogin("alice", "pts/1", "", 100);
        sleep_interval = c.sleep;
        check_idle = c.idle_on;
        time_t t0 = fake.clock;
        EXPECT_EQ(poll_scan(0), t0 + c.wake) << c.sleep << " " << c.minutes;
        EXPECT_EQ(sleep_interval, c.sleep_after);
        EXPECT_EQ(poll_scan(0), t0 + c.sleep_after);  // for good, and known logins don't lower it
    }
}

TEST_F(CycleTest, TooManyUsers) {
    for (int i = 0; i < MAXUSERS; ++i) {
        std::string name = "u" + std::to_string(i);
        fake.AddLogin(name, "pts/" + std::to_string(i), "", 100 + i);
        if (i != 7)
            fake.AddUser(name, 1000 + i, 100);
    }
    poll_scan(0);
    EXPECT_EQ(active_count, MAXUSERS);
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user u7.\n");

    fake.AddLogin("u500", "pts/500", "", 600);
    trace.clear();
    poll_scan(0);
    poll_scan(0);
    EXPECT_EQ(Log(), std::string("Error:  could not get info on supposed user u7.\n") + TOO_MANY +
                         TOO_MANY);
    EXPECT_NE(trace.find("multiple 500;group u499 500;"), std::string::npos);
    EXPECT_EQ(trace.find("u500"), std::string::npos);
}

TEST_F(CycleTest, EmptyDatabase) {
    sleep_interval = 60;
    EXPECT_EQ(poll_scan(0), fake.clock + 60);
    EXPECT_EQ(trace, "refuse ;session 0;multiple 0;");
    check_refuse = check_session = check_multiple = false;
    trace.clear();
    poll_scan(0);
    EXPECT_EQ(trace, "");
}

TEST_F(CycleTest, ConsoleUser) {
    fake.AddLogin("root", "console", "", 100);
    fake.AddLogin("", "pts/1", "", 0, DEAD_PROCESS);
    poll_scan(0);
    EXPECT_STREQ(SessionTable[0].tty_path, "/dev/console");
    EXPECT_STREQ(console_user, "root");
    poll_scan(0);
    EXPECT_STREQ(console_user, "root");
    fake.logins[0].ut_type = DEAD_PROCESS;
    poll_scan(0);
    EXPECT_STREQ(console_user, "");
}

TEST_F(CycleTest, FieldsWithoutTerminator) {
    struct utmpx& u = fake.AddLogin("", "", "", 100);
    std::memset(u.ut_user, 'u', sizeof u.ut_user);
    std::memset(u.ut_line, 'l', sizeof u.ut_line);
    std::memset(u.ut_host, 'h', sizeof u.ut_host);
    poll_scan(0);
    poll_scan(0);  // the cut name still identifies the login
    EXPECT_EQ(std::string(SessionTable[0].user), std::string(18, 'u'));
    EXPECT_EQ(std::string(SessionTable[0].tty_path), "/dev/" + std::string(sizeof u.ut_line, 'l'));
    EXPECT_EQ(std::string(SessionTable[0].host), std::string(16, 'h'));
    EXPECT_EQ(Log(), "Error:  could not get info on supposed user uuuuuuuuuuuuuuuuuu.\n");
}

// The loop sleeps for what is left to the wake time, 0 when the checks ran
// past it, and always passes through the sleep so that termination is taken.
class SleepLogger : public FakePlatform {
   public:
    int stop_after = 2;
    void sleep_seconds(unsigned s) override {
        log_line("sleep %u", s);
        FakePlatform::sleep_seconds(s);
        if (--stop_after == 0)
            terminate_requested = 1;
    }
};

TEST_F(CycleTest, ForeverSleepsUntilWakeTime) {
    struct Case {
        int32_t sleep;
        const char* sleeps;
    } cases[] = {{60, "sleep 0\nsleep 60\n"}, {0, "sleep 0\nsleep 0\n"}};
    for (const Case& c : cases) {
        SleepLogger p;
        p.Install();
        fake_clock = &p;
        // A configuration already read at its current time, whatever reads it.
        conf_path = "/etc/quelld-test.cf";
        conf_mtime = 5000;
        p.SetTimes(conf_path, 5000, 5000);
        sleep_interval = c.sleep;
        session_delay = 100;  // the first pass's checks run past its wake time
        time_t end = p.clock + 100 + c.sleep;
        EXPECT_EXIT(poll_forever(), testing::ExitedWithCode(1), "");
        char stamp[26];
        EXPECT_EQ(Log(), c.sleeps + std::string(log_stamp(end, stamp), 24) + "  quelld killed.\n");
        std::remove(log_path);
    }
}

}  // namespace
