// The real platform: plain POSIX and utmpx.  What differs between systems
// lives in platform_<os>.cc.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "os/platform.h"
#include "os/platform_os.h"

namespace {

// The mask the sleep and the child wait run under: the current one without
// the termination signals and SIGCHLD, which the daemon otherwise blocks.
sigset_t open_mask() {
    sigset_t m;
    sigprocmask(SIG_SETMASK, nullptr, &m);
    sigdelset(&m, SIGTERM);
    sigdelset(&m, SIGALRM);
    sigdelset(&m, SIGCHLD);
    return m;
}

class PosixPlatform final : public Platform {
   public:
    // The same clock as sleep_until's, so that a wake-up at the start of a
    // second reads as that second.
    time_t now() override {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts.tv_sec;
    }

    int64_t monotonic() override { return os_monotonic(); }

    int file_stamp(const char* path, FileStamp* stamp) override {
        struct stat st;
        if (stat(path, &st) != 0)
            return -1;
        stamp->mtime = st.st_mtime;
        stamp->ctime_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
        stamp->dev = static_cast<uint64_t>(st.st_dev);
        stamp->ino = static_cast<uint64_t>(st.st_ino);
        return 0;
    }

    int file_times(const char* path, time_t* atime, time_t* mtime) override {
        struct stat st;
        if (stat(path, &st) != 0)
            return -1;
        *atime = st.st_atime;
        *mtime = st.st_mtime;
        return 0;
    }

    int process_exists(pid_t pid) override { return kill(pid, 0) == 0 || errno == EPERM ? 1 : 0; }

    int file_owner(const char* path, uid_t* uid) override {
        struct stat st;
        if (stat(path, &st) != 0)
            return -1;
        *uid = st.st_uid;
        return 0;
    }

    int process_program(pid_t pid, char* name, size_t size, uid_t* uid) override {
        return os_process_program(pid, name, size, uid);
    }
    int process_holds(pid_t pid, const char* const* paths, int count) override {
        return os_process_holds(pid, paths, count);
    }

    void utx_rewind() override { os_utx_rewind(); }
    const struct utmpx* utx_next() override { return os_utx_next(); }
    void utx_close() override { os_utx_close(); }
    int utx_error() override { return os_utx_error(); }

    const struct passwd* pw_by_name(const char* name) override { return getpwnam(name); }
    const struct group* gr_by_name(const char* name) override { return getgrnam(name); }
    const struct group* gr_by_gid(gid_t gid) override { return getgrgid(gid); }

    int group_list(const char* user, gid_t group, gid_t* groups, int* count) override {
        int asked = *count;
        int r = getgrouplist(user, group, groups, count);
        if (r < 0)
            return -1;
        // glibc returns the count, FreeBSD 0: *count holds it either way.
        if (*count > asked)
            *count = asked;
        return *count;
    }

    pid_t fork_process() override { return fork(); }

    pid_t reap_process(pid_t pid, int* status) override {
        for (;;) {
            pid_t r = waitpid(pid, status, WNOHANG);
            if (r < 0 && errno == EINTR)
                continue;
            return r;
        }
    }

    void end_child(pid_t pid) override { kill(pid, SIGKILL); }

    void sleep_seconds(unsigned seconds) override {
        sigset_t m = open_mask();
        struct timespec ts {};
        ts.tv_sec = seconds;
        pselect(0, nullptr, nullptr, nullptr, &ts, &m);
    }

    void sleep_until(time_t when) override {
        sigset_t m = open_mask();
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct timespec ts {};
        if (when > now.tv_sec) {
            // To a millisecond past the boundary: the relative timeout runs
            // on another clock than the real-time one, and waking a hair
            // early would read as the second before.  The wait is at most a
            // cycle's sleep_interval, so the nanoseconds cannot overflow.
            int64_t seconds = std::min<int64_t>(when - now.tv_sec, INT32_MAX);
            int64_t ns = seconds * 1000000000 - now.tv_nsec + 1000000;
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        pselect(0, nullptr, nullptr, nullptr, &ts, &m);
    }
};

}  // namespace

Platform* real_platform() {
    static PosixPlatform p;
    return &p;
}

Platform* platform = real_platform();

int os_walk_parent(int dir_fd, const char* rel, const char** last) {
    int cur = dir_fd;
    const char* name = rel;
    for (;;) {
        const char* slash = name;
        while (*slash != '\0' && *slash != '/') ++slash;
        size_t len = static_cast<size_t>(slash - name);
        bool dots = (len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.');
        if (len == 0 || dots || len > NAME_MAX) {
            if (cur != dir_fd)
                close(cur);
            errno = len > NAME_MAX ? ENAMETOOLONG : EINVAL;
            return -1;
        }
        if (*slash == '\0') {
            *last = name;
            if (cur == dir_fd)
                cur = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
            return cur;
        }
        char part[NAME_MAX + 1];
        std::memcpy(part, name, len);
        part[len] = '\0';
        int next = openat(cur, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        if (cur != dir_fd)
            close(cur);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        cur = next;
        name = slash + 1;
    }
}

int os_open_walk(int dir_fd, const char* rel, int flags) {
    const char* last = nullptr;
    int parent = os_walk_parent(dir_fd, rel, &last);
    if (parent < 0)
        return -1;
    int fd = openat(parent, last, flags | O_NOFOLLOW | O_CLOEXEC);
    int saved = errno;
    close(parent);
    errno = saved;
    return fd;
}

int os_stat_walk(int dir_fd, const char* rel, struct stat* st) {
    const char* last = nullptr;
    int parent = os_walk_parent(dir_fd, rel, &last);
    if (parent < 0)
        return -1;
    int rc = fstatat(parent, last, st, AT_SYMLINK_NOFOLLOW);
    int saved = errno;
    close(parent);
    errno = saved;
    return rc;
}

// The system log's socket, kept from one message to the next.
static int syslog_fd = -1;

int platform_syslog_send(const char* msg, size_t len) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    size_t path_len = std::strlen(platform_syslog_path);
    if (path_len >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, platform_syslog_path, path_len + 1);
    if (syslog_fd < 0) {
        syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (syslog_fd < 0)
            return -1;
    }
    // Addressed afresh each time rather than connected once: a log daemon
    // restarted since (a new socket at the same path) is reached without
    // noticing that the old one went away.
    ssize_t n = sendto(syslog_fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr);
    return n < 0 ? -1 : 0;
}

void platform_syslog_close() {
    if (syslog_fd >= 0)
        close(syslog_fd);
    syslog_fd = -1;
}

void os_copy_basename(const char* path, char* name, size_t size) {
    const char* base = std::strrchr(path, '/');
    const char* from = base != nullptr ? base + 1 : path;
    if (size == 0)
        return;
    size_t n = std::strlen(from);
    if (n >= size)
        n = size - 1;
    std::memcpy(name, from, n);
    name[n] = '\0';
}

bool os_tty_refused(const TtyProcs* p, pid_t pid, unsigned long long start) {
    for (int i = 0; i < p->refused; ++i)
        if (p->refused_pid[i] == pid && p->refused_start[i] == start)
            return true;
    return false;
}

void os_tty_refuse(TtyProcs* p, int i) {
    if (p->refused == TTY_REFUSED_MAX || os_tty_refused(p, p->pid[i], p->start[i]))
        return;
    p->refused_pid[p->refused] = p->pid[i];
    p->refused_start[p->refused] = p->start[i];
    ++p->refused;
}
