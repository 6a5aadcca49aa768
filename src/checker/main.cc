// quelld-check: reads a quelld configuration as the daemon does and reports
// its problems, explains the policy a login would get, or shows what the
// daemon would do now about the current logins.  It never warns, signals,
// writes to a terminal or touches the event log.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/event_log.h"
#include "base/session_table.h"
#include "checker/check_compliance.h"
#include "checker/check_conf.h"
#include "checker/check_dryrun.h"
#include "checker/check_policy.h"
#include "config/rule_list.h"
#include "config/settings.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: quelld-check [-f file]\n"
                 "       quelld-check [-f file] -u user [-l line] [-h host]\n"
                 "       quelld-check [-f file] -n\n"
                 "       quelld-check [-f file] -c minutes\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    settings_init();
    const char* user = nullptr;
    const char* line = nullptr;
    const char* host = nullptr;
    bool dry_run = false;
    const char* compliance = nullptr;
    int c;
    while ((c = getopt(argc, argv, "f:u:l:h:nc:")) != -1) {
        switch (c) {
            case 'f':
                conf_path = optarg;
                break;
            case 'u':
                user = optarg;
                break;
            case 'l':
                line = optarg;
                break;
            case 'h':
                host = optarg;
                break;
            case 'n':
                dry_run = true;
                break;
            case 'c':
                compliance = optarg;
                break;
            default:
                return usage();
        }
    }
    if (optind != argc || (dry_run && user != nullptr) ||
        (user == nullptr && (line != nullptr || host != nullptr)) ||
        (user != nullptr && user[0] == '\0'))
        return usage();
    // -c takes whole minutes, and no other question.
    long bound = 0;
    if (compliance != nullptr) {
        char* end = nullptr;
        bound = std::strtol(compliance, &end, 10);
        if (dry_run || user != nullptr || end == compliance || *end != '\0' || bound < 0 ||
            bound > 1000000)
            return usage();
    }

    // Belt and braces: every line goes to the hook, and nothing could reach
    // the real log even if one did not.
    log_path = "/dev/null";
    check_capture_log();
    rule_lists_init();

    int status = check_read_config();
    if (status == 2)
        status = 1;  // the daemon would end as it does on errors; nothing to warn about
    else
        check_rules();
    std::fflush(stderr);

    if (user != nullptr) {
        session_table_reset();
        int unknown =
            check_take_login(0, user, line != nullptr ? line : "", host != nullptr ? host : "");
        const SessionRecord* r = &SessionTable[0];
        std::printf("%s on %s from %s, under %s:\n", r->user,
                    line != nullptr ? session_line(r) : "any line", r->host, conf_path);
        if (unknown)
            std::printf(
                "  (not in the password database: the daemon logs \"Error:  could not get info "
                "on supposed user %s.\"\n   and keeps the group list its slot held; taken as "
                "empty here)\n",
                r->user);
        check_explain(stdout, 0);
        check_audit_note(stdout);
    } else if (dry_run) {
        check_dry_run(stdout);
        check_audit_note(stdout);
    } else if (compliance != nullptr) {
        // A configuration the daemon would not start with enforces nothing.
        int over = check_compliance(stdout, static_cast<int32_t>(bound));
        return status != 0 ? status : over;
    }
    return status;
}
