#include "checker/check_dryrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "base/session_table.h"
#include "check_fixture.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "enforce/warn.h"
#include "policy/session_check.h"

namespace {

using DryRunTest = CheckToolTest;

// (slot, kind, log out) for each warning or logout, in the order given.
using Acts = std::vector<std::tuple<int, uint32_t, bool>>;
Acts daemon_acts;

// A random policy over alice and bob (staff, gid 50) and carol (no account).
std::string RandomConf(std::mt19937& rng) {
    auto pick = [&rng](int lo, int hi) {
        return std::to_string(lo + static_cast<int>(rng() % (hi - lo + 1)));
    };
    auto maybe = [&rng]() { return rng() % 2 == 0; };
    const char* warns[] = {"0", "60", "300"};
    std::string c = "sleep " + pick(20, 120) + "\nwarn " + warns[rng() % 3] + "\n";
    if (maybe())
        c += "timeout default " + pick(1, 40) + "\n";
    if (maybe())
        c += "timeout login alice " + pick(1, 10) + "\n";
    if (maybe())
        c += "idlemethod inputoutput\n";
    if (maybe())
        c += "threshold session " + pick(1, 4) + "\nsession default " + pick(1, 120) + "\n";
    if (maybe())
        c += "session login bob " + pick(1, 60) + "\n";
    if (maybe())
        c += "threshold multiple " + pick(1, 4) + "\n";
    if (maybe())
        c += "multiples " + pick(1, 3) + "\n";
    if (maybe())
        c += "maxuser group staff " + pick(1, 3) + "\n";
    if (rng() % 4 == 0)
        c += "refuse login carol\n";
    if (rng() % 8 == 0)
        c += "timeout tty console 0\n";  // the screen-lock logout
    const char* kinds[] = {"idle", "session", "multiple", "all"};
    if (rng() % 3 == 0)
        c += std::string("exempt login bob ") + kinds[rng() % 4] + "\n";
    if (rng() % 4 == 0)
        c += "conswins idle " + pick(1, 20) + "\nconswins multiple 1\n";
    if (rng() % 3 == 0)  // about the fake clock's 01:46 UTC, logins up to 4 hours before
        c += "hours " + pick(0, 23) + ":" + pick(10, 59) + "-" + pick(0, 3) + ":" + pick(10, 59) +
             (maybe() ? " default\n" : " login alice\n");
    return c;
}

// Random logins through the fake platform: terminals used at any time in
// the last hours (or in the future, or not to be examined), some logins
// gone (a dead process, a terminal another user owns), now and then the
// console.
void RandomLogins(std::mt19937& rng, FakePlatform& p) {
    const time_t T = p.clock;
    auto ago = [&rng](int most) { return static_cast<time_t>(rng() % most); };
    const char* users[] = {"alice", "bob", "carol"};
    int n = 1 + static_cast<int>(rng() % 7);
    for (int i = 0; i < n; ++i) {
        std::string line = rng() % 10 == 0 ? "console" : "pts/" + std::to_string(rng() % 9);
        std::string path = "/dev/" + line;
        p.AddLogin(users[rng() % 3], line, "", T - ago(4 * 3600)).ut_pid = 100 + i;
        int look = static_cast<int>(rng() % 10);
        if (look == 0)
            p.files.erase(path);
        else if (look == 1)
            p.SetTimes(path, T + 100, T + 100);
        else
            p.SetTimes(path, T - ago(3600), T - ago(3600));
        if (rng() % 10 == 0)
            p.dead_pids.push_back(100 + i);
        if (rng() % 10 == 0)
            p.owners[path] = 4321;
    }
    p.SetTimes(PATH_KBD, T - ago(3600), T - ago(3600));
    p.SetTimes(PATH_MOUSE, T - ago(3600), T - ago(3600));
}

// What quelld-check -n judges for a state is what the daemon's next pass
// does to it: the same warnings and logouts, of the same kinds, to the same
// logins, in the same order.
TEST_F(DryRunTest, VerdictsAreTheDaemonsNextPass) {
    std::mt19937 rng(15);
    int acting = 0;
    for (int round = 0; round < 300; ++round) {
        fake_.logins.clear();
        fake_.files.clear();
        fake_.dead_pids.clear();
        fake_.owners.clear();
        std::string conf = RandomConf(rng);
        RandomLogins(rng, fake_);
        ASSERT_EQ(Check(conf), 0) << conf << Problems();
        int32_t interval = sleep_interval;

        static Verdict out[MAXUSERS][CHECK_VERDICTS_MAX];
        static int counts[MAXUSERS];
        std::vector<CheckAct> sequence;
        check_judge(out, counts, &sequence);
        Acts judged, by_slot;
        for (const CheckAct& a : sequence)
            judged.emplace_back(a.slot, a.v.kind, a.v.action == VERDICT_LOGOUT);
        for (int slot = 0; slot < session_count; ++slot)
            for (int k = 0; k < counts[slot]; ++k)
                by_slot.emplace_back(slot, out[slot][k].kind,
                                     out[slot][k].action == VERDICT_LOGOUT);

        session_table_reset();

        session_table_reserve(500);
        recent_session_users_reset();
        sleep_interval = interval;
        daemon_acts.clear();
        warn_observer = [](const SessionRecord* r, int kind, int64_t) {
            daemon_acts.emplace_back(static_cast<int>(r - SessionTable),
                                     static_cast<uint32_t>(kind), r->ended == SESSION_ENDING);
        };
        int forks = fake_.forks;
        poll_scan(0);
        warn_observer = nullptr;
        EXPECT_EQ(judged, daemon_acts) << "round " << round << "\n" << conf;
        // Per login, the same verdicts in the same order.
        std::stable_sort(judged.begin(), judged.end(), [](const auto& a, const auto& b) {
            return std::get<0>(a) < std::get<0>(b);
        });
        EXPECT_EQ(judged, by_slot) << "round " << round;
        EXPECT_EQ(fake_.forks - forks, static_cast<int>(judged.size()));
        acting += static_cast<int>(judged.size());
        Problems();
    }
    recent_session_users_reset();
    // The rounds reach warnings and logouts, not only quiet states.
    EXPECT_GT(acting, 150);
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

// Hours: why a login is refused, and the logins the next end will warn and
// log out.
TEST_F(DryRunTest, NextEndOfHours) {
    const time_t T = fake_.clock;  // Sun 9 Sep 2001 01:46:40 UTC
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char* user : {"alice", "bob"}) {
        fake_.AddLogin(user, user, "", T - 60).ut_pid = 101;
        fake_.SetTimes(std::string("/dev/") + user, T, T);
    }
    ASSERT_EQ(Check("sleep 60\nwarn 300\nhours 01:00-02:00 login alice\n"
                    "hours 20:00-01:45 login bob\n"),
              0);
    std::string report = Report([](FILE* f) { check_dry_run(f); });
    unsetenv("TZ");
    tzset();
    EXPECT_NE(report.find("  now             log out (hours: logged in outside its hours: the "
                          "refusal notice, then the logout 5 seconds later)\n\n"
                          "next end of hours: Sun Sep  9 02:00:00 2001\n"
                          "  alice on alice: warned Sun Sep  9 01:55:00 2001, logged out Sun Sep  "
                          "9 02:00:00 2001\n"),
              std::string::npos)
        << report;
}

}  // namespace
