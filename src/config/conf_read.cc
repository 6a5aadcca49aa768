#include "config/conf_read.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "config/grammar.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"

ConfReadResult conf_read_file(const char* path, void (*at_end)()) {
    FILE* f = conf_fopen(path);
    if (f == nullptr) {
        // Told apart only for the reader's message; neither is read.
        int saved = errno;
        struct stat st;
        if (stat(path, &st) == 0 && !S_ISREG(st.st_mode))
            return CONF_NOT_REGULAR;
        errno = saved;
        return CONF_NO_OPEN;
    }

    clear_rules(exempt_list);
    clear_rules(refuse_list);
    clear_rules(timeout_list);
    clear_rules(session_list);
    clear_rules(maxuser_list);
    clear_rules(hours_list);
    settings_reset();

    conf_at_end = at_end;
    restart_scanner(f);
    parse_conf();
    restart_scanner(nullptr);
    conf_at_end = nullptr;
    std::fclose(f);
    return CONF_READ;
}
