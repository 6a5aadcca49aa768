// FreeBSD parts of the platform.
#include <unistd.h>

#include "os/platform.h"
#include "os/platform_os.h"

void os_utx_rewind() { setutxent(); }

const struct utmpx* os_utx_next() { return getutxent(); }

void os_utx_close() { endutxent(); }

void platform_utx_file(const char* path) { setutxdb(UTXDB_ACTIVE, path); }

void platform_close_from(int lowest) { closefrom(lowest); }
