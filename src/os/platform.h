// Everything quelld asks of the operating system that its logic depends on:
// the clock, file times, the login-accounting database, the password and
// group databases, forking and waiting, and sleeping.  The daemon uses the
// real implementation; unit tests install a fake (tests/fake_platform.h) with
// a settable clock, file times, login records and lookups, and use the same
// seam to inject failures.
//
// A port provides one platform_<os>.cc with the few calls that differ
// (reading the login database in bulk, closing descriptors, the sleep that
// lets the termination signals in); everything else is plain POSIX.
#ifndef QUELLD_OS_PLATFORM_H
#define QUELLD_OS_PLATFORM_H

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <utmpx.h>

#include <cstdint>
#include <ctime>

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

    // Waits for child pid to end.  Returns pid with its wait status in
    // *status; -1 with errno EINTR when a termination signal arrived first
    // (its handler has run), or -1 with another errno when it cannot wait.
    virtual pid_t wait_process(pid_t pid, int* status) = 0;

    // Whether process pid exists: 1 when kill(pid, 0) succeeds or fails
    // with EPERM (it exists, only not ours to signal), else 0.  pid must be
    // positive.
    virtual int process_exists(pid_t pid) = 0;

    // The owner of path, following links as stat does.  On success fills
    // *uid and returns 0; on failure returns -1 with errno set.
    virtual int file_owner(const char* path, uid_t* uid) = 0;

    // Sleeps for seconds, returning early when a termination signal arrives
    // (its handler has run).  The termination signals are kept blocked
    // outside this call and wait_process, so none is lost between a check of
    // the flag and the sleep.  A count of 0 only lets pending signals in.
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

#endif  // QUELLD_OS_PLATFORM_H
