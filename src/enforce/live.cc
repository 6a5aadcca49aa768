#include "enforce/live.h"

#include "os/platform.h"

int live_session(const SessionRecord* r) {
    // A writer that records no process leaves the terminal's owner as the
    // only proof; a negative pid would name a process group, never a login.
    if (r->pid > 0 && platform->process_exists(r->pid) == 0)
        return 0;
    // Logging in gives the terminal to the user, and the next login or
    // getty on the line takes it.  A terminal that cannot be examined proves
    // nothing either way, and nobody else can be reached through it: the
    // warning cannot open it.  Without a password entry (a user deleted
    // while logged in) there is no uid to compare, and the process decides.
    uid_t owner;
    if (platform->file_owner(r->tty_path, &owner) != 0)
        return 1;
    const struct passwd* pw = platform->pw_by_name(r->user);
    return pw == nullptr || pw->pw_uid == owner ? 1 : 0;
}

int live_mark(SessionRecord* r) {
    if (r->ended != SESSION_OPEN)
        return 0;
    if (live_session(r))
        return 1;
    r->ended = SESSION_STALE;
    return -1;
}
