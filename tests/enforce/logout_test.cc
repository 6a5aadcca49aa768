#include "enforce/logout.h"

#include <gtest/gtest.h>
#include <time.h>

#include <vector>

#include "enforce_fixture.h"
#include "fake_platform.h"

namespace {

using namespace enforce_test;

TEST(LogoutTest, ProcessIdOfListingLine) {
    struct Case {
        const char* line;
        pid_t pid;
    } cases[] = {
        {"  PID TTY          TIME CMD", 0},
        {"  123 pts/0    00:00:00 bash", 123},
        {"\t 77", 77},
        {"42abc", 42},
        {"   ", 0},
        {"-1 pts/0", 0},  // would signal every process
        {"0 pts/0", 0},   // would signal the daemon's own group
        {"+5", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ps_line_pid(c.line, std::strlen(c.line)), c.pid) << c.line;
}

// A stand-in for ps records its arguments and prints the listing; it goes on
// after the first process only once that one is dead, so the kills must come
// as the lines arrive.  A long line counts as one, an unended last line too.
TEST(LogoutTest, KillsEachListedProcessAsItsLineArrives) {
    TempDir dir;
    pid_t soft = StartSession(""), stubborn = StartSession("", true);
    const std::string ps = dir.File("ps"), first = std::to_string(soft);
    WriteFile(ps,
              "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > " + dir.File("argv") +
                  "\necho '    PID TTY          TIME CMD'\necho ' " + first +
                  " pts/9 0:00 sh'\nr=late; i=0\nwhile [ $i -lt 200 ]; do\n"
                  "  grep -q ') Z' /proc/" +
                  first +
                  "/stat && { r=streamed; break; }\n"
                  "  sleep 0.01; i=$((i+1))\ndone\necho $r > " +
                  dir.File("order") + "\nprintf '%0999d\\n' 0 | tr 0 x\nprintf " +
                  std::to_string(stubborn) + "\n",
              0755);
    ps_path = ps.c_str();
    SessionRecord r = Session("bob", "/dev/pts/9");
    kill_tty_processes(&r);
    ps_path = PATH_PS;
    EXPECT_TRUE(KilledBy(WaitFor(soft, 2000), SIGHUP));
    EXPECT_TRUE(KilledBy(WaitFor(stubborn, 2000), SIGKILL));
    EXPECT_EQ(ReadFile(dir.File("order")), "streamed\n");
    EXPECT_EQ(ReadFile(dir.File("argv")), ps + "|-tpts/9|");
}

// A line name that a shell would act on, or that ps would take as a list
// of terminals, runs nothing: one line is logged instead.
TEST(LogoutTest, UnsafeLineNameRunsNothing) {
    TempDir dir;
    FakePlatform fake;
    fake.Install();
    const std::string mark = dir.File("p"), ps = dir.File("ps");
    WriteFile(ps, "#!/bin/sh\ntouch " + mark + "\n", 0755);
    ps_path = ps.c_str();
    std::string expected;
    const std::vector<std::string> lines = {"x;touch " + mark,      "$(touch " + mark + ")",
                                            "`touch " + mark + "`", "pts/1,pts/2",
                                            "pts/1 pts/2",          ""};
    for (const std::string& line : lines) {
        SessionRecord r = Session("bob", "/dev/" + line);
        kill_tty_processes(&r);
        expected +=
            Stamp(fake.clock) + " : cannot run " + ps + " for " + line + ": Invalid argument\n";
    }
    ps_path = PATH_PS;
    EXPECT_FALSE(std::filesystem::exists(mark));
    EXPECT_EQ(dir.Log(), expected);
}

TEST(LogoutTest, ListingCommandThatCannotStartIsLogged) {
    TempDir dir;
    FakePlatform fake;
    fake.Install();
    const std::string missing = dir.File("ps");
    ps_path = missing.c_str();
    SessionRecord r = Session("bob", "/dev/pts/9");
    kill_tty_processes(&r);
    ps_path = PATH_PS;
    EXPECT_EQ(dir.Log(), Stamp(fake.clock) + " : cannot run " + missing +
                             " for pts/9: No such file or directory\n");
}

// zap on a real pseudo-terminal whose session process runs as uid 65533:
// the notice, the identity of the kills, the log lines in their order.
TEST(LogoutTest, ZapOnPseudoTerminal) {
    struct Case {
        const char* user;
        bool known;
        uid_t uid;
        int deliver;
        bool dotdot;  // path reaches the pty through "..": ps finds it, the open refuses
        bool notice, killed;
        const char* logs;  // before the "because" line
    } cases[] = {
        {"root", true, 0, 1, false, true, true, ""},
        {"alice", true, 65534, 1, false, true, false, ""},  // kills as alice fail
        {"carol", true, 65533, 1, false, true, true, ""},
        {"ghost", false, 0, 1, false, true, true,
         "Error getting user information for ghost in zap.  Will attempt kill\n\twithout uid "
         "changing.\n"},
        {"root", true, 0, 0, false, false, true, ""},
        {"alice", true, 65534, 1, true, false, true, "couldn't open"},  // back to superuser
    };
    for (const Case& c : cases) {
        TempDir dir;
        Pty pty;
        pid_t session = StartSession(pty.path, false, 65533);
        ASSERT_GT(session, 0);
        PsListing listing(dir, session);
        const std::string path = c.dotdot ? "/dev/pts/../" + pty.path.substr(5) : pty.path;
        SessionRecord r = Session(c.user, path);
        FakePlatform fake;
        if (c.known)
            fake.AddUser(c.user, c.uid, c.uid);
        int result = RunInChild([&] {
            fake.Install();
            zap(&r, "idle", c.deliver);
            return geteuid() == 0 ? 0 : 1;
        });
        EXPECT_EQ(result, 0) << c.user;
        EXPECT_EQ(pty.Read(), c.notice ? kNotice : "") << c.user;
        EXPECT_EQ(KilledBy(WaitFor(session, c.killed ? 2000 : 300), SIGHUP), c.killed) << c.user;
        std::string expected = c.logs;
        if (expected == "couldn't open")
            expected = Stamp(fake.clock) + " : couldn't open " + path + " for alice.\n";
        EXPECT_EQ(dir.Log(), expected + Stamp(fake.clock) + " : " + c.user + " on " + path +
                                 " because idle\n");
    }
}

// A terminal whose output queue is full and never drains: the notice is
// dropped and the session is logged out all the same, well within the
// warning child's alarm.
TEST(LogoutTest, ZapOnTerminalThatNeverDrains) {
    TempDir dir;
    Pty pty;
    pid_t session = StartSession(pty.path);
    ASSERT_GT(session, 0);
    PsListing listing(dir, session);
    int fill = open(pty.path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fill, 0);
    // The kernel moves queued output on in the background: full only once
    // writes have kept failing for a while.
    char block[1024] = {};
    for (int refused = 0; refused < 10;) {
        if (write(fill, block, sizeof block) > 0) {
            refused = 0;
        } else {
            ++refused;
            usleep(50000);
        }
    }
    close(fill);
    SessionRecord r = Session("root", pty.path);
    FakePlatform fake;
    fake.AddUser("root", 0, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int result = RunInChild([&] {
        fake.Install();
        alarm(WARN_ALARM);  // as in a warning child: a blocked write ends it here
        zap(&r, "idle", 1);
        return 0;
    });
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(result, 0);
    EXPECT_LT(end.tv_sec - start.tv_sec, WARN_ALARM - 1);
    EXPECT_TRUE(KilledBy(WaitFor(session, 2000), SIGHUP));
    EXPECT_EQ(dir.Log(), Stamp(fake.clock) + " : root on " + pty.path + " because idle\n");
}

}  // namespace
