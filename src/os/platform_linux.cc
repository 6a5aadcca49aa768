// Linux (glibc) parts of the platform.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "os/platform.h"
#include "os/platform_os.h"

void os_utx_rewind() { setutxent(); }

const struct utmpx* os_utx_next() { return getutxent(); }

void os_utx_close() { endutxent(); }

void platform_close_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0U) == 0) return;
#endif
    // Older kernels: close what /proc says is open.  Reading the directory
    // allocates, so this path is only for the daemon, not for a child that
    // may have been forked while another thread held malloc's lock (we have
    // no threads, so a forked child may use it too).
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        long max = sysconf(_SC_OPEN_MAX);
        if (max < 0 || max > 65536) max = 65536;
        for (long fd = lowest; fd < max; ++fd) close(static_cast<int>(fd));
        return;
    }
    int self = dirfd(d);
    while (struct dirent* e = readdir(d)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name) continue;
        if (fd >= lowest && fd != self) close(static_cast<int>(fd));
    }
    closedir(d);
}
