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

// Writes one warning text to the terminal, whole.
static void warn_write(int fd, int len, const char* text) {
    constexpr long cap = static_cast<long>(TEXT_SIZE) - 1;
    if (len > 0)
        terminal_write(fd, text, len < cap ? len : cap);
}

// zap closes every descriptor from 2 up, the child's own terminal included;
// closing it first keeps the number from being closed twice.
static void warn_zap(SessionRecord* r, int* fd, const char* reason, int deliver) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
    zap(r, reason, deliver);
}

// The refusal notice, a pause, then the logout for reason.
static void warn_refuse(SessionRecord* r, int* fd, const char* reason, int deliver, time_t now) {
    char text[TEXT_SIZE];
    if (deliver)
        warn_write(*fd, text_refused(text, sizeof text, now), text);
    // The pause is not charged to the alarm: the logout gets a fresh one.
    alarm(0);
    platform->sleep_seconds(REFUSE_PAUSE);
    alarm(WARN_ALARM);
    warn_zap(r, fd, reason, deliver);
}

int warn_child(SessionRecord* r, int kind, int deliver) {
    int fd = -1;
    if (deliver) {
        int probe = terminal_open(r->tty_path, O_RDONLY);
        if (probe < 0)
            deliver = 0;
        else
            close(probe);
        fd = terminal_open(r->tty_path, O_WRONLY);
        if (fd < 0) {
            if (unwritable_find(r))
                return 0;
            char stamp[26], tty[log_escaped_size(TTY_PATH_SIZE)], user[log_escaped_size(USER_SIZE)];
            log_line("%19.19s: Error in warn--Cannot open %s for %s.",
                     log_stamp(platform->now(), stamp), log_escape(r->tty_path, tty, sizeof tty),
                     log_escape(r->user, user, sizeof user));
            return 5;
        }
    }
    if (deliver)
        tcflow(fd, TCOON);

    time_t now = platform->now();
    char text[TEXT_SIZE];
    bool bit_set = (r->warned & static_cast<uint32_t>(kind)) != 0;
    switch (kind) {
        case WARN_IDLE:
            if (bit_set)
                warn_zap(r, &fd, "idle", deliver);
            else if (deliver)
                warn_write(fd, text_idle(text, sizeof text, r, now), text);
            break;
        case WARN_MULTIPLE:
            if (bit_set)
                warn_zap(r, &fd, "multiple", deliver);
            else if (deliver)
                warn_write(fd, text_multiple(text, sizeof text, r, now), text);
            break;
        case WARN_SESSION:
            if (bit_set)
                warn_zap(r, &fd, "session", deliver);
            else if (deliver)
                warn_write(fd, text_session(text, sizeof text, r, now), text);
            break;
        case WARN_MAXUSER:
            if (bit_set)
                warn_zap(r, &fd, "maxuser", deliver);
            else if (deliver)
                warn_write(fd, text_maxuser(text, sizeof text, r, now), text);
            break;
        case WARN_REFUSED:
            warn_refuse(r, &fd, "refused", deliver, now);
            break;
        case WARN_HOURS:
            if (bit_set && r->hours_ruled != 0 && r->hours->end == 0)
                warn_refuse(r, &fd, "hours", deliver, now);
            else if (bit_set)
                warn_zap(r, &fd, "hours", deliver);
            else if (deliver)
                warn_write(fd, text_hours(text, sizeof text, r, now), text);
            break;
        case WARN_XLOCK:
            warn_zap(r, &fd, "xlock", deliver);
            break;
        default:
            break;
    }
    if (fd >= 0)
        close(fd);
    alarm(0);
    return 0;
}

int warn_live(SessionRecord* r) {
    if (r->ended != SESSION_OPEN)
        return 0;
    if (live_session(r))
        return 1;
    r->ended = SESSION_STALE;
    char stamp[26], user[log_escaped_size(USER_SIZE)], tty[log_escaped_size(TTY_PATH_SIZE)];
    log_line("%19.19s : stale record of %s on %s, left alone", log_stamp(platform->now(), stamp),
             log_escape(r->user, user, sizeof user), log_escape(r->tty_path, tty, sizeof tty));
    audit_stale(r);
    return 0;
}

// The time-out path of the warning child: whatever it was doing is
// abandoned.  Nothing is buffered in user space, so nothing more reaches the
// terminal, and _exit runs no destructors and flushes nothing.
static void warn_timeout(int /*sig*/) {
    _exit(0);
}

[[noreturn]] static void warn_child_process(SessionRecord* r, int kind, int deliver) {
    signals_unblock_in_child();
    struct sigaction sa {};
    sa.sa_handler = warn_timeout;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(WARN_ALARM);
    _exit(warn_child(r, kind, deliver));
}

void (*warn_observer)(const SessionRecord* r, int kind) = nullptr;

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

// What the audit trail reports of the warning being given: set by
// warn_audited for the one call of warn it makes.
static int64_t warn_limit = -1;
static RuleAt warn_rule;

void warn_audited(int index, int kind, int64_t limit, RuleAt rule) {
    warn_limit = limit;
    warn_rule = rule;
    warn(index, kind, 1);
    warn_limit = -1;
    warn_rule = RuleAt{};
}

void warn(int index, int kind, int deliver) {
    SessionRecord* r =
        (kind == WARN_IDLE || kind == WARN_XLOCK) ? &SessionTable[index] : ActiveSessions[index];
    if (!warn_live(r))
        return;
    if (!deliver)
        r->warned |= static_cast<uint32_t>(kind);
    // Given once per login: its record may outlive it (nothing is left of
    // the login to record its end), and a second logout would reach
    // whoever holds the line next.
    if (kind == WARN_REFUSED || kind == WARN_XLOCK || (r->warned & static_cast<uint32_t>(kind)))
        r->ended = SESSION_LOGGED_OUT;
    const char* event = r->ended == SESSION_LOGGED_OUT ? "logout" : "warn";

    if (warn_observer != nullptr)
        warn_observer(r, kind);
    pid_t pid = platform->fork_process();
    if (pid < 0) {
        log_line("Cannot fork in warn: %s", std::strerror(errno));
        terminate_now();
    }
    if (pid == 0)
        warn_child_process(r, kind, deliver);

    // Recorded whatever the child achieves, so the next call logs out.
    if (kind == WARN_MAXUSER || kind == WARN_MULTIPLE || kind == WARN_IDLE ||
        kind == WARN_SESSION || kind == WARN_HOURS)
        r->warned |= static_cast<uint32_t>(kind);

    int status = 0;
    for (;;) {
        if (platform->wait_process(pid, &status) == pid)
            break;
        if (errno == EINTR) {
            terminate_if_requested();
            continue;
        }
        // No status to act on: the child is not ours to wait for (already
        // reaped).  Treated as an end without news; a terminal it could not
        // open is then reported again at the next warning.
        log_line("Cannot wait in warn: %s", std::strerror(errno));
        audit_session(event, r, warn_reason(kind), warn_limit, warn_rule);
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 5)
        unwritable_add(r);
    // After the child, whose line the event log has by now: the trail
    // follows the log's order.
    audit_session(event, r, warn_reason(kind), warn_limit, warn_rule);
}
