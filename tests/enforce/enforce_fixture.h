// Helpers for the enforcement tests: a private directory holding the event
// log, pseudo-terminals with a session process on them, and running code in
// a forked child (zap closes every descriptor from 2 up and changes the
// effective uid, which the test process itself must not do).
#ifndef QUELLD_TESTS_ENFORCE_ENFORCE_FIXTURE_H
#define QUELLD_TESTS_ENFORCE_ENFORCE_FIXTURE_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "base/event_log.h"
#include "base/session_table.h"
#include "enforce/logout.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"

namespace enforce_test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

inline void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

// A private directory with a short name, so that paths in it fit a
// tty_path; the event log goes to "log" inside it.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/qd-XXXXXX";
        path = mkdtemp(tmpl);
        log = path + "/log";
        log_path = log.c_str();
    }
    ~TempDir() {
        log_path = "/dev/null";
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string File(const char* name) const { return path + "/" + name; }
    std::string Log() const { return ReadFile(log); }
    std::string path, log;
};

// A pseudo-terminal whose output reaches the master unchanged.  The test
// keeps a slave descriptor so the master never reads end-of-file.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY), slave = -1;
    std::string path;
    Pty() {
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        struct termios t;
        tcgetattr(slave, &t);
        t.c_oflag &= ~OPOST;
        tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    // Whatever arrives until ms milliseconds pass without output.
    std::string Read(int ms = 300) const {
        std::string out;
        struct pollfd p {
            master, POLLIN, 0
        };
        char buf[1024];
        for (ssize_t n; poll(&p, 1, ms) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

// A process in its own session with path (if any) as controlling terminal,
// running as uid; stubborn ignores SIGHUP and SIGTERM.  Returns once ready.
inline pid_t StartSession(const std::string& path, bool stubborn = false, uid_t uid = 0) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (!path.empty() && open(path.c_str(), O_RDWR) < 0)
            _exit(1);
        if (stubborn) {
            signal(SIGHUP, SIG_IGN);
            signal(SIGTERM, SIG_IGN);
        }
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
            _exit(1);
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        for (;;) pause();
    }
    char c;
    close(ready[1]);
    if (read(ready[0], &c, 1) != 1)
        pid = -1;
    close(ready[0]);
    return pid;
}

// The wait status of pid if it ends within ms milliseconds; else kills it
// and returns -1.
inline int WaitFor(pid_t pid, int ms) {
    int status;
    for (int i = 0; i < ms / 10; ++i, usleep(10000))
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

inline bool KilledBy(int status, int sig) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

// Runs fn in a forked child: its result, or 1000 + the signal that ended it.
inline int RunInChild(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

inline SessionRecord Session(const char* user, const std::string& path, int64_t login_time = 1) {
    SessionRecord r{};
    std::strncpy(r.user, user, sizeof r.user - 1);
    std::strncpy(r.tty_path, path.c_str(), sizeof r.tty_path - 1);
    r.login_time = login_time;
    return r;
}

// zap as a logout's child runs it: the user looked up first, as the daemon
// does before the fork.  Returns zap's outcome.
inline int Zap(const SessionRecord& r, const char* reason, int deliver) {
    SessionRecord w = r;
    w.warned = WARN_IDLE;
    WarnOrder o;
    warn_prepare(&w, WARN_IDLE, deliver, w.idle_limit, platform->now(), &o);
    ZapLeft left;
    return zap(&r, reason, deliver, o.uid, o.uid_known, &left);
}

inline std::string Stamp(time_t t, size_t width = 19) {
    char stamp[26];
    return std::string(log_stamp(t, stamp), width);
}

const std::string kNotice("\n\n\aLogged out by the system.\n\0", 30);

}  // namespace enforce_test

#endif  // QUELLD_TESTS_ENFORCE_ENFORCE_FIXTURE_H
