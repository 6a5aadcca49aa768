#include "enforce/logout.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "daemon/event_log.h"
#include "daemon/log_escape.h"
#include "enforce/terminal.h"
#include "os/platform.h"
#include "pathnames.h"

const char* ps_path = PATH_PS;

// The NUL is part of the notice: it goes out as one 30-byte block.
static const char logout_notice[] = "\n\n\aLogged out by the system.\n";
static_assert(sizeof logout_notice == 30);

// The last request made of the terminal before it is closed.  Current Linux
// and FreeBSD drivers know no request 3 and answer ENOTTY; it is harmless and
// its result is not looked at.
constexpr unsigned long ZAP_IOCTL_REQUEST = 3;

// A failed change leaves the superuser identity in force, which is how an
// unknown user's processes are killed anyway.
static void zap_set_euid(uid_t uid) {
    if (seteuid(uid) != 0)
        return;
}

void zap(const SessionRecord* r, const char* reason, int deliver) {
    close_descriptors();
    int fd = -1;
    if (deliver) {
        fd = terminal_open(r->tty_path, O_RDWR);
        if (fd >= 0) {
            tcflow(fd, TCOON);
            // A terminal that never drains must not hold up the kills (the
            // alarm would end the child before them, at every attempt): the
            // notice goes out as far as there is room for it.
            int flags = fcntl(fd, F_GETFL);
            if (flags >= 0)
                fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    char stamp[26];
    log_stamp(platform->now(), stamp);
    // The names come from the login database, which users can write into.
    char user[log_escaped_size(USER_SIZE)], tty[log_escaped_size(TTY_PATH_SIZE)];
    log_escape(r->user, user, sizeof user);
    log_escape(r->tty_path, tty, sizeof tty);

    const struct passwd* pw = platform->pw_by_name(r->user);
    if (pw != nullptr) {
        zap_set_euid(pw->pw_uid);
    } else {
        log_line(
            "Error getting user information for %s in zap.  Will attempt kill\n\twithout uid "
            "changing.",
            user);
    }

    if (deliver && fd >= 0) {
        terminal_write(fd, logout_notice, sizeof logout_notice);
        fsync(fd);
        ioctl(fd, ZAP_IOCTL_REQUEST, 0);
        close(fd);
    } else if (deliver) {
        zap_set_euid(0);
        log_line("%19.19s : couldn't open %s for %s.", stamp, tty, user);
    }

    kill_tty_processes(r);
    zap_set_euid(0);
    log_line("%19.19s : %s on %s because %s", stamp, user, tty, reason);
}

void close_descriptors() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        log_line("Error calling system function: getrlimit");
    // Closes what is open whatever the limit says: walking every number below
    // a hard limit of 2^30 would outlast the child's alarm.
    platform_close_from(2);
}

void kill_process(pid_t pid) {
    kill(pid, SIGHUP);
    kill(pid, SIGTERM);
    kill(pid, SIGKILL);
}

pid_t ps_line_pid(const char* line, size_t len) {
    size_t i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t')) ++i;
    // No sign is taken: -1 would signal every process and 0 the daemon's own
    // process group.
    long long pid = 0;
    size_t digits = 0;
    for (; i < len && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
        pid = pid * 10 + (line[i] - '0');
        if (pid > INT_MAX)
            return 0;
    }
    return digits > 0 ? static_cast<pid_t>(pid) : 0;
}

// The pipe ends must not land on 0, 1 or 2, which the listing command gets
// as its standard streams.
static int fd_above_stdio(int fd) {
    if (fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// ps takes a list of terminals after -t, split at commas and blanks, so a
// line name holding one would have other terminals' processes killed.  Only
// characters that terminal names use are let through.
static bool ps_line_ok(const char* line) {
    if (*line == '\0')
        return false;
    for (const char* c = line; *c != '\0'; ++c) {
        bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                  (*c >= '0' && *c <= '9') || std::strchr("/._:-", *c) != nullptr;
        if (!ok)
            return false;
    }
    return true;
}

// Starts ps_path for line with its output on a pipe.  Returns the read end
// and the command's pid in *pid, or -1 with errno set.
static int ps_start(const char* line, pid_t* pid) {
    if (!ps_line_ok(line)) {
        errno = EINVAL;
        return -1;
    }
    int p[2];
    if (pipe(p) != 0)
        return -1;
    int rd = fd_above_stdio(p[0]);
    int wr = fd_above_stdio(p[1]);
    if (rd < 0 || wr < 0 || fcntl(rd, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(wr, F_SETFD, FD_CLOEXEC) != 0) {
        int saved = errno;
        if (rd >= 0)
            close(rd);
        if (wr >= 0)
            close(wr);
        errno = saved;
        return -1;
    }

    char arg0[] = "ps";
    char arg1[2 + TTY_PATH_SIZE];
    std::strcpy(arg1, "-t");
    std::strncat(arg1, line, TTY_PATH_SIZE - 1);
    char* argv[] = {arg0, arg1, nullptr};
    // An empty environment: variables such as PS_FORMAT would change the
    // listing's columns.
    char* envp[] = {nullptr};

    posix_spawn_file_actions_t fa;
    int err = posix_spawn_file_actions_init(&fa);
    if (err == 0) {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, wr, 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        err = posix_spawn(pid, ps_path, &fa, nullptr, argv, envp);
        posix_spawn_file_actions_destroy(&fa);
    }
    close(wr);
    if (err != 0) {
        close(rd);
        errno = err;
        return -1;
    }
    return rd;
}

void kill_tty_processes(const SessionRecord* r) {
    pid_t pid;
    int fd = ps_start(session_line(r), &pid);
    if (fd < 0) {
        int saved = errno;
        char stamp[26], line[log_escaped_size(TTY_PATH_SIZE)];
        // Every log line is written as the superuser.
        zap_set_euid(0);
        log_line("%19.19s : cannot run %s for %s: %s", log_stamp(platform->now(), stamp), ps_path,
                 log_escape(session_line(r), line, sizeof line), std::strerror(saved));
        return;
    }

    // Only the start of a line matters (its process id); the rest of a long
    // line is dropped but it still counts as one line.
    char line[64];
    size_t len = 0;
    bool header = true;
    char chunk[512];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\n') {
                if (len < sizeof line)
                    line[len++] = chunk[i];
                continue;
            }
            // Killed at once, before the next line is looked at.
            if (!header) {
                pid_t victim = ps_line_pid(line, len);
                if (victim > 0)
                    kill_process(victim);
            }
            header = false;
            len = 0;
        }
    }
    if (!header && len > 0) {
        pid_t victim = ps_line_pid(line, len);
        if (victim > 0)
            kill_process(victim);
    }
    close(fd);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}
