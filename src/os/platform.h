// Everything quelld asks of the operating system that its logic depends on:
// the clock, file times, the login-accounting database, the password and
// group databases, forking and waiting, and sleeping.  The daemon uses the
// real implementation; unit tests install a fake (tests/fake_platform.h) with
// a settable clock, file times, login records and lookups, and use the same
// seam to inject failures.
//
// A port provides one platform_<os>.cc with the few calls that differ
// (reading the login database in bulk, closing descriptors, the sleep that
// lets the termination signals in, finding and ending a terminal's
// processes, opening under a directory without symbolic links); everything
// else is plain POSIX.
#ifndef QUELLD_OS_PLATFORM_H
#define QUELLD_OS_PLATFORM_H

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utmpx.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "pathnames.h"

class Platform {
   public:
    virtual ~Platform() = default;

    // Seconds since the epoch.
    virtual time_t now() = 0;

    // Seconds on a clock that only moves forward at the pace of real time and
    // that no one can set: the yardstick against which a step of now() (an
    // NTP step, a resumed virtual machine, date(1)) is told from time that
    // really passed.  Its origin is arbitrary.  Counts suspended time where
    // the system can, so that a suspend does not read as a step.
    virtual int64_t monotonic() = 0;

    // Access and modification times of path.  On success fills both and
    // returns 0; on failure returns -1 with errno set.
    virtual int file_times(const char* path, time_t* atime, time_t* mtime) = 0;

    // What tells one version of a file from another beyond its modification
    // time, which can be set back: its inode and the time its inode last
    // changed, in nanoseconds (a rewrite within the same second as the last
    // one still shows).  Returns 0 and fills *stamp, or -1 with errno set.
    struct FileStamp {
        time_t mtime;
        int64_t ctime_ns;
        uint64_t dev;
        uint64_t ino;
    };
    virtual int file_stamp(const char* path, FileStamp* stamp) = 0;

    // The login-accounting database.  utx_rewind goes back to its first
    // entry; utx_next returns the next entry, or nullptr at the end.  The
    // entry belongs to the platform and is valid until the next call; its
    // character fields need not be NUL-terminated.
    virtual void utx_rewind() = 0;
    virtual const struct utmpx* utx_next() = 0;
    // Closes the database (endutxent) until the next rewind.
    virtual void utx_close() = 0;
    // Why the scan since the last rewind ended before the database's end:
    // 0 when it read it whole, else an errno value (EWOULDBLOCK: its lock
    // could not be had in time).  Still answers after utx_close.
    virtual int utx_error() = 0;

    // getpwnam and getgrnam: an entry owned by the platform, valid until the
    // next lookup, or nullptr when the name is unknown.
    virtual const struct passwd* pw_by_name(const char* name) = 0;
    virtual const struct group* gr_by_name(const char* name) = 0;

    // getgrgid: like gr_by_name, by id.
    virtual const struct group* gr_by_gid(gid_t gid) = 0;

    // getgrouplist: the ids of the groups user belongs to in the name
    // service (local files, a directory ...), group among them.  Stores at
    // most *count ids in groups.  Returns how many it stored, also in
    // *count; or -1 when the user has more groups than *count, having stored
    // the first *count, with *count raised to how many there are where the
    // system tells (glibc does, FreeBSD may not).
    virtual int group_list(const char* user, gid_t group, gid_t* groups, int* count) = 0;

    // fork(): the child's pid in the parent, 0 in the child, -1 on failure.
    virtual pid_t fork_process() = 0;

    // Collects child pid if it has ended, never waiting: returns pid with
    // its wait status in *status, 0 while it still runs, or -1 with errno set
    // when it cannot be waited for (ECHILD: not a child, or collected).
    virtual pid_t reap_process(pid_t pid, int* status) = 0;

    // Kills child pid (SIGKILL), which has not been collected yet: a child
    // that outlived every bound of its own.
    virtual void end_child(pid_t pid) = 0;

    // Whether process pid exists: 1 when kill(pid, 0) succeeds or fails
    // with EPERM (it exists, only not ours to signal), else 0.  pid must be
    // positive.
    virtual int process_exists(pid_t pid) = 0;

    // The owner of path, following links as stat does.  On success fills
    // *uid and returns 0; on failure returns -1 with errno set.
    virtual int file_owner(const char* path, uid_t* uid) = 0;

    // What process pid runs, for telling a multiplexer's pane from a login:
    // the base name of its executable file into name (size bytes, always
    // terminated, cut when longer) and its real uid into *uid.  Returns 0,
    // or -1 with errno set when there is no such process or it cannot be
    // examined.
    virtual int process_program(pid_t pid, char* name, size_t size, uid_t* uid) = 0;

    // Which of the count terminals at paths process pid holds open (a
    // descriptor of the very node the path names): the index of the first
    // such, or -1 when it holds none of them, when there is no such process
    // or its descriptors cannot be read.  Looks at no more than
    // PROCESS_HOLDS_MAX paths.
    static constexpr int PROCESS_HOLDS_MAX = 16;
    virtual int process_holds(pid_t pid, const char* const* paths, int count) = 0;

    // Sleeps for seconds, returning early when a termination signal arrives
    // (its handler has run) or a child ends.  The termination signals and
    // SIGCHLD are kept blocked outside the sleeps, so none is lost between a
    // check of the flag and the sleep.  A count of 0 only lets pending
    // signals in.
    virtual void sleep_seconds(unsigned seconds) = 0;

    // Sleeps until the clock reaches the whole second when, as sleep_seconds
    // does (when not after now(): only lets pending signals in).  The real
    // platform wakes at the start of that second; sleeping when - now()
    // seconds from the present instant would wake up to a second late,
    // since now() drops the fraction.
    virtual void sleep_until(time_t when) {
        time_t n = now();
        sleep_seconds(when > n ? static_cast<unsigned>(when - n) : 0);
    }
};

// Times from outside (login records, device times a user can set on their own
// terminal) are kept within about 35,000 years of the epoch, so that adding a
// limit to one or taking differences can never overflow.
constexpr int64_t TIME_LIMIT = int64_t{1} << 40;
inline int64_t clamp_time(int64_t t) {
    return t > TIME_LIMIT ? TIME_LIMIT : t < -TIME_LIMIT ? -TIME_LIMIT : t;
}

// The platform in force; the real one unless a test installed another.
extern Platform* platform;

// The real implementation, for tests that want to restore it.
Platform* real_platform();

// Makes the real platform read the login database from path (a file in the
// system's own format: glibc's struct utmpx back to back on Linux, packed
// futx records as in utx.active on FreeBSD) instead of the system's; for
// tests and benchmarks.  A file that cannot be opened reads as empty.  The
// path is not copied.
void platform_utx_file(const char* path);

// Closes every open descriptor numbered from lowest up, without walking
// every number below the descriptor limit (which may be 2^30 on Linux).
// Safe in a forked child: async-signal-safe calls only.
void platform_close_from(int lowest);

// The processes of one terminal, gathered for a forced logout.  Fixed size:
// it is filled in a warning child, which does not allocate.
// A session found on a terminal: its id and the start time of its leader
// (0: not seen).  While any process of the session lives its id is taken,
// so no other session can have it; once they are all gone a new session
// may, and its leader's start time tells it apart.
struct TtySession {
    pid_t id;
    unsigned long long leader_start;
};

struct TtyProcs {
    // Sessions found on the terminal, kept from one gather to the next (the
    // caller sets sessions to 0, or to those an earlier logout found, before
    // the first): once a session's leader has gone the kernel takes the
    // terminal from the rest of it, and its processes are then known only
    // by their session.
    int sessions;
    TtySession session[TTY_SESSIONS_KEPT];
    // Processes that refused the logout's signals (EPERM: another user's,
    // such as a shell started there with su): left alone from then on and
    // kept from one gather to the next (the caller sets refused to 0).
    int refused;
    pid_t refused_pid[TTY_REFUSED_MAX];
    unsigned long long refused_start[TTY_REFUSED_MAX];
    int others;                               // of them, found again by the last gather
    int count;                                // entries of pid and handle in use
    pid_t pid[TTY_PROCS_MAX];                 // the processes
    unsigned long long start[TTY_PROCS_MAX];  // start times: a later process with the pid differs
    int handle[TTY_PROCS_MAX];  // Linux: a pidfd per process (-1 where the kernel has none)
    int unconfirmed;            // processes left alone: the terminal's number, not seen on it
    int full;                   // nonzero: more processes than fit, gather again afterwards
};

// Gathers the processes whose controlling terminal is the very terminal
// open at tty_fd: on Linux, whose terminal has its device number (the one
// behind /dev/console for the console) and, for a pseudo-terminal, whose
// session holds a descriptor of the same node (st_dev and st_ino), as pseudo-
// terminals of every devpts instance share their numbers; a process with
// the number whose session is not seen holding the node is only counted in
// unconfirmed.  The processes of a session once found on the terminal
// (p->session) are gathered too, with or without the terminal.  Only
// processes on the terminal take room in p, and the sessions' leaders come
// first: a logout in rounds reaches the login's shell in its first round
// however many other processes there are.  The calling
// process itself is never gathered.  Needs the superuser to see other
// users' descriptors.  Returns 0 (p filled, possibly empty), or -1 with
// errno set when the process table cannot be read (p empty).
// Async-signal-safe calls and fixed buffers only: no allocation.
int platform_tty_gather(int tty_fd, TtyProcs* p);

// Ends the gathered processes.  gentle: SIGHUP (and SIGCONT, so that a
// stopped one can act on it) to each, then waits until all have ended or
// HANGUP_GRACE_MS have passed; SIGTERM to those left, up to TERM_GRACE_MS
// more; then, gentle or not, SIGKILL to those still left, and up to
// KILL_WAIT_MS for them to go.  A process is signalled only while it is the
// one gathered (never a later process that got its pid).  Releases every
// handle; p is empty afterwards.  Signals with the caller's identity.
void platform_tty_end(TtyProcs* p, int gentle);

// What log lines call the process table that platform_tty_gather reads.
extern const char* const platform_proc_name;

// Opens rel, a path relative to the directory open at dir_fd, with open's
// flags, never through a symbolic link in any component and never outside
// that directory (rel holds no "..").  Returns a descriptor, close-on-exec,
// or -1 with errno set (ELOOP for a symbolic link).
int platform_open_beneath(int dir_fd, const char* rel, int flags);

// lstat of rel under dir_fd, resolved as platform_open_beneath does, without
// opening the file itself (opening a FIFO or a device has effects).
// Returns 0 or -1 with errno set.
int platform_stat_beneath(int dir_fd, const char* rel, struct stat* st);

// The system log's local socket: "/dev/log" on Linux, "/var/run/log" on
// FreeBSD.  Tests point it at a socket of their own.
extern const char* platform_syslog_path;

// Hands one whole syslog message (its "<PRI>" header included) to the
// system log as one datagram, never waiting: the socket is non-blocking, so
// a log daemon that is gone, or whose queue is full, costs the caller one
// failed call.  Returns 0 when the message was handed over, -1 with errno
// set when it was dropped (EAGAIN: the queue is full; ENOENT or
// ECONNREFUSED: no log daemon).  The socket is opened at the first send,
// close-on-exec, and kept.
int platform_syslog_send(const char* msg, size_t len);

// Closes the socket platform_syslog_send keeps, if any.
void platform_syslog_close();

#endif  // QUELLD_OS_PLATFORM_H
