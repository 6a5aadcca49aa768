#include "policy/pane_check.h"

#include <cstring>

#include "config/settings.h"
#include "os/platform.h"

namespace {

constexpr char PANE_HOST_PREFIX[] = "tmux(";
constexpr char PANE_PROGRAM[] = "tmux";

// Reads the decimal digits at *s (at least one, at most 9, so that no pid
// overflows) and moves *s past them.  Returns their value, or -1.
long pane_digits(const char** s) {
    long v = 0;
    int n = 0;
    for (; **s >= '0' && **s <= '9'; ++*s) {
        if (++n > 9)
            return -1;
        v = v * 10 + (**s - '0');
    }
    return n == 0 ? -1 : v;
}

// Conditions 1 to 3 of find_panes for r.
bool pane_confirmed(const SessionRecord* r) {
    pid_t server = pane_server(r->host);
    if (server <= 0 || server != r->pid || r->ended != SESSION_OPEN)
        return false;
    char program[sizeof PANE_PROGRAM + 1];
    uid_t uid;
    if (platform->process_program(server, program, sizeof program, &uid) != 0 ||
        std::strcmp(program, PANE_PROGRAM) != 0)
        return false;
    const struct passwd* pw = platform->pw_by_name(r->user);
    return pw != nullptr && pw->pw_uid == uid;
}

// Condition 4: the first of the n logins that are not panes (pane[i]
// false), of r's user and open, whose terminal r's server holds; nullptr
// for none.
const SessionRecord* pane_host(const SessionRecord* r, const bool* pane, int n) {
    const char* paths[Platform::PROCESS_HOLDS_MAX];
    const SessionRecord* logins[Platform::PROCESS_HOLDS_MAX];
    int k = 0;
    for (int i = 0; i < n; ++i) {
        const SessionRecord* l = ActiveSessions[i];
        if (!pane[i] && l->ended == SESSION_OPEN && std::strcmp(l->user, r->user) == 0) {
            paths[k] = l->tty_path;
            logins[k++] = l;
        }
        if (k == Platform::PROCESS_HOLDS_MAX || (k > 0 && i == n - 1)) {
            int held = platform->process_holds(r->pid, paths, k);
            if (held >= 0)
                return logins[held];
            k = 0;
        }
    }
    return nullptr;
}

}  // namespace

pid_t pane_server(const char* host) {
    if (std::strncmp(host, PANE_HOST_PREFIX, sizeof PANE_HOST_PREFIX - 1) != 0)
        return 0;
    const char* s = host + sizeof PANE_HOST_PREFIX - 1;
    long pid = pane_digits(&s);
    if (pid <= 0 || s[0] != ')' || s[1] != '.' || s[2] != '%')
        return 0;
    s += 3;
    if (pane_digits(&s) < 0 || *s != '\0')
        return 0;
    return static_cast<pid_t>(pid);
}

void find_panes(int n) {
    for (int i = 0; i < n; ++i) ActiveSessions[i]->pane_of = nullptr;
    if (pane_join == 0)
        return;
    bool pane[MAXUSERS];
    bool any = false;
    for (int i = 0; i < n; ++i) any |= pane[i] = pane_confirmed(ActiveSessions[i]);
    if (!any)
        return;
    // The panes of one server, next to each other in the database as tmux
    // writes them, share their login: it is looked up once for them.
    const SessionRecord* last = nullptr;
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        if (!pane[i])
            continue;
        if (last != nullptr && last->pid == r->pid && std::strcmp(last->user, r->user) == 0)
            r->pane_of = last->pane_of;
        else
            r->pane_of = pane_host(r, pane, n);
        last = r;
    }
}
