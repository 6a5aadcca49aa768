// Linux (glibc) parts of the platform.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "os/platform.h"
#include "os/platform_os.h"

// The login database is read many entries at a time.  glibc's getutxent
// takes the file's lock, reads one entry and drops the lock again for every
// entry, which at hundreds of logins is most of what a pass costs.  The file
// holds glibc's struct utmpx records back to back; a partial record at its
// end is not an entry, as for glibc.
namespace {

// Entries per read: a few reads cover a large host, and the buffer stays
// small and static, so a pass neither allocates nor grows the daemon.
constexpr size_t UTX_CHUNK = 64;

const char* utx_file = _PATH_UTMPX;
int utx_fd = -1;
bool utx_glibc;  // this scan could not open the file: it goes through getutxent
struct utmpx utx_chunk[UTX_CHUNK];
size_t utx_have;   // entries in utx_chunk
size_t utx_pos;    // the next of them to give
off_t utx_offset;  // where the entry after the last in utx_chunk starts
int utx_errno;     // why this scan ended early; 0: it reached the end

// Takes the lock glibc's writers and readers use, for reading.  A writer
// holds it for one record, so it is waited for, but not for ever: after
// about a second the read is given up, as glibc gives up after its own wait.
bool utx_lock() {
    struct flock lk {};
    lk.l_type = F_RDLCK;
    lk.l_whence = SEEK_SET;
    for (int tries = 0; tries < 1000; ++tries) {
        if (fcntl(utx_fd, F_SETLK, &lk) == 0)
            return true;
        if (errno != EACCES && errno != EAGAIN && errno != EINTR)
            return false;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Reads the next chunk of whole entries from utx_offset.  Returns how many,
// 0 at the end, on a read error or when the lock cannot be had (then
// utx_errno says which).
size_t utx_fill() {
    if (!utx_lock()) {
        utx_errno = errno == EACCES || errno == EAGAIN || errno == EINTR ? EWOULDBLOCK : errno;
        return 0;
    }
    auto* buf = reinterpret_cast<char*>(utx_chunk);
    size_t got = 0;
    while (got < sizeof utx_chunk) {
        ssize_t n =
            pread(utx_fd, buf + got, sizeof utx_chunk - got, utx_offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            utx_errno = errno;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    struct flock unlock {};
    unlock.l_type = F_UNLCK;
    unlock.l_whence = SEEK_SET;
    fcntl(utx_fd, F_SETLK, &unlock);
    size_t entries = got / sizeof(struct utmpx);
    utx_offset += static_cast<off_t>(entries * sizeof(struct utmpx));
    return entries;
}

}  // namespace

void os_utx_rewind() {
    os_utx_close();
    utx_errno = 0;
    utx_fd = open(utx_file, O_RDONLY | O_CLOEXEC);
    if (utx_fd < 0) {
        // Left to glibc as before, so that the scan never sees less than
        // getutxent would show it.
        utx_glibc = true;
        setutxent();
    }
}

const struct utmpx* os_utx_next() {
    if (utx_glibc)
        return getutxent();
    if (utx_fd < 0)
        return nullptr;
    if (utx_pos == utx_have) {
        utx_have = utx_fill();
        utx_pos = 0;
        if (utx_have == 0)
            return nullptr;
    }
    return &utx_chunk[utx_pos++];
}

void os_utx_close() {
    if (utx_glibc) {
        endutxent();
        utx_glibc = false;
    }
    if (utx_fd >= 0) {
        close(utx_fd);
        utx_fd = -1;
    }
    utx_have = utx_pos = 0;
    utx_offset = 0;
}

int os_utx_error() {
    return utx_errno;
}

int64_t os_monotonic() {
    // CLOCK_BOOTTIME goes on during a suspend, which CLOCK_MONOTONIC does
    // not: a laptop shut for the night must not read as a clock step.
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void platform_utx_file(const char* path) {
    os_utx_close();
    utx_file = path;
    utmpxname(path);
}

void platform_close_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0U) == 0)
        return;
#endif
    // Older kernels: close what /proc says is open.  Reading the directory
    // allocates, so this path is only for the daemon, not for a child that
    // may have been forked while another thread held malloc's lock (we have
    // no threads, so a forked child may use it too).
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        long max = sysconf(_SC_OPEN_MAX);
        if (max < 0 || max > 65536)
            max = 65536;
        for (long fd = lowest; fd < max; ++fd) close(static_cast<int>(fd));
        return;
    }
    int self = dirfd(d);
    while (struct dirent* e = readdir(d)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name)
            continue;
        if (fd >= lowest && fd != self)
            close(static_cast<int>(fd));
    }
    closedir(d);
}

// Opening beneath a directory: openat2 refuses a symbolic link anywhere on
// the way where the kernel has it (5.6 on); elsewhere the path is walked one
// directory at a time.
namespace {

int open_beneath_kernel(int dir_fd, const char* rel, int flags) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(static_cast<unsigned>(flags));
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    return static_cast<int>(syscall(SYS_openat2, dir_fd, rel, &how, sizeof how));
}

}  // namespace

int platform_open_beneath(int dir_fd, const char* rel, int flags) {
    int fd = open_beneath_kernel(dir_fd, rel, flags | O_CLOEXEC);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    return os_open_walk(dir_fd, rel, flags);
}

int platform_stat_beneath(int dir_fd, const char* rel, struct stat* st) {
    // O_PATH opens nothing but the name; without O_NOFOLLOW a symbolic link
    // at the end is refused like one on the way.
    int fd = open_beneath_kernel(dir_fd, rel, O_PATH | O_CLOEXEC);
    if (fd >= 0) {
        int rc = fstat(fd, st);
        int saved = errno;
        close(fd);
        errno = saved;
        return rc;
    }
    if (errno != ENOSYS)
        return -1;
    return os_stat_walk(dir_fd, rel, st);
}

// A terminal's processes, from /proc.  Every devpts instance (each
// container, each private /dev/pts) numbers its terminals from 0 with the
// same device numbers, so a process whose terminal has the number is only
// taken when its session holds the very node open.  All of it runs in the
// warning child: fixed buffers, no allocation, every descriptor closed.
const char* const platform_proc_name = PATH_PROC;

int os_proc_stat_parse(const char* buf, size_t len, ProcStat* out) {
    // The command name may hold ')' itself; the fields follow the last one.
    const char* close_paren = nullptr;
    for (size_t i = 0; i < len; ++i)
        if (buf[i] == ')')
            close_paren = buf + i;
    if (close_paren == nullptr || std::memchr(buf, '(', len) == nullptr)
        return -1;
    const char* p = close_paren + 1;
    const char* end = buf + len;
    if (end - p < 3 || p[0] != ' ' || p[2] != ' ')
        return -1;
    out->state = p[1];
    p += 3;
    // Fields 4 (ppid) to 22 (starttime); some may be negative (tpgid, nice).
    for (int field = 4; field <= 22; ++field) {
        bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        if (p == end || *p < '0' || *p > '9')
            return -1;
        unsigned long long v = 0;
        for (; p < end && *p >= '0' && *p <= '9'; ++p) {
            if (v > (ULLONG_MAX - 9) / 10)
                return -1;
            v = v * 10 + static_cast<unsigned>(*p - '0');
        }
        if (p < end && *p != ' ' && *p != '\n')
            return -1;
        if (field < 22 && (p == end || *p != ' '))
            return -1;
        ++p;
        if (field == 6)
            out->session = negative || v > INT_MAX ? 0 : static_cast<int>(v);
        else if (field == 7)
            out->tty_nr = negative || v > UINT_MAX ? 0 : static_cast<unsigned>(v);
        else if (field == 22)
            out->start = v;
    }
    return 0;
}

namespace {

// The directory entries of an open directory whose names are numbers
// (processes of /proc, descriptors of /proc/PID/fd), through getdents64 and
// a fixed buffer.
struct NumberScan {
    int fd;
    long have = 0;  // bytes in buf
    long pos = 0;   // the next entry's offset in buf
    int failed = 0;
    alignas(8) char buf[4096];
};

// The next entry whose name is a decimal number: its value, its name in
// *name (valid until the next call); -1 at the end or on an error (then
// failed is set).
long scan_next(NumberScan* s, const char** name) {
    for (;;) {
        if (s->pos >= s->have) {
            long n = syscall(SYS_getdents64, s->fd, s->buf, sizeof s->buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                s->failed = n < 0;
                return -1;
            }
            s->have = n;
            s->pos = 0;
        }
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        const char* e = s->buf + s->pos;
        unsigned short reclen;
        std::memcpy(&reclen, e + 16, sizeof reclen);
        if (reclen == 0) {
            s->pos = s->have;
            continue;
        }
        s->pos += reclen;
        const char* n = e + 19;
        long v = 0;
        const char* c = n;
        for (; *c >= '0' && *c <= '9' && v <= INT_MAX; ++c) v = v * 10 + (*c - '0');
        if (c == n || *c != '\0' || v > INT_MAX)
            continue;
        *name = n;
        return v;
    }
}

// "PID/rest" for openat on /proc; buf holds at least 40 bytes.
const char* proc_path(char* buf, pid_t pid, const char* rest) {
    char digits[12];
    int n = 0;
    unsigned v = static_cast<unsigned>(pid);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < 11);
    char* p = buf;
    while (n > 0) *p++ = digits[--n];
    *p++ = '/';
    std::memcpy(p, rest, std::strlen(rest) + 1);  // rest is "stat" or "fd"
    return buf;
}

int proc_stat_read(int proc_fd, pid_t pid, ProcStat* out) {
    char path[40];
    int fd = openat(proc_fd, proc_path(path, pid, "stat"), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The fields wanted end within the first few hundred bytes.
    char buf[1024];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t n = read(fd, buf + len, sizeof buf - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += static_cast<size_t>(n);
    }
    close(fd);
    return os_proc_stat_parse(buf, len, out);
}

// The device number as /proc/PID/stat and TIOCGDEV show it.
unsigned dev_encode(dev_t d) {
    unsigned ma = major(d), mi = minor(d);
    return (mi & 0xffU) | (ma << 8) | ((mi & ~0xffU) << 12);
}

// Pseudo-terminal slaves (Unix98: majors 136 to 143): the numbers that
// every devpts instance hands out again.
bool number_shared(unsigned number) {
    unsigned ma = (number >> 8) & 0xfffU;
    return ma >= 136 && ma < 144;
}

// Descriptors of one process looked at, at most: a process holding more is
// not searched further (its session's other processes still may confirm).
constexpr int FD_SCAN_MAX = 1024;

// Whether process pid holds a descriptor of the node node (same st_dev and
// st_ino): the descriptor links of /proc/PID/fd are followed by fstatat.
bool holds_node(int proc_fd, pid_t pid, const struct stat& node) {
    char path[40];
    NumberScan s;
    s.fd = openat(proc_fd, proc_path(path, pid, "fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.fd < 0)
        return false;
    bool found = false;
    const char* name = nullptr;
    for (int seen = 0; !found && seen < FD_SCAN_MAX && scan_next(&s, &name) >= 0; ++seen) {
        // From what the kernel holds, never asking the file's file system:
        // a descriptor of a FUSE or NFS file whose server does not answer
        // would otherwise hold the logout up until its alarm.
        struct statx sx;
        found = statx(s.fd, name, AT_STATX_DONT_SYNC, STATX_INO, &sx) == 0 &&
                makedev(sx.stx_dev_major, sx.stx_dev_minor) == node.st_dev &&
                sx.stx_ino == node.st_ino;
    }
    close(s.fd);
    return found;
}

// What the first look at /proc found of one session with the terminal's
// number: whether any of its processes holds the node, and how many were
// asked.
struct SessionMark {
    int session;
    int probes;  // processes of it asked so far
    bool on;     // one of them holds the node
};

// Sessions with the terminal's number a gather keeps marks for; a user can
// make many (a devpts instance per user namespace), and one past these is
// judged process by process.
constexpr int TTY_SESSIONS_MAX = 512;
// Processes of one session asked whether they hold the node, besides its
// leader: a session's processes normally inherit the leader's descriptors,
// and asking every one of a crowd would outlast the child's alarm.
constexpr int SESSION_PROBES = 8;

int pidfd_open_pid(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

SessionMark* session_mark(SessionMark* marks, int* n, int session) {
    for (int i = 0; i < *n; ++i)
        if (marks[i].session == session)
            return &marks[i];
    if (*n == TTY_SESSIONS_MAX)
        return nullptr;
    marks[*n] = {session, 0, false};
    return &marks[(*n)++];
}

bool session_known(const TtyProcs* p, int session) {
    for (int i = 0; i < p->sessions; ++i)
        if (p->session[i].id == session)
            return true;
    return false;
}

void session_keep(TtyProcs* p, int proc_fd, int session) {
    if (session_known(p, session) || p->sessions == TTY_SESSIONS_KEPT)
        return;
    ProcStat st;
    bool leader = proc_stat_read(proc_fd, session, &st) == 0 && st.session == session;
    p->session[p->sessions++] = {session, leader ? st.start : 0};
}

// Drops the sessions kept whose id has passed to a new session: its leader
// started at another time than the one kept.
void sessions_check(TtyProcs* p, int proc_fd) {
    int kept = 0;
    for (int i = 0; i < p->sessions; ++i) {
        ProcStat st;
        const TtySession& t = p->session[i];
        if (t.leader_start != 0 && proc_stat_read(proc_fd, t.id, &st) == 0 && st.session == t.id &&
            st.start != t.leader_start)
            continue;
        p->session[kept++] = t;
    }
    p->sessions = kept;
}

// Whether a process read from /proc is one to take: on the terminal, or of
// a session that was (its terminal taken when its leader went).
bool of_terminal(const TtyProcs* p, const ProcStat& st, unsigned number) {
    return st.tty_nr == number || (st.session != 0 && session_known(p, st.session));
}

// Takes process pid into p, if it is still the one read (same start time,
// still of the terminal).  Returns 1 when taken, 0 when it ended meanwhile,
// -1 when p is full.
int take_process(TtyProcs* p, int proc_fd, pid_t pid, unsigned long long start, unsigned number) {
    if (p->count == TTY_PROCS_MAX) {
        p->full = 1;
        return -1;
    }
    int h = pidfd_open_pid(pid);
    // ESRCH: it ended.  Without a descriptor to spare (EMFILE, ENFILE) or
    // memory, or before pidfds (ENOSYS), it is known by pid and start time.
    if (h < 0 && errno == ESRCH)
        return 0;
    // The pid may have passed to a new process between the scan and the
    // open: the same start time and terminal say it did not.
    ProcStat again;
    if (proc_stat_read(proc_fd, pid, &again) != 0 || again.start != start ||
        !of_terminal(p, again, number) || again.state == 'Z') {
        if (h >= 0)
            close(h);
        return 0;
    }
    if (os_tty_refused(p, pid, start)) {
        if (h >= 0)
            close(h);
        ++p->others;
        return 1;
    }
    p->pid[p->count] = pid;
    p->start[p->count] = start;
    p->handle[p->count] = h < 0 ? -1 : h;
    ++p->count;
    return 1;
}

}  // namespace

int platform_tty_gather(int tty_fd, TtyProcs* p) {
    p->count = p->unconfirmed = p->full = p->others = 0;
    struct stat node;
    if (fstat(tty_fd, &node) != 0)
        return -1;
    // /dev/console stands for another terminal (tty1, ttyS0, a container's
    // pseudo-terminal): its processes carry that one's number.
    unsigned number = dev_encode(node.st_rdev);
    unsigned behind = 0;
    if (ioctl(tty_fd, TIOCGDEV, &behind) == 0 && behind != 0)
        number = behind;
    bool shared = number_shared(number);

    int proc_fd = open(PATH_PROC, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd < 0)
        return -1;
    // Anything else there (an empty directory of a chroot) would list no
    // process at all, and the logout would end nothing without a word.
    struct statfs fs;
    if (fstatfs(proc_fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
        close(proc_fd);
        errno = EMEDIUMTYPE;
        return -1;
    }
    pid_t self = getpid();

    // First look: which sessions with the number are on this very terminal.
    // Only their processes take room below, so that no number of processes
    // on another instance's terminal of the same number can crowd the
    // terminal's own out.  A session id of 0 (a process of another pid
    // namespace) stands alone.
    SessionMark marks[TTY_SESSIONS_MAX];
    int marked = 0;
    NumberScan s;
    s.fd = proc_fd;
    const char* name = nullptr;
    for (long pid; (pid = scan_next(&s, &name)) >= 0;) {
        ProcStat st;
        if (pid == self || proc_stat_read(proc_fd, static_cast<pid_t>(pid), &st) != 0 ||
            st.tty_nr != number || st.state == 'Z' || st.session == 0)
            continue;
        SessionMark* m = session_mark(marks, &marked, st.session);
        if (m == nullptr || m->on || (m->probes >= SESSION_PROBES && pid != st.session))
            continue;
        ++m->probes;
        m->on = !shared || holds_node(proc_fd, static_cast<pid_t>(pid), node);
    }
    if (s.failed) {
        int saved = errno;
        close(proc_fd);
        errno = saved;
        return -1;
    }

    sessions_check(p, proc_fd);
    for (int i = 0; i < marked; ++i)
        if (marks[i].on)
            session_keep(p, proc_fd, marks[i].session);
    // The sessions' leaders first, so that the rounds of a logout cannot be
    // spent on a crowd while the shell lives on.
    for (int i = 0; i < p->sessions; ++i) {
        ProcStat st;
        pid_t leader = p->session[i].id;
        if (proc_stat_read(proc_fd, leader, &st) == 0 && st.session == leader && st.state != 'Z')
            take_process(p, proc_fd, leader, st.start, number);
    }
    lseek(proc_fd, 0, SEEK_SET);
    s = NumberScan{};
    s.fd = proc_fd;
    for (long pid; (pid = scan_next(&s, &name)) >= 0;) {
        ProcStat st;
        if (pid == self || proc_stat_read(proc_fd, static_cast<pid_t>(pid), &st) != 0 ||
            !of_terminal(p, st, number) || st.state == 'Z')
            continue;
        if (st.session != 0 && session_known(p, st.session)) {
            // Its leader taken above, the rest of a session on the terminal.
            if (pid != st.session &&
                take_process(p, proc_fd, static_cast<pid_t>(pid), st.start, number) < 0)
                break;
            continue;
        }
        const SessionMark* m = nullptr;
        for (int i = 0; st.session != 0 && i < marked && m == nullptr; ++i)
            if (marks[i].session == st.session)
                m = &marks[i];
        if (m != nullptr && pid == st.session) {
            // A leader: taken above, or not on the terminal.
            p->unconfirmed += m->on ? 0 : 1;
            continue;
        }
        // Past the marks (or in another pid namespace) a process answers
        // for itself.
        bool on =
            m != nullptr ? m->on : !shared || holds_node(proc_fd, static_cast<pid_t>(pid), node);
        if (!on) {
            ++p->unconfirmed;
            continue;
        }
        if (take_process(p, proc_fd, static_cast<pid_t>(pid), st.start, number) < 0)
            break;
    }
    close(proc_fd);
    return 0;
}

namespace {

// Handle values of ended processes.
constexpr int HANDLE_ENDED = -2;

long long clock_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Without a pidfd (kernels before 5.3) a process is known by its pid and
// start time, read again before each signal.
bool still_same(int proc_fd, const TtyProcs* p, int i) {
    ProcStat st;
    return proc_fd >= 0 && proc_stat_read(proc_fd, p->pid[i], &st) == 0 &&
           st.start == p->start[i] && st.state != 'Z';
}

void signal_all(TtyProcs* p, int proc_fd, int sig) {
    for (int i = 0; i < p->count; ++i) {
        long r = 0;
        if (p->handle[i] >= 0)
            r = syscall(SYS_pidfd_send_signal, p->handle[i], sig, nullptr, 0U);
        else if (p->handle[i] == -1 && still_same(proc_fd, p, i))
            r = kill(p->pid[i], sig);
        if (r != 0 && errno == EPERM) {
            // Not the user's: no wait for it, and no signal again.
            os_tty_refuse(p, i);
            if (p->handle[i] >= 0)
                close(p->handle[i]);
            p->handle[i] = HANDLE_ENDED;
        }
    }
}

// Waits until every process has ended or ms milliseconds have passed.  A
// pidfd turns readable when its process ends.
void wait_ended(TtyProcs* p, int proc_fd, int ms) {
    long long deadline = clock_ms() + ms;
    for (;;) {
        struct pollfd fds[TTY_PROCS_MAX];
        int which[TTY_PROCS_MAX];
        int n = 0;
        bool by_pid = false;
        for (int i = 0; i < p->count; ++i) {
            if (p->handle[i] >= 0) {
                fds[n] = {p->handle[i], POLLIN, 0};
                which[n++] = i;
            } else if (p->handle[i] == -1) {
                if (still_same(proc_fd, p, i))
                    by_pid = true;
                else
                    p->handle[i] = HANDLE_ENDED;
            }
        }
        long long left = deadline - clock_ms();
        if ((n == 0 && !by_pid) || left <= 0)
            return;
        int r =
            poll(fds, static_cast<nfds_t>(n), static_cast<int>(by_pid && left > 10 ? 10 : left));
        if (r < 0 && errno != EINTR)
            return;
        for (int k = 0; r > 0 && k < n; ++k) {
            if (fds[k].revents != 0) {
                close(p->handle[which[k]]);
                p->handle[which[k]] = HANDLE_ENDED;
            }
        }
    }
}

}  // namespace

void platform_tty_end(TtyProcs* p, int gentle) {
    int proc_fd = -1;
    for (int i = 0; i < p->count && proc_fd < 0; ++i)
        if (p->handle[i] == -1)
            proc_fd = open(PATH_PROC, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gentle) {
        signal_all(p, proc_fd, SIGHUP);
        signal_all(p, proc_fd, SIGCONT);
        wait_ended(p, proc_fd, HANGUP_GRACE_MS);
        signal_all(p, proc_fd, SIGTERM);
        wait_ended(p, proc_fd, TERM_GRACE_MS);
    }
    signal_all(p, proc_fd, SIGKILL);
    // Until they are gone, so that a look at the terminal afterwards does
    // not find them still dying.
    wait_ended(p, proc_fd, KILL_WAIT_MS);
    for (int i = 0; i < p->count; ++i)
        if (p->handle[i] >= 0)
            close(p->handle[i]);
    if (proc_fd >= 0)
        close(proc_fd);
    p->count = 0;
}

// What a process runs and which terminals it holds, from /proc, for telling
// a multiplexer's pane from a login.  Both read through a descriptor of
// /proc/PID, so every answer is about one process even if the pid passes to
// another meanwhile.  Runs in the daemon, not in a warning child.
namespace {

int proc_dir_open(pid_t pid) {
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    // PATH_PROC "/" pid, the digits written from the right.
    char path[sizeof PATH_PROC + 16];
    char* end = path + sizeof path - 1;
    *end = '\0';
    for (auto v = static_cast<uint32_t>(pid); v != 0; v /= 10)
        *--end = static_cast<char>('0' + v % 10);
    *--end = '/';
    end -= sizeof PATH_PROC - 1;
    std::memcpy(end, PATH_PROC, sizeof PATH_PROC - 1);
    return open(end, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The real uid from the "Uid:" line of the status file open at fd.
int proc_real_uid(int fd, uid_t* uid) {
    char buf[2048];
    size_t len = 0;
    for (ssize_t n; len < sizeof buf - 1 && (n = read(fd, buf + len, sizeof buf - 1 - len)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        len += static_cast<size_t>(n);
    }
    buf[len] = '\0';
    const char* at = std::strstr(buf, "\nUid:\t");
    if (at == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(at + 6, &end, 10);
    if (end == at + 6) {
        errno = EINVAL;
        return -1;
    }
    *uid = static_cast<uid_t>(v);
    return 0;
}

}  // namespace

int os_process_program(pid_t pid, char* name, size_t size, uid_t* uid) {
    int dir = proc_dir_open(pid);
    if (dir < 0)
        return -1;
    char exe[PATH_MAX + 1];
    ssize_t n = readlinkat(dir, "exe", exe, sizeof exe - 1);
    int status = n < 0 ? -1 : openat(dir, "status", O_RDONLY | O_CLOEXEC);
    int saved = errno;
    close(dir);
    if (status < 0) {
        errno = saved;
        return -1;
    }
    int rc = proc_real_uid(status, uid);
    saved = errno;
    close(status);
    if (rc != 0) {
        errno = saved;
        return -1;
    }
    exe[n] = '\0';
    // An executable replaced since the process started (a package upgrade)
    // still names what it was.
    constexpr char deleted[] = " (deleted)";
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof deleted - 1 && std::strcmp(exe + len - (sizeof deleted - 1), deleted) == 0)
        exe[len - (sizeof deleted - 1)] = '\0';
    os_copy_basename(exe, name, size);
    return 0;
}

int os_process_holds(pid_t pid, const char* const* paths, int count) {
    constexpr int HELD_MAX = Platform::PROCESS_HOLDS_MAX;
    struct stat node[HELD_MAX];
    bool known[HELD_MAX];
    if (count > HELD_MAX)
        count = HELD_MAX;
    for (int i = 0; i < count; ++i) known[i] = stat(paths[i], &node[i]) == 0;
    int dir = proc_dir_open(pid);
    if (dir < 0)
        return -1;
    NumberScan s;
    s.fd = openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(dir);
    if (s.fd < 0)
        return -1;
    int held = -1;
    const char* name = nullptr;
    for (int seen = 0; held < 0 && seen < FD_SCAN_MAX && scan_next(&s, &name) >= 0; ++seen) {
        struct stat st;
        if (fstatat(s.fd, name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        for (int i = 0; i < count && held < 0; ++i)
            if (known[i] && st.st_dev == node[i].st_dev && st.st_ino == node[i].st_ino)
                held = i;
    }
    close(s.fd);
    return held;
}
// Where syslog(3) sends on this system.
const char* platform_syslog_path = "/dev/log";
