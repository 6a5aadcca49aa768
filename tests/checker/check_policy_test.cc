#include "checker/check_policy.h"

#include <gtest/gtest.h>

#include "base/session_table.h"
#include "check_fixture.h"
#include "checker/check_compliance.h"
#include "policy/clock_step.h"
#include "policy/idle_check.h"

namespace {

using CheckPolicyTest = CheckToolTest;

TEST_F(CheckPolicyTest, WholeAccount) {
    WriteFile("long", "bob\nalice\n");
    ASSERT_EQ(Check("sleep 60\n"
                    "timeout default 30\n"
                    "timeout group students 20\n"
                    "timeout login bob 60\n"
                    "session default 240\n"
                    "threshold session 3\n"
                    "conswins idle off\n"
                    "maxuser group students 4\n"
                    "exempt file long session\n"
                    "exempt tty pts/1 idle\n"
                    "refuse host badhost\n"),
              0);
    session_table_reset();
    clock_step_reset();
    EXPECT_EQ(check_take_login(0, "bob", "/dev/pts/1", ""), 0);
    std::string out = Report([](FILE* f) { check_explain(f, 0); });
    EXPECT_EQ(
        out,
        "  groups          staff(50) students(60)\n"
        "  idle limit      60 minutes               q.cf:4: timeout login bob 60\n"
        "                  not checked while the user is on the console (conswins idle off)\n"
        "  session limit   240 minutes              session default 240 (no session rule matches)\n"
        "                  enforced while 3 or more sessions are present\n"
        "  refused         no\n"
        "  group limit     4 logins of students(60) q.cf:8: maxuser group students 4\n"
        "                  checked when this login stands last in the login database\n"
        "  exempt          session                  long:1: bob (list file, session)\n"
        "                  idle                     q.cf:10: exempt tty pts/1 idle\n"
        "  logins per user not limited              no \"threshold multiple\"\n");
}

// Which rule decides the idle limit: tty, then host, login, group, default;
// within a kind the first configured.  The slot's line, host and user vary.
TEST_F(CheckPolicyTest, PrecedenceNamesTheDecidingRule) {
    ASSERT_EQ(Check("timeout default 30\n"
                    "timeout group students 20\n"
                    "timeout login bob 60\n"
                    "timeout login bob 61\n"
                    "timeout host far.example 15\n"
                    "timeout tty ttyv0 5\n"),
              0);
    const struct {
        const char* user;
        const char* line;
        const char* host;
        const char* decided;
    } cases[] = {
        {"bob", "ttyv0", "far.example", "q.cf:6: timeout tty ttyv0 5"},
        {"bob", "ttyv1", "far.example", "q.cf:5: timeout host far.example 15"},
        {"bob", "ttyv1", "", "q.cf:3: timeout login bob 60"},
        {"carol", "ttyv1", "", "q.cf:1: timeout default 30"},
        {"alice", "", "near", "q.cf:1: timeout default 30"},
    };
    for (const auto& c : cases) {
        session_table_reset();
        clock_step_reset();
        check_take_login(0, c.user, c.line, c.host);
        std::string out = Report([](FILE* f) { check_explain(f, 0); });
        EXPECT_NE(out.find(c.decided), std::string::npos) << c.user << " " << c.line << "\n" << out;
    }
    // bob is in students through its member list, but his login rule wins.
    session_table_reset();
    clock_step_reset();
    check_take_login(0, "bob", "ttyv1", "");
    EXPECT_EQ(SessionTable[0].idle_limit, 3600);
}

TEST_F(CheckPolicyTest, UnknownUserHasNoGroups) {
    ASSERT_EQ(Check("timeout group staff 5\ntimeout login ghost 7\n"), 0);
    Problems();
    session_table_reset();
    clock_step_reset();
    EXPECT_EQ(check_take_login(0, "ghost", "pts/0", "a-host-name-longer-than-16"), 1);
    const SessionRecord& r = SessionTable[0];
    EXPECT_EQ(r.groups[0], -1);
    EXPECT_STREQ(r.host, "a-host-name-long");
    EXPECT_STREQ(r.tty_path, "/dev/pts/0");
    EXPECT_EQ(r.idle_limit, 420);
}

// A non-positive limit means one thing to the daemon, -u, -c and the
// configuration check: a negative timeout switches the idle check off, a
// session rule of 0 falls back to the default.
TEST_F(CheckPolicyTest, NonPositiveLimitsReadAsTheDaemonReadsThem) {
    const std::string conf =
        "sleep 60\nwarn 60\ntimeout default 10\ntimeout login bob -5\n"
        "session default 30\nthreshold session 1\nsession login bob 0\n";
    Check(conf, true);
    EXPECT_EQ(Problems(),
              "q.cf:4: warning: 'timeout login bob -5' switches the idle check off for the logins "
              "it names: a negative limit is none\n");
    session_table_reset();
    clock_step_reset();
    ASSERT_EQ(check_take_login(0, "bob", "/dev/pts/1", ""), 0);
    EXPECT_EQ(SessionTable[0].idle_limit, -300);
    EXPECT_EQ(judge_idle(0, fake_.clock).action, VERDICT_NONE);
    std::string out = Report([](FILE* f) { check_explain(f, 0); });
    EXPECT_NE(out.find("  idle limit      none                     q.cf:4: timeout login bob -5 "
                       "(negative: switched off)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  session limit   30 minutes               session default 30 (q.cf:7: "
                       "session login bob 0 gives none of its own)\n"),
              std::string::npos)
        << out;
    out = Report([](FILE* f) { check_compliance(f, 15); });
    EXPECT_NE(out.find("q.cf:4: timeout login bob -5 (negative: switched off)"), std::string::npos)
        << out;
}

TEST_F(CheckPolicyTest, Durations) {
    EXPECT_EQ(check_minutes(3600), "60 minutes");
    EXPECT_EQ(check_minutes(90), "90 seconds");
    EXPECT_EQ(check_minutes(60), "1 minute");
    EXPECT_EQ(check_clock(3725), "1:02:05");
    EXPECT_EQ(check_clock(-61), "-0:01:01");
}

// With hours rules, -u shows the class's windows with their rules and the
// next end; the check warns of windows that never open and of a class they
// shut out all week.
TEST_F(CheckPolicyTest, HoursAccountAndWarnings) {
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_EQ(Check("warn 300\nhours 00:00-02:00 default\n"
                    "hours sat,sun 10:00-16:00 login bob\nhours mon-fri 22:00-06:00 login bob\n"
                    "hours 09:00-09:00 login alice\nsleep 60\n",
                    true),
              0);
    EXPECT_EQ(Problems(),
              "q.cf:5: warning: hours window 09:00-09:00 never matches: it closes when it opens\n"
              "q.cf:5: warning: hours for login 'alice' shut it out all week: none of its "
              "windows ever opens, so every login is refused\n");
    session_table_reset();
    check_take_login(0, "bob", "pts/1", "");  // Sun 9 Sep 2001 01:46:40 UTC
    fake_.AddUser("cy", 1003, 50);
    check_take_login(1, "cy", "pts/2", "");
    std::string bob = Report([](FILE* f) { check_explain(f, 0); });
    std::string cy = Report([](FILE* f) { check_explain(f, 1); });
    unsetenv("TZ");
    tzset();
    EXPECT_NE(bob.find("  hours           sat,sun 10:00-16:00      q.cf:3: hours sat,sun "
                       "10:00-16:00 login bob\n                  mon-fri 22:00-06:00      q.cf:4: "
                       "hours mon-fri 22:00-06:00 login bob\n                  outside its hours "
                       "now: a login is refused\n"),
              std::string::npos)
        << bob;
    EXPECT_NE(cy.find("                  next end Sun Sep  9 02:00:00 2001, warned 5 minutes "
                      "before\n"),
              std::string::npos)
        << cy;
}

}  // namespace
