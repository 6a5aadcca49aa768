// Linux (glibc) parts of the platform.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

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
// 0 at the end, on a read error or when the lock cannot be had.
size_t utx_fill() {
    if (!utx_lock())
        return 0;
    auto* buf = reinterpret_cast<char*>(utx_chunk);
    size_t got = 0;
    while (got < sizeof utx_chunk) {
        ssize_t n =
            pread(utx_fd, buf + got, sizeof utx_chunk - got, utx_offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
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
