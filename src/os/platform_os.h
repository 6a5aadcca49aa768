// What each port's platform_<os>.cc provides to the common POSIX platform.
#ifndef QUELLD_OS_PLATFORM_OS_H
#define QUELLD_OS_PLATFORM_OS_H

#include <sys/stat.h>
#include <sys/types.h>
#include <utmpx.h>

#include <cstddef>
#include <cstdint>

#include "os/platform.h"

// The login-accounting database, as setutxent and getutxent: rewind, then
// entries one by one until nullptr.  A port may read it in bulk.
void os_utx_rewind();
const struct utmpx* os_utx_next();
void os_utx_close();
// Platform::utx_error.
int os_utx_error();

// Platform::monotonic: whole seconds of the system's clock that cannot be
// set, suspended time included where the system counts it.
int64_t os_monotonic();
// The portable way to resolve rel under dir_fd without symbolic links: one
// component at a time, each directory opened with O_NOFOLLOW | O_DIRECTORY.
// Returns a descriptor of the directory holding the last component, with
// *last pointing at that component in rel, or -1 with errno set.  The
// caller closes it.
int os_walk_parent(int dir_fd, const char* rel, const char** last);

// platform_open_beneath and platform_stat_beneath through os_walk_parent,
// for systems (or kernels) without a resolver that refuses links itself.
int os_open_walk(int dir_fd, const char* rel, int flags);
int os_stat_walk(int dir_fd, const char* rel, struct stat* st);

// Platform::process_program and Platform::process_holds.
int os_process_program(pid_t pid, char* name, size_t size, uid_t* uid);
int os_process_holds(pid_t pid, const char* const* paths, int count);
// Copies the last component of path (all of it without a '/') into name,
// cut to size, for os_process_program.
void os_copy_basename(const char* path, char* name, size_t size);

// Whether process pid, started at start, refused a signal of the logout
// before; os_tty_refuse notes that process i of p did (room allowing).
bool os_tty_refused(const TtyProcs* p, pid_t pid, unsigned long long start);
void os_tty_refuse(TtyProcs* p, int i);

// The fields of one /proc/PID/stat line that a logout needs.
struct ProcStat {
    char state;                // R, S, Z ...
    int session;               // session id (0: in another pid namespace)
    unsigned tty_nr;           // controlling terminal, the kernel's encoding; 0: none
    unsigned long long start;  // start time in clock ticks after boot
};

// Parses len bytes of a /proc/PID/stat line into *out.  The command name
// in parentheses may hold anything, ") " and newlines included: the fields
// follow its last ')'.  Returns 0, or -1 when the line is cut short or
// malformed.
int os_proc_stat_parse(const char* buf, size_t len, ProcStat* out);

#endif  // QUELLD_OS_PLATFORM_OS_H
