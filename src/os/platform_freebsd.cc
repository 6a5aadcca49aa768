// FreeBSD parts of the platform.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/platform.h"
#include "os/platform_os.h"

namespace {

// The database chosen by platform_utx_file, or nullptr for the system's.
const char* utx_file = nullptr;
// The chosen file could not be opened at the last rewind: the scan sees no
// entry rather than the system's database.
bool utx_unreadable = false;

}  // namespace

// setutxent reopens the system's active database whatever setutxdb chose
// before, so a chosen file is opened again by name at every rewind.
void os_utx_rewind() {
    if (utx_file == nullptr) {
        setutxent();
        return;
    }
    utx_unreadable = setutxdb(UTXDB_ACTIVE, utx_file) != 0;
}

const struct utmpx* os_utx_next() {
    return utx_unreadable ? nullptr : getutxent();
}

void os_utx_close() {
    endutxent();
}

// getutxent reads utx.active without a lock and tells no read error from
// the end; a scan is taken as read whole.
int os_utx_error() {
    return 0;
}

int64_t os_monotonic() {
    // FreeBSD's CLOCK_MONOTONIC counts from boot and cannot be set; newer
    // releases name the same clock CLOCK_BOOTTIME.
    struct timespec ts;
#ifdef CLOCK_BOOTTIME
    clock_gettime(CLOCK_BOOTTIME, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return ts.tv_sec;
}

void platform_utx_file(const char* path) {
    endutxent();
    utx_file = path;
    utx_unreadable = false;
}

void platform_close_from(int lowest) {
    closefrom(lowest);
}

int platform_open_beneath(int dir_fd, const char* rel, int flags) {
    return os_open_walk(dir_fd, rel, flags);
}

int platform_stat_beneath(int dir_fd, const char* rel, struct stat* st) {
    return os_stat_walk(dir_fd, rel, st);
}

// A terminal's processes, from the kernel's process table.  Pseudo-terminal
// numbers are global here (one /dev/pts for the whole system, jails
// included), so the terminal's device number alone says which they are.
const char* const platform_proc_name = "kern.proc.tty";

namespace {

// Filled in the warning child: static, not on its stack, and never grown.
struct kinfo_proc tty_table[TTY_PROCS_MAX];

unsigned long long start_of(const struct kinfo_proc& k) {
    return static_cast<unsigned long long>(k.ki_start.tv_sec) * 1000000ULL +
           static_cast<unsigned long long>(k.ki_start.tv_usec);
}

// Whether process i is still the one gathered and has not ended.
bool still_same(const TtyProcs* p, int i) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, p->pid[i]};
    struct kinfo_proc k;
    size_t len = sizeof k;
    return sysctl(mib, 4, &k, &len, nullptr, 0) == 0 && len == sizeof k &&
           start_of(k) == p->start[i] && k.ki_stat != SZOMB;
}

void signal_all(TtyProcs* p, int sig) {
    for (int i = 0; i < p->count; ++i)
        if (p->handle[i] == -1 && still_same(p, i) && kill(p->pid[i], sig) != 0 && errno == EPERM) {
            // Not the user's: no wait for it, and no signal again.
            os_tty_refuse(p, i);
            p->handle[i] = -2;
        }
}

void wait_ended(TtyProcs* p, int ms) {
    for (int waited = 0;; waited += 10) {
        bool left = false;
        for (int i = 0; i < p->count; ++i) {
            if (p->handle[i] == -1 && !still_same(p, i))
                p->handle[i] = -2;
            left = left || p->handle[i] == -1;
        }
        if (!left || waited >= ms)
            return;
        const struct timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

namespace {

// Reads the processes selected by what (KERN_PROC_TTY, KERN_PROC_SESSION,
// KERN_PROC_PID) and arg into tty_table; returns how many, or -1.  A table
// too small for them all gives what fitted and sets p->full.
int proc_table_read(int what, int arg, TtyProcs* p) {
    int mib[4] = {CTL_KERN, KERN_PROC, what, arg};
    size_t len = sizeof tty_table;
    if (sysctl(mib, 4, tty_table, &len, nullptr, 0) != 0) {
        if (errno != ENOMEM)
            return what == KERN_PROC_PID && errno == ESRCH ? 0 : -1;
        p->full = 1;
    }
    return static_cast<int>(len / sizeof tty_table[0]);
}

bool take_process(TtyProcs* p, const struct kinfo_proc& k) {
    if (os_tty_refused(p, k.ki_pid, start_of(k))) {
        ++p->others;
        return true;
    }
    if (p->count == TTY_PROCS_MAX) {
        p->full = 1;
        return false;
    }
    p->pid[p->count] = k.ki_pid;
    p->start[p->count] = start_of(k);
    p->handle[p->count] = -1;
    ++p->count;
    return true;
}

}  // namespace

int platform_tty_gather(int tty_fd, TtyProcs* p) {
    p->count = p->unconfirmed = p->full = p->others = 0;
    struct stat node;
    if (fstat(tty_fd, &node) != 0)
        return -1;
    pid_t self = getpid();
    // The sessions found before whose id has passed to a new session (its
    // leader started at another time) are dropped.
    int kept = 0;
    for (int j = 0; j < p->sessions; ++j) {
        const TtySession t = p->session[j];
        int n = proc_table_read(KERN_PROC_PID, t.id, p);
        if (n < 0)
            return -1;
        if (t.leader_start != 0 && n == 1 && tty_table[0].ki_sid == t.id &&
            start_of(tty_table[0]) != t.leader_start)
            continue;
        p->session[kept++] = t;
    }
    p->sessions = kept;
    // The sessions on the terminal now, added to those found before: once
    // a leader has gone the terminal is taken from the rest of its
    // session, which is then found by its session id alone.
    int n = proc_table_read(KERN_PROC_TTY, static_cast<int>(node.st_rdev), p);
    if (n < 0)
        return -1;
    pid_t found[TTY_SESSIONS_KEPT];
    int found_count = 0;
    for (int i = 0; i < n && found_count < TTY_SESSIONS_KEPT; ++i) {
        bool known = false;
        for (int j = 0; j < p->sessions && !known; ++j)
            known = p->session[j].id == tty_table[i].ki_sid;
        for (int j = 0; j < found_count && !known; ++j) known = found[j] == tty_table[i].ki_sid;
        if (!known && tty_table[i].ki_sid > 0)
            found[found_count++] = tty_table[i].ki_sid;
    }
    for (int j = 0; j < found_count && p->sessions < TTY_SESSIONS_KEPT; ++j) {
        n = proc_table_read(KERN_PROC_PID, found[j], p);
        if (n < 0)
            return -1;
        bool leader = n == 1 && tty_table[0].ki_sid == found[j];
        p->session[p->sessions++] = {found[j], leader ? start_of(tty_table[0]) : 0};
    }
    // The sessions' leaders first, so that the rounds of a logout cannot be
    // spent on a crowd while the shell lives on.
    for (int j = 0; j < p->sessions; ++j) {
        n = proc_table_read(KERN_PROC_PID, p->session[j].id, p);
        if (n < 0)
            return -1;
        if (n == 1 && tty_table[0].ki_sid == p->session[j].id && tty_table[0].ki_stat != SZOMB &&
            tty_table[0].ki_pid != self && !take_process(p, tty_table[0]))
            return 0;
    }
    for (int j = 0; j < p->sessions; ++j) {
        n = proc_table_read(KERN_PROC_SESSION, p->session[j].id, p);
        if (n < 0)
            return -1;
        for (int i = 0; i < n; ++i) {
            const struct kinfo_proc& k = tty_table[i];
            if (k.ki_pid == self || k.ki_stat == SZOMB || k.ki_pid == k.ki_sid)
                continue;
            if (!take_process(p, k))
                return 0;
        }
    }
    return 0;
}

void platform_tty_end(TtyProcs* p, int gentle) {
    if (gentle) {
        signal_all(p, SIGHUP);
        signal_all(p, SIGCONT);
        wait_ended(p, HANGUP_GRACE_MS);
        signal_all(p, SIGTERM);
        wait_ended(p, TERM_GRACE_MS);
    }
    signal_all(p, SIGKILL);
    wait_ended(p, KILL_WAIT_MS);
    p->count = 0;
}

// What a process runs and which terminals it holds, from the kernel's
// process table, for telling a multiplexer's pane from a login.  A
// terminal's device number names it system-wide here, so a descriptor of
// a character device with that number is the terminal.  Runs in the
// daemon, not in a warning child.
int os_process_program(pid_t pid, char* name, size_t size, uid_t* uid) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct kinfo_proc k;
    size_t len = sizeof k;
    if (sysctl(mib, 4, &k, &len, nullptr, 0) != 0)
        return -1;
    if (len != sizeof k) {
        errno = ESRCH;
        return -1;
    }
    char exe[PATH_MAX];
    mib[2] = KERN_PROC_PATHNAME;
    len = sizeof exe;
    if (sysctl(mib, 4, exe, &len, nullptr, 0) != 0)
        return -1;
    exe[sizeof exe - 1] = '\0';
    os_copy_basename(exe, name, size);
    *uid = k.ki_ruid;
    return 0;
}

int os_process_holds(pid_t pid, const char* const* paths, int count) {
    constexpr int HELD_MAX = Platform::PROCESS_HOLDS_MAX;
    uint64_t rdev[HELD_MAX];
    bool known[HELD_MAX];
    if (count > HELD_MAX)
        count = HELD_MAX;
    for (int i = 0; i < count; ++i) {
        struct stat st;
        known[i] = stat(paths[i], &st) == 0;
        rdev[i] = known[i] ? static_cast<uint64_t>(st.st_rdev) : 0;
    }
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC, pid};
    size_t len = 0;
    if (sysctl(mib, 4, nullptr, &len, nullptr, 0) != 0)
        return -1;
    len += len / 4;  // room for descriptors opened meanwhile
    auto* buf = static_cast<char*>(std::malloc(len));
    if (buf == nullptr)
        return -1;
    int held = -1;
    if (sysctl(mib, 4, buf, &len, nullptr, 0) == 0) {
        for (size_t at = 0; held < 0 && at + sizeof(int) <= len;) {
            const auto* f = reinterpret_cast<const struct kinfo_file*>(buf + at);
            if (f->kf_structsize <= 0)
                break;
            if (f->kf_type == KF_TYPE_VNODE && f->kf_vnode_type == KF_VTYPE_VCHR) {
                for (int i = 0; i < count && held < 0; ++i)
                    if (known[i] && f->kf_un.kf_file.kf_file_rdev == rdev[i])
                        held = i;
            }
            at += static_cast<size_t>(f->kf_structsize);
        }
    }
    std::free(buf);
    return held;
}
// Where syslog(3) sends on this system.
const char* platform_syslog_path = "/var/run/log";
