#include "enforce/warn.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/event_log.h"
#include "base/signals.h"
#include "config/settings.h"
#include "enforce/live.h"
#include "enforce/logout.h"
#include "enforce/texts.h"
#include "enforce_fixture.h"
#include "fake_platform.h"
#include "policy/clock_step.h"

namespace {

// What a check's verdict would show for kind on r: the value its text names.
int64_t Shown(const SessionRecord& r, int kind) {
    switch (kind) {
        case WARN_IDLE:
            return r.idle_limit;
        case WARN_SESSION:
            return r.session_limit;
        case WARN_MAXUSER:
            return r.maxuser_limit;
        default:
            return -1;
    }
}

using namespace enforce_test;

// Remembers the warned bits of one record at the fork: what the child sees.
struct ForkSpy : FakePlatform {
    const SessionRecord* watch = nullptr;
    uint32_t warned_at_fork = 0;
    pid_t fork_process() override {
        warned_at_fork = watch->warned;
        return FakePlatform::fork_process();
    }
};

class WarnTest : public testing::Test {
   protected:
    void SetUp() override {
        Reset();
        fake.AddUser("ann", 1000, 1000);
        fake.AddUser("bob", 1001, 1001);
        fake.Install();
    }
    void TearDown() override { unwritable_reset(); }
    // Slot 0 and position 0 name different records, as after a dead entry.
    void Reset() {
        session_table_reset();
        session_table_reserve(500);
        clock_step_reset();
        unwritable_reset();
        settings_init();
        SessionTable[0] = Session("ann", "/dev/pts/1", 100);
        SessionTable[3] = Session("bob", "/dev/pts/2", 200);
        session_count = 4;
        ActiveSessions[0] = &SessionTable[3];
        active_count = 1;
        fake.watch = &SessionTable[0];
        fake.forks = fake.waits = 0;
    }
    TempDir dir;
    ForkSpy fake;
};

TEST_F(WarnTest, DaemonSideBookkeeping) {
    const int exited5 = 5 << 8, killed = SIGKILL;
    struct Case {
        int kind, deliver;
        uint32_t before;
        int status;
        int slot;  // the record chosen: 0 by slot, 3 by position
        uint32_t at_fork, after;
        bool unwritable;
    } cases[] = {
        {WARN_IDLE, 1, 0, 0, 0, 0, 1, false},          {WARN_IDLE, 0, 0, 0, 0, 1, 1, false},
        {WARN_XLOCK, 1, 0, 0, 0, 0, 0, false},         {WARN_XLOCK, 0, 0, 0, 0, 16, 16, false},
        {WARN_MULTIPLE, 1, 0, exited5, 3, 0, 2, true}, {WARN_SESSION, 1, 1, 0, 3, 1, 5, false},
        {WARN_MAXUSER, 1, 0, killed, 3, 0, 64, false}, {WARN_REFUSED, 1, 1, exited5, 3, 1, 1, true},
        {WARN_REFUSED, 0, 0, 0, 3, 8, 8, false},
    };
    for (const Case& c : cases) {
        Reset();
        SessionRecord& r = SessionTable[c.slot];
        r.warned = c.before;
        fake.watch = &r;
        fake.wait_status = c.status;
        warn(0, c.kind, c.deliver, Shown(SessionTable[0], c.kind));
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " deliver " << c.deliver);
        EXPECT_EQ(fake.forks, 1);
        EXPECT_EQ(fake.warned_at_fork, c.at_fork);
        EXPECT_EQ(r.warned, c.after);
        EXPECT_EQ(SessionTable[3 - c.slot].warned, 0u);
        EXPECT_EQ(unwritable_find(&r), c.unwritable ? 1 : 0);
    }
    EXPECT_EQ(dir.Log(), "");
}

// A record is live unless its process is gone or its terminal is someone
// else's; the user's uid is 1000.
TEST_F(WarnTest, LivenessOfARecord) {
    fake.AddUser("ann", 1000, 1000);
    const int none = -1;
    struct Case {
        pid_t pid;
        bool dead;
        int owner;  // of /dev/pts/1; none: cannot be examined
        const char* user;
        int live;
    } cases[] = {
        {77, false, 1000, "ann", 1}, {77, true, 1000, "ann", 0}, {77, false, 1001, "ann", 0},
        {77, false, 0, "ann", 0},    {0, false, 1000, "ann", 1}, {0, false, 1001, "ann", 0},
        {0, false, none, "ann", 1},  {77, true, none, "ann", 0}, {-1, false, 1000, "ann", 1},
        {77, false, 1001, "zed", 1}, {77, true, 1001, "zed", 0},
    };
    for (const Case& c : cases) {
        SessionRecord r = Session(c.user, "/dev/pts/1");
        r.pid = c.pid;
        fake.dead_pids = c.dead ? std::vector<pid_t>{c.pid} : std::vector<pid_t>{};
        fake.owners.clear();
        if (c.owner != none)
            fake.owners["/dev/pts/1"] = static_cast<uid_t>(c.owner);
        EXPECT_EQ(live_session(&r), c.live) << c.pid << " " << c.owner << " " << c.user;
    }
}

// A stale record is logged once and never acted on; a logout is given once.
TEST_F(WarnTest, NothingTwiceAndNothingToTheDead) {
    fake.AddUser("ann", 1000, 1000);
    SessionRecord& r = SessionTable[0];
    r.pid = 77;
    fake.dead_pids = {77};
    for (int kind : {WARN_IDLE, WARN_XLOCK, WARN_IDLE})
        warn(0, kind, 1, Shown(SessionTable[0], kind));
    EXPECT_EQ(fake.forks, 0);
    EXPECT_EQ(r.ended, SESSION_STALE);
    EXPECT_EQ(r.warned, 0u);
    EXPECT_EQ(dir.Log(), Stamp(fake.clock) + " : stale record of ann on /dev/pts/1, left alone\n");

    // Slot 0 for idle and xlock, position 0 (slot 3) for a refusal.
    for (int kind : {WARN_IDLE, WARN_REFUSED, WARN_XLOCK}) {
        Reset();
        WriteFile(dir.log, "");
        SessionRecord& s = SessionTable[kind == WARN_REFUSED ? 3 : 0];
        s.warned = WARN_IDLE;  // warned before: the next idle warning logs out
        warn(0, kind, 1, Shown(SessionTable[0], kind));
        EXPECT_EQ(s.ended, SESSION_LOGGED_OUT) << kind;
        fake.dead_pids = {s.pid};  // as the logout leaves it
        warn(0, kind, 1, Shown(SessionTable[0], kind));
        warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));
        warn(0, WARN_XLOCK, 1, Shown(SessionTable[0], WARN_XLOCK));
        EXPECT_EQ(fake.forks, kind == WARN_REFUSED ? 3 : 1) << kind;  // slot 0 still open
        EXPECT_EQ(dir.Log(), "");
    }
    Reset();
    warn(0, WARN_IDLE, 1,
         Shown(SessionTable[0], WARN_IDLE));  // a first warning leaves the login open
    EXPECT_EQ(SessionTable[0].ended, SESSION_OPEN);
}

// The daemon goes on while a child runs and takes it up when it has ended.
TEST_F(WarnTest, ChildTakenUpWhenItEnds) {
    fake.wait_status = 5 << 8;
    fake.wait_errnos = {0, 0};  // still running at the first two looks
    warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));
    EXPECT_EQ(warn_children_running(), 1);
    warn_children_reap();
    EXPECT_EQ(unwritable_find(&SessionTable[0]), 0);
    warn_children_reap();
    EXPECT_EQ(warn_children_running(), 0);
    EXPECT_EQ(unwritable_find(&SessionTable[0]), 1);

    Reset();  // no status at all: only the warned bit and one line
    fake.wait_errnos = {ECHILD};
    warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));
    EXPECT_EQ(SessionTable[0].warned, 1u);
    EXPECT_EQ(unwritable_find(&SessionTable[0]), 0);
    EXPECT_EQ(dir.Log(), "Cannot wait in warn: No child processes\n");
}

// A logout is done only when its child says the terminal's processes are
// gone; one that left some is tried again, LOGOUT_TRIES times in all.
TEST_F(WarnTest, LogoutFailuresAreToldAndTriedAgain) {
    const std::string line =
        Stamp(fake.clock) + " : ann on /dev/pts/1 still logged in after logout for xlock: ";
    struct Case {
        int status;
        int tries;  // before
        int ended;  // after
        std::string log;
    } cases[] = {
        {0, 0, SESSION_LOGGED_OUT, ""},
        {CHILD_LEFT << 8, 0, SESSION_OPEN, line + "terminal not opened\n"},
        {CHILD_NO_TABLE << 8, 1, SESSION_OPEN, line + "no process table\n"},
        {SIGKILL, 0, SESSION_OPEN, line + "cut off\n"},
        {CHILD_TIMED_OUT << 8, LOGOUT_TRIES - 1, SESSION_UNENDED,
         line + "cut off\n" + Stamp(fake.clock) +
             " : gave up logging out ann on /dev/pts/1 after 3 tries\n"},
    };
    for (const Case& c : cases) {
        Reset();
        WriteFile(dir.log, "");
        fake.wait_status = c.status;
        fake.wait_errnos = {0};
        SessionTable[0].logout_tries = c.tries;
        warn_pass_wanted = 0;
        warn(0, WARN_XLOCK, 1, Shown(SessionTable[0], WARN_XLOCK));
        EXPECT_EQ(SessionTable[0].ended, SESSION_ENDING);
        warn(0, WARN_XLOCK, 1, Shown(SessionTable[0], WARN_XLOCK));  // under way: nothing more
        EXPECT_EQ(fake.forks, 1);
        warn_children_reap();
        EXPECT_EQ(SessionTable[0].ended, c.ended) << c.status;
        EXPECT_EQ(warn_pass_wanted, 0) << c.status;
        EXPECT_EQ(dir.Log(), c.log);
    }
}

// One user's children cannot take all the room: a login of theirs past
// CHILDREN_PER_USER waits, another user's does not.
TEST_F(WarnTest, EachUserHasItsShareOfChildren) {
    fake.children_run = true;
    for (int i = 0; i <= CHILDREN_PER_USER; ++i) {
        SessionTable[10 + i] = Session("ann", "/dev/pts/" + std::to_string(10 + i), 100);
        session_count = 11 + i;
        warn_pass_wanted = 0;
        warn(10 + i, WARN_IDLE, 1, Shown(SessionTable[10 + i], WARN_IDLE));
    }
    EXPECT_EQ(fake.forks, CHILDREN_PER_USER);
    EXPECT_EQ(warn_pass_wanted, 1);
    EXPECT_EQ(SessionTable[10 + CHILDREN_PER_USER].warned, 0u);
    EXPECT_EQ(SessionTable[10 + CHILDREN_PER_USER].next_check, fake.clock);
    warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));  // bob's turn is not taken by ann's
    EXPECT_EQ(fake.forks, CHILDREN_PER_USER);
    ActiveSessions[0] = &SessionTable[3];
    warn(0, WARN_MULTIPLE, 1, Shown(SessionTable[0], WARN_MULTIPLE));
    EXPECT_EQ(fake.forks, CHILDREN_PER_USER + 1);
    fake.children_run = false;
    warn_children_reap();
    EXPECT_EQ(warn_children_running(), 0);
}

TEST_F(WarnTest, FatalPaths) {
    const std::string killed = Stamp(fake.clock, 24) + "  quelld killed.\n";
    fake.fork_result = -1;
    fake.fork_errno = EAGAIN;
    EXPECT_EXIT(warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE)),
                testing::ExitedWithCode(1), "");
    EXPECT_EQ(dir.Log(), "Cannot fork in warn: Resource temporarily unavailable\n" + killed);
}

TEST_F(WarnTest, UnwritableList) {
    SessionRecord a = Session("ann", "/dev/pts/1", 100), a2 = Session("ann", "/dev/pts/1", 150);
    SessionRecord b = Session("bob", "/dev/pts/10", 100);
    // Differ only after the 16th character: kept and compared whole.
    SessionRecord l1 = Session("cy", "/dev/very/long/line-1"),
                  l2 = Session("cy", "/dev/very/long/line-2");
    for (SessionRecord* r : {&a, &b, &l1, &a}) unwritable_add(r);
    EXPECT_EQ(unwritable_find(&a) + unwritable_find(&b) + unwritable_find(&l1), 3);
    EXPECT_EQ(unwritable_find(&a2) + unwritable_find(&l2), 0);
    unwritable_prune(&a2);  // both entries of the earlier login go
    unwritable_prune(&l1);  // its own login stays
    EXPECT_EQ(unwritable_find(&a), 0);
    EXPECT_EQ(unwritable_find(&b) + unwritable_find(&l1), 2);
}

// The child's work without a fork, where it reaches no logout.
TEST_F(WarnTest, ChildWarnsOrReportsTerminal) {
    Pty pty;
    warn_time = 300;
    SessionRecord r = Session("ann", pty.path);
    r.idle_limit = 900;
    char text[TEXT_SIZE];
    EXPECT_EQ(warn_child(&r, WARN_IDLE, 1, Shown(r, WARN_IDLE)), 0);
    EXPECT_EQ(pty.Read(),
              std::string(text, text_idle(text, sizeof text, r.idle_limit, fake.clock)));
    EXPECT_EQ(warn_child(&r, WARN_MAXUSER, 0, Shown(r, WARN_MAXUSER)), 0);
    EXPECT_EQ(pty.Read(100), "");

    // Reported once per login; a "../" path neither opens nor changes a file.
    const std::string victim = dir.File("v");
    WriteFile(victim, "keep");
    for (const std::string& path : {std::string("/dev/pts/99999"), "/dev/.." + victim}) {
        WriteFile(dir.log, "");
        SessionRecord bad = Session("ann", path);
        EXPECT_EQ(warn_child(&bad, WARN_IDLE, 1, Shown(bad, WARN_IDLE)), 5);
        unwritable_add(&bad);
        EXPECT_EQ(warn_child(&bad, WARN_SESSION, 1, Shown(bad, WARN_SESSION)), 0);
        EXPECT_EQ(dir.Log(),
                  Stamp(fake.clock) + ": Error in warn--Cannot open " + path + " for ann.\n");
    }
    EXPECT_EQ(ReadFile(victim), "keep");
}

// Kinds that end in a logout, run in a child as in the daemon.
TEST_F(WarnTest, ChildLogsOut) {
    struct Case {
        int kind;
        uint32_t warned;
        const char* reason;
    } cases[] = {
        {WARN_IDLE, 1, "idle"},        {WARN_MULTIPLE, 2, "multiple"}, {WARN_SESSION, 4, "session"},
        {WARN_MAXUSER, 64, "maxuser"}, {WARN_XLOCK, 0, "xlock"},       {WARN_REFUSED, 0, "refused"},
    };
    fake.AddUser("root", 0, 0);
    for (const Case& c : cases) {
        WriteFile(dir.log, "");
        Pty pty;
        pid_t session = StartSession(pty.path);
        SessionRecord r = Session("root", pty.path);
        r.warned = c.warned;
        bool refusal = c.kind == WARN_REFUSED;
        int result = RunInChild([&] {
            int status = warn_child(&r, c.kind, 1, Shown(r, c.kind));
            bool paused = fake.sleeps == std::vector<unsigned>{REFUSE_PAUSE};
            return status == 0 && paused == refusal ? 0 : 1;
        });
        EXPECT_EQ(result, 0) << c.reason;
        char text[TEXT_SIZE];
        EXPECT_EQ(pty.Read(),
                  (refusal ? std::string(text, text_refused(text, sizeof text, fake.clock)) : "") +
                      kNotice);
        EXPECT_TRUE(KilledBy(WaitFor(session, 2000), SIGHUP)) << c.reason;
        // The logout reads the clock after the refusal's pause.
        EXPECT_EQ(dir.Log(), Stamp(fake.clock + (refusal ? REFUSE_PAUSE : 0)) + " : root on " +
                                 pty.path + " because " + c.reason + "\n");
    }
}

// Takes up the children until none runs.
void ReapAll() {
    while (warn_children_running() > 0) {
        warn_children_reap();
        usleep(10000);
    }
}

// The real fork and platform, as the daemon runs them: a first call warns,
// a second logs out, and a logout that hangs is cut off by the alarm, told
// as such and tried again.
TEST(WarnDaemonTest, WarnsThenLogsOutThenTimesOut) {
    TempDir dir;
    Pty pty;
    pid_t session = StartSession(pty.path);
    int result = RunInChild([&] {
        signals_init();
        session_table_reset();
        session_table_reserve(500);
        session_count = 1;
        clock_step_reset();
        settings_init();
        warn_time = 60;
        SessionTable[0] = Session("root", pty.path);
        SessionTable[0].idle_limit = 600;
        warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));
        ReapAll();
        if (SessionTable[0].warned != WARN_IDLE)
            return 1;
        warn(0, WARN_IDLE, 1, Shown(SessionTable[0], WARN_IDLE));
        ReapAll();
        // Logged out for good; a new login on the line is acted on again.
        if (SessionTable[0].ended != SESSION_LOGGED_OUT)
            return 3;
        SessionTable[0].ended = SESSION_OPEN;
        // The logout's last step, its log line, never ends in the child.
        log_hook = [](const char*, va_list) {
            for (;;) pause();
        };
        auto start = std::chrono::steady_clock::now();
        warn(0, WARN_XLOCK, 0, Shown(SessionTable[0], WARN_XLOCK));
        log_hook = nullptr;
        ReapAll();
        auto took = std::chrono::steady_clock::now() - start;
        if (SessionTable[0].ended != SESSION_OPEN || SessionTable[0].logout_tries != 1)
            return 4;
        return took > std::chrono::milliseconds(4500) && took < std::chrono::seconds(8) ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
    std::string seen = pty.Read();
    EXPECT_TRUE(KilledBy(WaitFor(session, 2000), SIGHUP));
    EXPECT_EQ(seen.find("\r\nThis terminal has been idle 10 minutes. If it remains idle\r\nfor 1 "
                        "more minutes it will"),
              28u);
    EXPECT_TRUE(seen.ends_with(kNotice));
    std::string log = dir.Log();  // the cut-off logout never logs its reason
    EXPECT_NE(log.find("because idle"), std::string::npos);
    EXPECT_EQ(log.find("because xlock"), std::string::npos);
    EXPECT_NE(log.find("still logged in after logout for xlock: cut off"), std::string::npos);
}

}  // namespace
