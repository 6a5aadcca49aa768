#include "enforce/logout.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "base/event_log.h"
#include "base/log_escape.h"
#include "enforce/terminal.h"
#include "os/platform.h"
#include "pathnames.h"

// The NUL is part of the notice: it goes out as one 30-byte block.
static const char logout_notice[] = "\n\n\aLogged out by the system.\n";
static_assert(sizeof logout_notice == 30);

// The last request made of the terminal before it is closed.  Current Linux
// and FreeBSD drivers know no request 3 and answer ENOTTY; it is harmless and
// its result is not looked at.
constexpr unsigned long ZAP_IOCTL_REQUEST = 3;

// A failed change leaves the superuser identity in force, which is how an
// unknown user's processes are killed anyway.  Signals go out with it; the
// superuser's is needed to see which processes are the terminal's.
static void zap_set_euid(uid_t uid) {
    if (seteuid(uid) != 0)
        return;
}

int zap(const SessionRecord* r, const char* reason, int deliver, uid_t uid, int uid_known,
        ZapLeft* left) {
    *left = ZapLeft{};
    close_descriptors();
    // Held open until the processes are dealt with: it says which terminal
    // they must have, and while it is open its number cannot pass to another
    // login.
    int fd = terminal_open(r->tty_path, deliver ? O_RDWR : O_RDONLY);
    int open_errno = errno;
    bool notice = deliver && fd >= 0;
    // Any access will do to tell the terminal's processes from others.
    for (int mode : {O_WRONLY, O_RDONLY})
        if (fd < 0)
            fd = terminal_open(r->tty_path, mode);
    if (notice) {
        tcflow(fd, TCOON);
        // A terminal that never drains must not hold up the kills (the
        // alarm would end the child before them, at every attempt): the
        // notice goes out as far as there is room for it.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    char stamp[26];
    log_stamp(platform->now(), stamp);
    // The names come from the login database, which users can write into.
    char user[log_escaped_size(USER_SIZE)], tty[log_escaped_size(TTY_PATH_SIZE)];
    log_escape(r->user, user, sizeof user);
    log_escape(r->tty_path, tty, sizeof tty);
    if (uid_known)
        zap_set_euid(uid);
    else
        uid = 0;

    if (notice) {
        terminal_write(fd, logout_notice, sizeof logout_notice);
        ioctl(fd, ZAP_IOCTL_REQUEST, 0);
    } else if (deliver) {
        zap_set_euid(0);
        log_line("%19.19s : couldn't open %s for %s.", stamp, tty, user);
    }

    int outcome = CHILD_DONE;
    if (fd >= 0) {
        int n = kill_tty_processes(r, fd, uid, left);
        close(fd);
        if (n != 0)
            outcome = n < 0 ? CHILD_NO_TABLE : CHILD_LEFT;
        left->processes = n > 0 ? n : 0;
    } else {
        // Without the terminal there is no telling its processes from those
        // of another terminal with the same number: none is touched.  Only
        // a terminal that no longer exists shows its session gone.
        zap_set_euid(0);
        if (!deliver)
            log_line("%19.19s : cannot open %s for %s: %s", stamp, tty, user,
                     std::strerror(open_errno));
        if (open_errno != ENOENT)
            outcome = CHILD_LEFT;
    }
    zap_set_euid(0);
    if (outcome == CHILD_DONE)
        log_line("%19.19s : %s on %s because %s", stamp, user, tty, reason);
    return outcome;
}

void close_descriptors() {
    // Closes what is open whatever the limit says: walking every number below
    // a hard limit of 2^30 would outlast the child's alarm.
    platform_close_from(3);
}

namespace {

long long logout_clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

namespace {

void sessions_left(const TtyProcs& procs, ZapLeft* left) {
    if (left == nullptr)
        return;
    for (int i = 0; i < TTY_SESSIONS_CARRIED; ++i)
        left->session[i] = i < procs.sessions ? procs.session[i] : TtySession{0, 0};
}

}  // namespace

int kill_tty_processes(const SessionRecord* r, int tty_fd, uid_t uid, ZapLeft* left) {
    // Other users' descriptors, which tell one terminal from another of the
    // same number, are visible only to the superuser; the signals go out
    // with the user's identity.
    TtyProcs procs;
    procs.sessions = procs.refused = 0;
    for (const TtySession& t : r->tty_sessions)
        if (t.id > 0)
            procs.session[procs.sessions++] = t;
    int unconfirmed = 0;
    long long deadline = logout_clock_ms() + LOGOUT_KILL_MS;
    for (int round = 0;; ++round) {
        zap_set_euid(0);
        if (platform_tty_gather(tty_fd, &procs) != 0) {
            int saved = errno;
            char stamp[26], line[log_escaped_size(TTY_PATH_SIZE)];
            log_line("%19.19s : cannot read %s for %s: %s", log_stamp(platform->now(), stamp),
                     platform_proc_name, log_escape(session_line(r), line, sizeof line),
                     std::strerror(saved));
            sessions_left(procs, left);
            return -1;
        }
        if (procs.unconfirmed > unconfirmed)
            unconfirmed = procs.unconfirmed;
        // Gone: nothing left on the terminal at this look.
        if (procs.count == 0)
            break;
        if (round > 0 && logout_clock_ms() >= deadline) {
            // What is left is told, not ended: the next pass tries again.
            int n = procs.count;
            for (int i = 0; i < n; ++i)
                if (procs.handle[i] >= 0)
                    close(procs.handle[i]);
            procs.count = 0;
            sessions_left(procs, left);
            return procs.full ? n + 1 : n;
        }
        zap_set_euid(uid);
        platform_tty_end(&procs, round == 0);
    }
    zap_set_euid(0);
    if (unconfirmed > 0) {
        char stamp[26], line[log_escaped_size(TTY_PATH_SIZE)];
        log_line(
            "%19.19s : left %d processes with the number of %s alone: their sessions do not "
            "hold it open",
            log_stamp(platform->now(), stamp), unconfirmed,
            log_escape(session_line(r), line, sizeof line));
    }
    // Processes the user could not have ended either (a shell started there
    // with su): not the login's, so they do not keep it logged in.
    if (procs.others > 0) {
        char stamp[26], line[log_escaped_size(TTY_PATH_SIZE)];
        log_line("%19.19s : left %d processes of other users on %s alone",
                 log_stamp(platform->now(), stamp), procs.others,
                 log_escape(session_line(r), line, sizeof line));
    }
    return 0;
}
