#include "check/check_dryrun.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <vector>

#include "base/session_table.h"
#include "check_fixture.h"

namespace {

using DryRunTest = CheckToolTest;

// The "now" rows of each login's block, joined: what the daemon would do.
std::vector<std::string> Verdicts(const std::string& report) {
    std::vector<std::string> out;
    std::istringstream in(report);
    bool in_now = false;
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("  now ", 0) == 0) {
            out.push_back(l.substr(18));
            in_now = true;
        } else if (in_now && l.rfind("                  ", 0) == 0) {
            out.back() += " | " + l.substr(18);
        } else {
            in_now = false;
        }
    }
    return out;
}

TEST_F(DryRunTest, WhatTheChecksWouldDo) {
    const time_t T = fake_.clock;
    const std::string grace = "; a login the daemon has already warned is logged out instead";
    const struct {
        std::string conf;
        std::function<void(FakePlatform&)> logins;
        std::vector<std::string> verdicts;
    } cases[] = {
        {"sleep 60\nwarn 60\ntimeout default 30\n",
         [T](FakePlatform& p) {
             p.AddLogin("alice", "pts/1", "", T - 3600);  // used 1794 s ago: active
             p.SetTimes("/dev/pts/1", T - 1794, T - 1794);
             p.AddLogin("bob", "pts/2", "", T - 3600);  // 1795 s: the limit less the slack
             p.SetTimes("/dev/pts/2", T - 1795, T);
             p.AddLogin("alice", "pts/3", "", T - 100);  // too young to be idle
             p.SetTimes("/dev/pts/3", 0, 0);
             p.AddLogin("bob", "pts/4", "", T - 3600);  // no device to examine
         },
         {"nothing",
          "warn (idle: idle 0:29:55, limit 30 minutes; logged out 1 minute later if still idle" +
              grace + ")",
          "nothing", "nothing (the terminal cannot be examined, so it is never taken as idle)"}},
        {"sleep 60\nwarn 0\ntimeout default 30\nexempt login bob idle\nrefuse login alice\n",
         [T](FakePlatform& p) {
             p.AddLogin("alice", "pts/1", "", T - 3600);
             p.SetTimes("/dev/pts/1", T - 1800, T - 1800);
             p.AddLogin("bob", "pts/2", "", T - 3600);
             p.SetTimes("/dev/pts/2", T - 1800, T - 1800);
         },
         {"log out (idle: idle 0:30:00, limit 30 minutes, no grace (warn 0)) | log out (refused: "
          "the refusal notice, then the logout 5 seconds later)",
          "nothing (idle past its limit, but exempt)"}},
        {"sleep 60\nwarn 60\nthreshold session 2\nsession login alice 60\nsession default 10\n",
         [T](FakePlatform& p) {
             p.AddLogin("alice", "pts/1", "", T - 3600);
             p.AddLogin("bob", "pts/2", "", T - 655);
             p.AddLogin("carol", "pts/3", "", T - 599);
         },
         {"warn (session: in use 1:00:00, limit 60 minutes; logged out at the end of the 1 minute "
          "grace)",
          "warn (session: in use 0:10:55, limit 10 minutes, grace over" + grace + ")", "nothing"}},
        {"sleep 60\nthreshold multiple 1\nmultiples 1\nmaxuser group staff 2\n",
         [T](FakePlatform& p) {
             p.AddLogin("bob", "pts/1", "", T - 100);
             p.AddLogin("alice", "pts/2", "", T - 50);
             p.AddLogin("alice", "pts/3", "", T - 90);
         },
         // The group limit is checked on the login the database lists last.
         {"nothing", "warn (multiple: login 2 of alice, 1 allowed" + grace + ")",
          "warn (maxuser: 3 logins of group id 50, 2 allowed" + grace + ")"}},
        {"sleep 60\ntimeout tty console 0\n",
         [T](FakePlatform& p) {
             p.AddLogin("alice", "console", "", T - 100);
             p.SetTimes("/dev/console", T, T);
         },
         {"log out (xlock: the screen-lock idle time reaches the idle limit 0 minutes)"}},
    };
    for (const auto& c : cases) {
        fake_.logins.clear();
        fake_.files.clear();
        c.logins(fake_);
        ASSERT_EQ(Check(c.conf), 0) << c.conf;
        std::string report = Report([](FILE* f) { check_dry_run(f); });
        EXPECT_EQ(Verdicts(report), c.verdicts) << c.conf << report;
    }
    // It never forks (no warning child), and writes nothing to the log.
    EXPECT_EQ(fake_.forks, 0);
    EXPECT_EQ(Log(), "");
}

TEST_F(DryRunTest, ReportsLoginsInDatabaseOrder) {
    const time_t T = fake_.clock;
    fake_.AddLogin("", "pts/9", "", T, DEAD_PROCESS);
    fake_.AddLogin("ghost", "pts/1", "far.example", T - 60);
    fake_.SetTimes("/dev/pts/1", T - 30, T - 30);
    ASSERT_EQ(Check("sleep 60\n"), 0);
    std::string report = Report([](FILE* f) { EXPECT_EQ(check_dry_run(f), 1); });
    EXPECT_EQ(Problems(), "quelld-check: Error:  could not get info on supposed user ghost.\n");
    EXPECT_NE(report.find("1 user login; console user: none\n\n"
                          "ghost on pts/1 from far.example, logged in "),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("  idle time       0:00:30 (input)\n  now             nothing\n"),
              std::string::npos)
        << report;
}

}  // namespace
