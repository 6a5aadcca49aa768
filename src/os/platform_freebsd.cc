// FreeBSD parts of the platform.
#include <time.h>
#include <unistd.h>

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

const struct utmpx* os_utx_next() { return utx_unreadable ? nullptr : getutxent(); }

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

void platform_utx_file(const char* path) {
    endutxent();
    utx_file = path;
    utx_unreadable = false;
}

void platform_close_from(int lowest) { closefrom(lowest); }
