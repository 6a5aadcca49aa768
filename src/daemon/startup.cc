#include "daemon/startup.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "os/platform.h"
#include "pathnames.h"

int parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-') {
            // Reported as the option letters after its first character.
            std::fprintf(stderr, "quelld: bad flag -%s\n", a[0] == '\0' ? a : a + 1);
            continue;
        }
        // A lone "-" has no letter: it gets the long form, "bad flag -".
        if (a[1] == '\0' || a[2] != '\0') {
            std::fprintf(stderr, "quelld: bad flag -%s\n", a + 1);
            continue;
        }
        switch (a[1]) {
            case 'V':
                std::printf("%s\n", QUELLD_VERSION);
                std::fflush(stdout);
                return 0;
            case 'f':
                if (i + 1 < argc) {
                    // A private copy; an earlier "-f" copy is given back.
                    static char* owned_path;
                    std::free(owned_path);
                    owned_path = strdup(argv[++i]);
                    conf_path = owned_path != nullptr ? owned_path : argv[i];
                    std::printf("Using configuration file '%s'.\n", conf_path);
                } else {
                    std::fprintf(stderr, "quelld: flag -f specified without naming config file\n");
                }
                break;
            case 'i':
                idle_enabled = false;
                break;
            case 'm':
                multiple_enabled = false;
                break;
            case 'r':
                refuse_enabled = false;
                break;
            case 's':
                session_enabled = false;
                break;
            default:
                std::fprintf(stderr, "quelld: bad flag -%c\n", a[1]);
                break;
        }
    }
    return -1;
}

void daemonize() {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = platform->fork_process();
    if (pid < 0) {
        log_line("Cannot fork.");
        std::fprintf(stderr, "quelld: Cannot fork\n");
        _exit(1);
    }
    if (pid > 0)
        _exit(0);

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        log_line("Error calling system function: getrlimit");
    // Closes what is open rather than every number below the hard limit,
    // which Linux lets reach 2^30.  Standard input stays open.
    platform_close_from(1);
    setsid();
}
