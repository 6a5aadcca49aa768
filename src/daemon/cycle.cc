#include "daemon/cycle.h"

#include "config/settings.h"
#include "daemon/reload.h"
#include "daemon/signals.h"
#include "os/platform.h"

bool check_idle = true;
bool check_multiple = true;
bool check_refuse = true;
bool check_session = true;
bool check_group = true;

time_t poll_once() {
    reload_config();
    return platform->now() + sleep_interval;
}

void poll_forever() {
    for (;;) {
        time_t wake = poll_once();
        time_t now = platform->now();
        // Always pass through the sleep, if only for an instant, so that a
        // pending termination signal is taken even when cycles run back to back.
        unsigned left = wake > now ? static_cast<unsigned>(wake - now) : 0;
        if (left == 0 && sleep_interval <= 0) left = 1;  // placeholder until the cycle exists
        platform->sleep_seconds(left);
        terminate_if_requested();
    }
}
