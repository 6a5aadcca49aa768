// FreeBSD parts of the platform.
#include <time.h>
#include <unistd.h>

#include "os/platform.h"
#include "os/platform_os.h"

void os_utx_rewind() { setutxent(); }

const struct utmpx* os_utx_next() { return getutxent(); }

void os_utx_close() { endutxent(); }

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

void platform_utx_file(const char* path) { setutxdb(UTXDB_ACTIVE, path); }

void platform_close_from(int lowest) { closefrom(lowest); }
