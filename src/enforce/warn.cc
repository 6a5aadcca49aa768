#include "enforce/warn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "base/log_escape.h"
#include "base/signals.h"
#include "config/settings.h"
#include "enforce/audit_event.h"
#include "enforce/live.h"
#include "enforce/logout.h"
#include "enforce/terminal.h"
#include "enforce/texts.h"
#include "os/platform.h"
#include "pathnames.h"

struct UnwritableTty {
    char tty[TTY_PATH_SIZE];  // the whole tty_path, so long paths compare whole
    int64_t login_time;
    UnwritableTty* next;
};

// Logins whose terminal a warning child could not open: each is reported
// once.  Lives for the daemon's lifetime.
static UnwritableTty* unwritable_ttys = nullptr;

static bool unwritable_match(const UnwritableTty* e, const SessionRecord* r) {
    return std::strncmp(e->tty, r->tty_path, sizeof e->tty) == 0;
}

void unwritable_add(const SessionRecord* r) {
    // Without memory the login is simply not listed: its next failure is
    // logged again, which is all the list prevents.
    auto* e = static_cast<UnwritableTty*>(std::malloc(sizeof(UnwritableTty)));
    if (e == nullptr)
        return;
    std::memcpy(e->tty, r->tty_path, sizeof e->tty);
    e->tty[sizeof e->tty - 1] = '\0';
    e->login_time = r->login_time;
    e->next = unwritable_ttys;
    unwritable_ttys = e;
}

int unwritable_find(const SessionRecord* r) {
    for (const UnwritableTty* e = unwritable_ttys; e != nullptr; e = e->next)
        if (unwritable_match(e, r) && e->login_time == r->login_time)
            return 1;
    return 0;
}

void unwritable_prune(const SessionRecord* r) {
    UnwritableTty** link = &unwritable_ttys;
    while (*link != nullptr) {
        UnwritableTty* e = *link;
        if (unwritable_match(e, r) && e->login_time != r->login_time) {
            *link = e->next;
            std::free(e);
        } else {
            link = &e->next;
        }
    }
}

void unwritable_reset() {
    while (unwritable_ttys != nullptr) {
        UnwritableTty* e = unwritable_ttys;
        unwritable_ttys = e->next;
        std::free(e);
    }
}

// The event log's word for a warning kind, as the logout line gives it.
static const char* warn_reason(int kind) {
    switch (kind) {
        case WARN_IDLE:
            return "idle";
        case WARN_MULTIPLE:
            return "multiple";
        case WARN_SESSION:
            return "session";
        case WARN_REFUSED:
            return "refused";
        case WARN_XLOCK:
            return "xlock";
        case WARN_MAXUSER:
            return "maxuser";
        case WARN_HOURS:
            return "hours";
        default:
            return "?";
    }
}

void warn_prepare(const SessionRecord* r, int kind, int deliver, int64_t shown, time_t now,
                  WarnOrder* o) {
    bool warned = (r->warned & static_cast<uint32_t>(kind)) != 0;
    o->kind = kind;
    o->deliver = deliver;
    o->reason = warn_reason(kind);
    o->refusal = kind == WARN_REFUSED ||
                 (kind == WARN_HOURS && warned && r->hours_ruled != 0 && r->hours->end == 0);
    o->logout = kind == WARN_REFUSED || kind == WARN_XLOCK || warned;
    o->uid = 0;
    o->uid_known = 0;
    o->text_len = 0;
    o->text[0] = '\0';
    int len = 0;
    if (o->refusal)
        len = text_refused(o->text, sizeof o->text, now);
    else if (o->logout)
        len = 0;
    else if (kind == WARN_IDLE)
        len = text_idle(o->text, sizeof o->text, shown, now);
    else if (kind == WARN_MULTIPLE)
        len = text_multiple(o->text, sizeof o->text, shown, now);
    else if (kind == WARN_SESSION)
        len = text_session(o->text, sizeof o->text, shown, now);
    else if (kind == WARN_MAXUSER)
        len = text_maxuser(o->text, sizeof o->text, shown, now);
    else if (kind == WARN_HOURS)
        len = text_hours(o->text, sizeof o->text, shown > 0 ? shown : 0, now);
    constexpr int cap = static_cast<int>(TEXT_SIZE) - 1;
    o->text_len = len < 0 ? 0 : len < cap ? len : cap;
    if (!o->logout)
        return;
    if (const struct passwd* pw = platform->pw_by_name(r->user)) {
        o->uid = pw->pw_uid;
        o->uid_known = 1;
    } else {
        char user[log_escaped_size(USER_SIZE)];
        log_line(
            "Error getting user information for %s in zap.  Will attempt kill\n\twithout uid "
            "changing.",
            log_escape(r->user, user, sizeof user));
    }
}

// Writes one text to the terminal as far as it takes it now: a terminal
// whose reader stopped must not hold the child, nor what comes after the
// text (the refusal's logout).
static void warn_write(int fd, const WarnOrder* o) {
    if (o->text_len <= 0)
        return;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    terminal_write(fd, o->text, o->text_len);
}

int warn_carry_out(const SessionRecord* r, const WarnOrder* o, ZapLeft* left) {
    *left = ZapLeft{};
    int fd = -1;
    int deliver = o->deliver;
    if (deliver) {
        int probe = terminal_open(r->tty_path, O_RDONLY);
        if (probe < 0)
            deliver = 0;
        else
            close(probe);
        fd = terminal_open(r->tty_path, O_WRONLY);
        if (fd < 0) {
            if (unwritable_find(r))
                return CHILD_DONE;
            char stamp[26], tty[log_escaped_size(TTY_PATH_SIZE)], user[log_escaped_size(USER_SIZE)];
            log_line("%19.19s: Error in warn--Cannot open %s for %s.",
                     log_stamp(platform->now(), stamp), log_escape(r->tty_path, tty, sizeof tty),
                     log_escape(r->user, user, sizeof user));
            return CHILD_UNWRITABLE;
        }
    }
    if (deliver) {
        tcflow(fd, TCOON);
        warn_write(fd, o);
    }
    if (!o->logout) {
        if (fd >= 0)
            close(fd);
        return CHILD_DONE;
    }
    // zap closes every descriptor from 3 up, the child's own terminal
    // included; closing it first keeps the number from being closed twice.
    if (fd >= 0)
        close(fd);
    if (o->refusal) {
        // The pause is not charged to the alarm: the logout gets a fresh one.
        alarm(0);
        platform->sleep_seconds(REFUSE_PAUSE);
        alarm(WARN_ALARM);
    }
    return zap(r, o->reason, deliver, o->uid, o->uid_known, left);
}

int warn_child(SessionRecord* r, int kind, int deliver, int64_t shown) {
    WarnOrder o;
    warn_prepare(r, kind, deliver, shown, platform->now(), &o);
    ZapLeft left;
    return warn_carry_out(r, &o, &left);
}

int warn_live(SessionRecord* r) {
    int live = live_mark(r);
    if (live >= 0)
        return live;
    char stamp[26], user[log_escaped_size(USER_SIZE)], tty[log_escaped_size(TTY_PATH_SIZE)];
    log_line("%19.19s : stale record of %s on %s, left alone", log_stamp(platform->now(), stamp),
             log_escape(r->user, user, sizeof user), log_escape(r->tty_path, tty, sizeof tty));
    audit_stale(r);
    return 0;
}

namespace {

// What a child writes to its report descriptor before it ends: its
// outcome and, for a logout, what it left.
struct ChildReport {
    uint32_t magic;
    int32_t outcome;
    ZapLeft left;
};
constexpr uint32_t REPORT_MAGIC = 0x71756c64;
// The child's report descriptor: close_descriptors keeps 0 to 2.
constexpr int REPORT_FD = 2;

// The time-out path of the warning child: whatever it was doing is
// abandoned.  Nothing is buffered in user space, so nothing more reaches the
// terminal, and _exit runs no destructors and flushes nothing.
void warn_timeout(int /*sig*/) {
    _exit(CHILD_TIMED_OUT);
}

[[noreturn]] void warn_child_process(const SessionRecord* r, const WarnOrder* o, int report) {
    signals_unblock_in_child();
    struct sigaction sa {};
    sa.sa_handler = warn_timeout;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(WARN_ALARM);
    if (report != REPORT_FD) {
        dup2(report, REPORT_FD);
        close(report);
    }
    ZapLeft left;
    int outcome = warn_carry_out(r, o, &left);
    alarm(0);
    ChildReport rep{REPORT_MAGIC, outcome, left};
    ssize_t n = write(REPORT_FD, &rep, sizeof rep);
    (void)n;
    _exit(outcome);
}

// A child not yet taken up, and what its outcome is about.
struct Child {
    pid_t pid;
    int report;       // read end of its report; -1 none
    int64_t started;  // on the monotonic clock
    int kind;
    int logout;
    int64_t limit;  // for the audit trail
    RuleAt rule;
    SessionRecord login;  // the record as the child had it: names and login time
};

Child* children = nullptr;
int children_room = 0;
int children_count = 0;

// Beyond its alarm, its pause and the kills' own waits: a child still
// running then has lost its alarm somehow, and is ended from here.
constexpr int64_t CHILD_DEADLINE = 2 * WARN_ALARM + REFUSE_PAUSE + 5;

int children_of(const char* user, const SessionRecord* login) {
    int n = 0;
    for (int i = 0; i < children_count; ++i) {
        const SessionRecord& c = children[i].login;
        if (std::strcmp(c.user, user) != 0)
            continue;
        if (login != nullptr && c.login_time == login->login_time &&
            std::strcmp(c.tty_path, login->tty_path) == 0)
            return -1;
        ++n;
    }
    return n;
}

// Puts an action off: the record stays as it was and is judged again soon.
void warn_defer(SessionRecord* r) {
    r->next_check = platform->now();
    warn_pass_wanted = 1;
}

// A logout that did not end its session; report is the child's (nullptr:
// none came).
void child_failed(const Child& c, SessionRecord* r, int outcome, const ZapLeft* report) {
    int left = report != nullptr ? report->processes : 0;
    char stamp[26], user[log_escaped_size(USER_SIZE)], tty[log_escaped_size(TTY_PATH_SIZE)];
    log_stamp(platform->now(), stamp);
    log_escape(c.login.user, user, sizeof user);
    log_escape(c.login.tty_path, tty, sizeof tty);
    const char* reason = warn_reason(c.kind);
    switch (outcome) {
        case CHILD_LEFT:
            if (left > 0)
                log_line(
                    "%19.19s : %s on %s still logged in after logout for %s: %d processes left",
                    stamp, user, tty, reason, left);
            else
                log_line(
                    "%19.19s : %s on %s still logged in after logout for %s: terminal not opened",
                    stamp, user, tty, reason);
            break;
        case CHILD_NO_TABLE:
            log_line("%19.19s : %s on %s still logged in after logout for %s: no process table",
                     stamp, user, tty, reason);
            break;
        default:
            log_line("%19.19s : %s on %s still logged in after logout for %s: cut off", stamp, user,
                     tty, reason);
            break;
    }
    audit_logout_failed(&c.login, reason, c.limit, c.rule, left);
    if (r == nullptr || r->ended != SESSION_ENDING)
        return;
    // Tried again at the next pass, not at once: what kept the processes
    // (a process table out of reach, a process in an uninterruptible
    // wait) is given an interval to pass.
    // The sessions found this time, whose leaders may have gone with the
    // terminal, are where the next try starts.
    if (report != nullptr)
        for (int i = 0; i < TTY_SESSIONS_CARRIED; ++i) r->tty_sessions[i] = report->session[i];
    if (++r->logout_tries < LOGOUT_TRIES) {
        r->ended = SESSION_OPEN;
        r->next_check = platform->now();
        return;
    }
    r->ended = SESSION_UNENDED;
    log_line("%19.19s : gave up logging out %s on %s after %d tries", stamp, user, tty,
             r->logout_tries);
}

// Takes up child i, which ended with wait status status (-1: none to be
// had), and removes it from the list.
void child_done(int i, int status) {
    Child c = children[i];
    children[i] = children[--children_count];
    ChildReport rep{};
    bool reported = false;
    if (c.report >= 0) {
        reported = read(c.report, &rep, sizeof rep) == static_cast<ssize_t>(sizeof rep) &&
                   rep.magic == REPORT_MAGIC;
        close(c.report);
    }
    // Without a report or a status nothing shows what a logout achieved.
    int outcome = reported                           ? rep.outcome
                  : status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status)
                  : status >= 0 || c.logout          ? CHILD_TIMED_OUT
                                                     : CHILD_DONE;
    SessionRecord* r = session_table_find(&c.login);
    if (!c.logout) {
        if (outcome == CHILD_UNWRITABLE)
            unwritable_add(&c.login);
        audit_session("warn", &c.login, warn_reason(c.kind), c.limit, c.rule);
        return;
    }
    if (outcome == CHILD_UNWRITABLE)
        unwritable_add(&c.login);
    if (outcome == CHILD_DONE || outcome == CHILD_UNWRITABLE) {
        if (r != nullptr && r->ended == SESSION_ENDING)
            r->ended = SESSION_LOGGED_OUT;
        audit_session("logout", &c.login, warn_reason(c.kind), c.limit, c.rule);
        return;
    }
    child_failed(c, r, outcome, reported ? &rep.left : nullptr);
}

}  // namespace

int warn_pass_wanted = 0;

void warn_children_reap() {
    int64_t mono = platform->monotonic();
    for (int i = 0; i < children_count;) {
        int status = 0;
        pid_t got = platform->reap_process(children[i].pid, &status);
        if (got == children[i].pid) {
            child_done(i, status);
            continue;
        }
        if (got < 0) {
            // No status to act on: the child is not ours to wait for.
            log_line("Cannot wait in warn: %s", std::strerror(errno));
            child_done(i, -1);
            continue;
        }
        if (mono - children[i].started > CHILD_DEADLINE)
            platform->end_child(children[i].pid);
        ++i;
    }
}

int warn_children_running() {
    return children_count;
}

void (*warn_observer)(const SessionRecord* r, int kind, int64_t shown) = nullptr;

// What the audit trail reports of the warning being given: set by
// warn_audited for the one call of warn it makes.
static int64_t warn_limit = -1;
static RuleAt warn_rule;

void warn_audited(int index, int kind, int64_t limit, RuleAt rule) {
    warn_limit = limit;
    warn_rule = rule;
    warn(index, kind, 1, limit);
    warn_limit = -1;
    warn_rule = RuleAt{};
}

void warn(int index, int kind, int deliver, int64_t shown) {
    SessionRecord* r =
        (kind == WARN_IDLE || kind == WARN_XLOCK) ? &SessionTable[index] : ActiveSessions[index];
    if (!warn_live(r))
        return;
    // One child per login at a time, and no user's logins may take more than
    // their share of the children: the others' are due as well.
    int mine = children_of(r->user, r);
    if (mine < 0 || mine >= CHILDREN_PER_USER || children_count >= CHILDREN_MAX) {
        warn_defer(r);
        return;
    }
    if (children_count == children_room) {
        int room = children_room == 0 ? 8 : children_room * 2;
        auto* grown = static_cast<Child*>(std::realloc(children, sizeof(Child) * room));
        if (grown == nullptr) {
            warn_defer(r);
            return;
        }
        children = grown;
        children_room = room;
    }
    if (!deliver)
        r->warned |= static_cast<uint32_t>(kind);
    static WarnOrder order;
    warn_prepare(r, kind, deliver, shown, platform->now(), &order);
    if (order.logout)
        r->ended = SESSION_ENDING;

    int report[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0)
        report[0] = report[1] = -1;
    if (warn_observer != nullptr)
        warn_observer(r, kind, shown);
    pid_t pid = platform->fork_process();
    if (pid < 0) {
        log_line("Cannot fork in warn: %s", std::strerror(errno));
        terminate_now();
    }
    if (pid == 0) {
        if (report[0] >= 0)
            close(report[0]);
        warn_child_process(r, &order, report[1]);
    }
    if (report[1] >= 0)
        close(report[1]);
    if (report[0] >= 0)
        fcntl(report[0], F_SETFL, O_NONBLOCK);

    // Recorded whatever the child achieves, so the next call logs out.
    if (kind == WARN_MAXUSER || kind == WARN_MULTIPLE || kind == WARN_IDLE ||
        kind == WARN_SESSION || kind == WARN_HOURS)
        r->warned |= static_cast<uint32_t>(kind);

    Child& c = children[children_count++];
    c.pid = pid;
    c.report = report[0];
    c.started = platform->monotonic();
    c.kind = kind;
    c.logout = order.logout;
    c.limit = warn_limit;
    c.rule = warn_rule;
    c.login = *r;
    // A child that is already done is taken up at once.
    warn_children_reap();
}
