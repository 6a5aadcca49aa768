#include "policy/idle_check.h"

#include <algorithm>
#include <cstring>

#include "base/session_table.h"
#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/clock_step.h"

// A device time as use: a user owns their terminal and may set its times,
// so a time later than now counts as use at the moment it was first seen
// (remembered in f) and no later; else a stamp left in the future would keep
// an unused session alive, and put the next check out of reach.
static time_t idle_stamp_use(FutureStamp* f, time_t t, time_t now) {
    if (t <= now)
        return t;
    if (f->stamp != t) {
        f->stamp = t;
        f->seen = now;
    }
    // Not after now even when the clock has since been set back.
    return std::min<time_t>(f->seen, now);
}

// The activity time of a terminal device for session r: input only, or
// input and output; once the idle warning is out, input only, so that the
// warning itself does not count as use.  Returns -1 when the device cannot be
// examined.
static int device_activity(const char* path, SessionRecord* r, time_t now, time_t* when) {
    time_t atime, mtime;
    if (clock_device_times(static_cast<int>(r - SessionTable), path, &atime, &mtime) != 0)
        return -1;
    if (idle_method == 1 && (r->warned & WARN_IDLE) == 0)
        *when = clamp_time(std::max(atime, mtime));
    else
        *when = clamp_time(atime);
    *when = idle_stamp_use(&r->tty_stamp, *when, now);
    return 0;
}

// The later of a device's access and modification times, or 0 when it
// cannot be examined (such a device never shows activity).
static time_t device_latest(const char* path, FutureStamp* f, time_t now) {
    time_t atime, mtime;
    if (clock_device_times(-1, path, &atime, &mtime) != 0)
        return 0;
    return idle_stamp_use(f, clamp_time(std::max(atime, mtime)), now);
}

// An active session's next check: when its idle limit runs out, or when its
// session ends, whichever comes first.
static int64_t idle_active_due(const SessionRecord* r, int64_t due) {
    if (r->session_limit > 0 && session_start(r) + r->session_limit < due)
        due = session_start(r) + r->session_limit;
    return due;
}

// Idle past the limit and not exempt: the warning, or the logout once it is
// out (or at once without a grace); due is the next check while warned.
static Verdict idle_past_limit(const SessionRecord* r, int64_t limit, int64_t idle, int64_t due,
                               time_t now, RuleAt rule) {
    bool warned = (r->warned & WARN_IDLE) != 0;
    int action = warned || warn_time <= 0 ? VERDICT_LOGOUT : VERDICT_WARN;
    return Verdict{action, WARN_IDLE, limit, idle, warned ? due : now + warn_time, rule};
}

int64_t idle_seconds(int slot, time_t now) {
    SessionRecord* r = &SessionTable[slot];
    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0)
        return console_idle_time(r->idle_limit, slot);
    time_t ref;
    if (device_activity(r->tty_path, r, now, &ref) != 0)
        return -1;
    return now - ref;
}

static Verdict judge_console_idle(int slot, time_t now) {
    SessionRecord* r = &SessionTable[slot];
    if (r->exempt & WARN_IDLE)
        return verdict_none();

    time_t d = console_idle_time(r->idle_limit, slot);
    time_t x = xlock_idle_time(r->user);
    int64_t limit = r->idle_limit;
    int64_t idle = std::max(d, x);

    if (d < limit - SLACK && x < limit - SLACK) {
        Verdict v = verdict_none(WARN_IDLE, idle_active_due(r, now - idle + limit));
        v.measured = idle;
        return v;
    }
    if (x >= limit - SLACK)
        return Verdict{VERDICT_LOGOUT, WARN_XLOCK, limit, x, VERDICT_NOT_DUE, r->idle_rule};
    return idle_past_limit(r, limit, d, now - idle + limit, now, r->idle_rule);
}

Verdict judge_idle(int slot, time_t now) {
    SessionRecord* r = &SessionTable[slot];
    // Logged out or stale: the record outlived its login and is left alone.
    if (r->idle_limit < 0 || r->ended != SESSION_OPEN)
        return verdict_none();
    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0)
        return judge_console_idle(slot, now);

    int64_t limit = r->idle_limit;
    RuleAt rule = r->idle_rule;
    if (std::strcmp(r->user, console_user) == 0) {
        if (console_idle == -1)
            return verdict_none();
        if (console_idle != -2) {
            limit = console_idle;
            rule = RuleAt{0, setting_lines.console_idle};
        }
    }

    int64_t idle = idle_seconds(slot, now);
    if (idle < 0) {
        // A terminal that cannot be examined tells nothing about its use:
        // never log out on that ground; look again when the limit would end.
        return verdict_none(0, now + std::max<int64_t>(limit, SLACK));
    }
    time_t ref = now - idle;
    if (now - session_start(r) < limit - SLACK || idle < limit - SLACK) {
        Verdict v = verdict_none(WARN_IDLE, idle_active_due(r, ref + limit));
        v.measured = idle;
        return v;
    }
    if (r->exempt & WARN_IDLE)
        return verdict_none();
    return idle_past_limit(r, limit, idle, ref + limit, now, rule);
}

void enforce_idle(int slot) {
    SessionRecord* r = &SessionTable[slot];
    time_t now = platform->now();
    Verdict v = judge_idle(slot, now);
    if (v.due != VERDICT_NOT_DUE)
        r->next_check = v.due;
    if (v.action == VERDICT_NONE) {
        r->warned &= ~v.kind;
        return;
    }
    if (v.kind == WARN_XLOCK) {
        r->warned &= WARN_XLOCK;
        warn_audited(slot, WARN_XLOCK, v.shown, v.rule);
        return;
    }
    if ((r->warned & WARN_IDLE) == 0) {
        grace_begin(&r->idle_grace, now, warn_time);
        if (warn_time <= 0)
            r->warned |= WARN_IDLE;
    }
    // The warning's text names the limit that applied, the console's
    // limit for the console user's other logins.
    warn_audited(slot, WARN_IDLE, v.shown, v.rule);
}

time_t console_idle_time(int32_t limit, int slot) {
    SessionRecord* r = &SessionTable[slot];
    time_t now = platform->now();
    time_t idle = now - device_latest(PATH_KBD, &r->kbd_stamp, now);
    // The mouse only matters when the keyboard shows no use within the limit.
    if (idle >= limit)
        idle = std::min(idle, now - device_latest(PATH_MOUSE, &r->mouse_stamp, now));
    time_t console;
    if (device_activity(PATH_CONSOLE, r, now, &console) != 0) {
        // Without the console device's times nothing proves the console idle.
        return 0;
    }
    return std::min(idle, now - console);
}

time_t xlock_idle_time(const char* /*user*/) {
    return 0;
}
