// quelld: logs out idle terminal sessions and enforces a site's login policy.
#include <cstdio>
#include <cstdlib>

#include "base/event_log.h"
#include "base/signals.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "daemon/startup.h"
#include "os/platform.h"

int main(int argc, char** argv) {
    idle_enabled = multiple_enabled = refuse_enabled = session_enabled = group_enabled = true;
    settings_init();

    int status = parse_options(argc, argv);
    if (status >= 0)
        return status;

    if (!idle_enabled && !multiple_enabled && !refuse_enabled && !session_enabled) {
        std::fprintf(stderr, "quelld: nothing to do.  exiting.\n");
        return 0;
    }

    signals_init();
    conf_mtime = 1;
    rule_lists_init();

    if (log_start_line(platform->now()) != 0) {
        std::fprintf(stderr, "quelld: Cannot open log file: %s\n", log_path);
        return 1;
    }

    daemonize();
    poll_forever();
}
