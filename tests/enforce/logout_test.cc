#include "enforce/logout.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>

#include <vector>

#include "enforce/terminal.h"
#include "enforce_fixture.h"
#include "fake_platform.h"
#include "pathnames.h"

namespace {

using namespace enforce_test;

// Set in each member of a TtySession before its handlers can run.
int member_report = -1;
char member_id;
const char* member_survives = "";

// Records the signal ("<id>H" or "<id>T") and ends the member unless it is
// one it survives.
void MemberSignal(int sig) {
    char rec[2] = {member_id, sig == SIGHUP ? 'H' : 'T'};
    if (write(member_report, rec, sizeof rec) != sizeof rec)
        _exit(2);
    if (std::strchr(member_survives, rec[1]) == nullptr)
        _exit(0);
}

// One session on the terminal at path: a leader and a child of it for each
// further entry of survives, each surviving the signals its entry names ("H"
// SIGHUP, "T" SIGTERM).  Members record the signals they get on a pipe
// whose last writer ends with the last member.  With drop the leader closes
// its descriptor of the terminal (which stays the session's controlling
// terminal) and no member holds one.
struct TtySession {
    std::vector<pid_t> members;
    int report = -1;

    TtySession(const std::string& path, std::vector<const char*> survives, bool drop = false) {
        int ready[2], res[2];
        if (pipe(ready) != 0 || pipe(res) != 0)
            return;
        pid_t leader = fork();
        if (leader == 0) {
            close(ready[0]);
            close(res[0]);
            setsid();
            int fd = open(path.c_str(), O_RDWR);
            if (fd < 0)
                _exit(1);
            // Without drop the test's own descriptors of the terminal go too:
            // only the session's opening holds it then.
            for (int n = 3; n < 1024; ++n)
                if (n != ready[1] && n != res[1] && (drop || n != fd))
                    close(n);
            member_report = res[1];
            for (size_t i = 0; i < survives.size(); ++i) {
                pid_t child = i == 0 ? getpid() : fork();
                if (child == 0 || i == 0) {
                    member_id = static_cast<char>('0' + i);
                    member_survives = survives[i];
                    signal(SIGHUP, MemberSignal);
                    signal(SIGTERM, MemberSignal);
                }
                if (child == 0) {
                    close(ready[1]);
                    setpgid(0, 0);  // a job of its own: the leader's end sends it no SIGHUP
                    for (;;) pause();
                }
                // The leader sets the job too, before the test may start: a
                // member still in the leader's group when the leader dies
                // would get the kernel's SIGHUP as well as the logout's.
                if (i > 0)
                    setpgid(child, child);
                if (write(ready[1], &child, sizeof child) != sizeof child)
                    _exit(1);
            }
            close(ready[1]);
            for (;;) pause();
        }
        close(ready[1]);
        close(res[1]);
        report = res[0];
        for (pid_t member; read(ready[0], &member, sizeof member) == sizeof member;)
            members.push_back(member);
        close(ready[0]);
    }
    ~TtySession() {
        for (pid_t member : members) kill(member, SIGKILL);
        WaitFor(members[0], 2000);
        close(report);
    }
    // The signals each member recorded until the last member ended, or ms
    // milliseconds passed without a record (then "alive" is appended).
    std::vector<std::string> Records(int ms = 3000) {
        std::vector<std::string> out(members.size());
        struct pollfd p {
            report, POLLIN, 0
        };
        char rec[2];
        for (;;) {
            if (poll(&p, 1, ms) <= 0) {
                out.push_back("alive");
                break;
            }
            if (read(report, rec, sizeof rec) != sizeof rec)
                break;
            out[static_cast<size_t>(rec[0] - '0')] += rec[1];
        }
        return out;
    }
};

// Runs kill_tty_processes on the terminal at path in a child; returns the
// milliseconds it took.
long KillOn(const std::string& path) {
    SessionRecord r = Session("root", path);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int result = RunInChild([&] {
        int fd = terminal_open(path.c_str(), O_RDONLY);
        kill_tty_processes(&r, fd, 0);
        return fd >= 0 ? 0 : 1;
    });
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(result, 0);
    return (end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
}

// Every process of the terminal's session gets SIGHUP first and a later
// signal only if it outlives the one before; a session that dies on SIGHUP
// costs no wait.
TEST(LogoutTest, EndsTheTerminalsSessionStepByStep) {
    TempDir dir;
    FakePlatform fake;
    fake.Install();
    struct Case {
        std::vector<const char*> survives;
        std::vector<std::string> records;
        long least_ms, most_ms;
    } cases[] = {
        {{"", "", ""}, {"H", "H", "H"}, 0, HANGUP_GRACE_MS / 2},
        {{"", "H", "HT"},
         {"H", "HT", "HT"},
         HANGUP_GRACE_MS + TERM_GRACE_MS,
         (WARN_ALARM - 2) * 1000},
    };
    for (const Case& c : cases) {
        Pty pty;
        TtySession s(pty.path, c.survives);
        long ms = KillOn(pty.path);
        EXPECT_EQ(s.Records(), c.records);
        EXPECT_GE(ms, c.least_ms);
        EXPECT_LT(ms, c.most_ms);
    }
    EXPECT_EQ(dir.Log(), "");
}

// A session whose terminal has the number, but where no process holds the
// terminal open, cannot be told from one of another devpts instance: it is
// left alone, and said so once.
TEST(LogoutTest, LeavesUnconfirmedSessionAlone) {
    TempDir dir;
    FakePlatform fake;
    fake.Install();
    Pty pty;
    TtySession s(pty.path, {"", ""}, true);
    KillOn(pty.path);
    EXPECT_EQ(s.Records(200), (std::vector<std::string>{"", "", "alive"}));
    EXPECT_EQ(dir.Log(), Stamp(fake.clock) + " : left 2 processes with the number of " +
                             pty.path.substr(5) + " alone: their sessions do not hold it open\n");
}

// zap on a real pseudo-terminal whose session process runs as uid 65533:
// the notice, the identity of the kills, the log lines in their order.
TEST(LogoutTest, ZapOnPseudoTerminal) {
    struct Case {
        const char* user;
        bool known;
        uid_t uid;
        int deliver;
        bool dotdot;  // path reaches the pty through "..": refused, so nothing is killed
        bool notice, killed, done;
        const char* logs;  // before the "because" line
    } cases[] = {
        {"root", true, 0, 1, false, true, true, true, ""},
        // Kills as alice fail: carol's session is not alice's to end.
        {"alice", true, 65534, 1, false, true, false, true, "others"},
        {"carol", true, 65533, 1, false, true, true, true, ""},
        {"ghost", false, 0, 1, false, true, true, true,
         "Error getting user information for ghost in zap.  Will attempt kill\n\twithout uid "
         "changing.\n"},
        {"root", true, 0, 0, false, false, true, true, ""},
        {"alice", true, 65534, 1, true, false, false, false, "couldn't open"},  // back to superuser
    };
    for (const Case& c : cases) {
        TempDir dir;
        Pty pty;
        pid_t session = StartSession(pty.path, false, 65533);
        ASSERT_GT(session, 0);
        const std::string path = c.dotdot ? "/dev/pts/../" + pty.path.substr(5) : pty.path;
        SessionRecord r = Session(c.user, path);
        FakePlatform fake;
        if (c.known)
            fake.AddUser(c.user, c.uid, c.uid);
        int result = RunInChild([&] {
            fake.Install();
            int outcome = Zap(r, "idle", c.deliver);
            return geteuid() == 0 && outcome == (c.done ? CHILD_DONE : CHILD_LEFT) ? 0 : 1;
        });
        EXPECT_EQ(result, 0) << c.user;
        EXPECT_EQ(pty.Read(), c.notice ? kNotice : "") << c.user;
        EXPECT_EQ(KilledBy(WaitFor(session, c.killed ? 2000 : 300), SIGHUP), c.killed) << c.user;
        std::string expected = c.logs;
        if (expected == "couldn't open")
            expected = Stamp(fake.clock) + " : couldn't open " + path + " for alice.\n";
        if (expected == "others")
            expected = Stamp(fake.clock) + " : left 1 processes of other users on " +
                       pty.path.substr(5) + " alone\n";
        // A logout is logged only once the terminal's processes are gone.
        if (c.done)
            expected += Stamp(fake.clock) + " : " + c.user + " on " + path + " because idle\n";
        EXPECT_EQ(dir.Log(), expected);
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
        return Zap(r, "idle", 1);
    });
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(result, 0);
    EXPECT_LT(end.tv_sec - start.tv_sec, WARN_ALARM - 1);
    EXPECT_TRUE(KilledBy(WaitFor(session, 2000), SIGHUP));
    EXPECT_EQ(dir.Log(), Stamp(fake.clock) + " : root on " + pty.path + " because idle\n");
}

}  // namespace
