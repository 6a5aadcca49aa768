// What each port's platform_<os>.cc provides to the common POSIX platform.
#ifndef QUELLD_OS_PLATFORM_OS_H
#define QUELLD_OS_PLATFORM_OS_H

#include <utmpx.h>

#include <cstdint>

// The login-accounting database, as setutxent and getutxent: rewind, then
// entries one by one until nullptr.  A port may read it in bulk.
void os_utx_rewind();
const struct utmpx* os_utx_next();
void os_utx_close();

// Platform::monotonic: whole seconds of the system's clock that cannot be
// set, suspended time included where the system counts it.
int64_t os_monotonic();

#endif  // QUELLD_OS_PLATFORM_OS_H
