#include "daemon/cycle.h"

#include <errno.h>
#include <utmpx.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/event_log.h"
#include "base/log_escape.h"
#include "base/session_table.h"
#include "base/signals.h"
#include "config/settings.h"
#include "daemon/reload.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/clock_step.h"
#include "policy/group_check.h"
#include "policy/hours_check.h"
#include "policy/idle_check.h"
#include "policy/multiple_check.h"
#include "policy/pane_check.h"
#include "policy/resolve.h"
#include "policy/session_check.h"

bool idle_enabled = true;
bool multiple_enabled = true;
bool refuse_enabled = true;
bool session_enabled = true;
bool group_enabled = true;
bool hours_enabled = true;

CycleChecks cycle_checks = {
    .mark_recent_session_user = mark_recent_session_user,
    .unwritable_prune = unwritable_prune,
    .enforce_idle = enforce_idle,
    .enforce_refusals = enforce_refusals,
    .enforce_session_length = enforce_session_length,
    .enforce_multiple_logins = enforce_multiple_logins,
    .enforce_group_limit = enforce_group_limit,
    .enforce_hours = enforce_hours,
};

namespace {

// Seconds between looks at warning children that are still running.
constexpr time_t CHILD_LOOK = 5;

// Copies a character field of a utmpx entry, which need not end in NUL, into
// dst (size bytes), cut to size - 1 characters and always terminated.
template <size_t N>
void cycle_copy_field(char* dst, size_t size, const char (&field)[N]) {
    size_t n = strnlen(field, size - 1 < N ? size - 1 : N);
    std::memcpy(dst, field, n);
    dst[n] = '\0';
}

// The entry's login time.  glibc keeps it in 32 bits, on 64-bit systems
// too; read as signed it would turn to 1901 in January 2038, read unsigned
// it lasts until 2106.
int64_t cycle_login_time(const struct utmpx& e) {
    if constexpr (sizeof e.ut_tv.tv_sec == 4)
        return static_cast<uint32_t>(e.ut_tv.tv_sec);
    else
        return clamp_time(e.ut_tv.tv_sec);
}

// Writes "/dev/" and the entry's whole line name into dst (TTY_PATH_SIZE
// bytes).
void cycle_tty_path(char* dst, const struct utmpx& e) {
    constexpr size_t dev = sizeof PATH_DEV - 1;
    std::memcpy(dst, PATH_DEV, dev);
    cycle_copy_field(dst + dev, TTY_PATH_SIZE - dev, e.ut_line);
}

// Sets up the record at slot for a login seen for the first time.  name is
// the entry's user name, already cut; now is the time read for the entry.
// May lower sleep_interval and *wake_time.
void cycle_take_login(int slot, const struct utmpx& e, const char* name, time_t now,
                      time_t* wake_time) {
    SessionRecord* r = &SessionTable[slot];
    // Nothing of the login that held the record before may pass to this one;
    // the room its group list and hours had is kept for this one's.
    session_record_clear(r);

    cycle_copy_field(r->host, sizeof r->host, e.ut_host);
    if (r->host[0] == '\0')
        std::memcpy(r->host, "localhost", sizeof "localhost");
    cycle_tty_path(r->tty_path, e);
    std::memcpy(r->user, name, sizeof r->user);

    // No groups until they are asked for (resolve_policy): the slot's
    // previous login's groups would hand its group rules (exemptions among
    // them) to a stranger.
    session_groups_room(r, 0);
    r->groups[0] = -1;
    if (const struct passwd* pw = platform->pw_by_name(r->user)) {
        r->primary_gid = static_cast<int32_t>(pw->pw_gid);
        r->groups_pending = 1;
        // A name service that found the login under another spelling of
        // its name is asked for the groups by the name it gave, now.
        if (std::strcmp(pw->pw_name, r->user) != 0) {
            r->groups_pending = 0;
            fill_session_groups(r, pw->pw_name, r->primary_gid);
        }
    } else {
        // The identity below is written all the same, so this line appears
        // once per login.
        char user[log_escaped_size(USER_SIZE)];
        log_line("Error:  could not get info on supposed user %s.",
                 log_escape(r->user, user, sizeof user));
    }
    r->login_time = cycle_login_time(e);
    r->clock_shift = clock_login_shift(r->login_time);
    clock_note_terminal(r);
    r->pid = e.ut_pid;
    r->ended = SESSION_OPEN;
    r->tty_stamp = r->kbd_stamp = r->mouse_stamp = FutureStamp{};

    resolve_policy(slot);
    r->next_check = now;
    cycle_checks.mark_recent_session_user(r);
    cycle_checks.unwritable_prune(r);
    if (idle_enabled) {
        cycle_checks.enforce_idle(slot);
        // A warning just given must be followed up when its grace ends, not
        // a whole interval later.
        if (r->next_check > now && r->next_check < *wake_time)
            *wake_time = r->next_check;
    }

    if (std::strcmp(r->tty_path, PATH_CONSOLE) == 0) {
        std::memcpy(console_user, r->user, sizeof console_user);
    }
    // A login with a shorter idle limit than the interval would otherwise be
    // checked late; the shorter interval stays until a read sets it again.
    if (r->idle_limit > 0 && r->idle_limit < sleep_interval) {
        sleep_interval = r->idle_limit;
        if (now + sleep_interval < *wake_time)
            *wake_time = now + sleep_interval;
    }
}

// The slot, from first to last - 1, of the login of the last pass that the
// entry continues: the same user, login time and line.  -1 when none.  The
// logins come in the same order pass after pass, so the first looked at is
// nearly always the one.
int cycle_find_login(int first, int last, const char* name, int64_t login_time,
                     const char* tty_path) {
    for (int i = first; i < last; ++i) {
        const SessionRecord* r = &SessionTable[i];
        if (r->login_time == login_time && std::strcmp(r->user, name) == 0 &&
            std::strcmp(r->tty_path, tty_path) == 0)
            return i;
    }
    return -1;
}

void cycle_swap(int a, int b) {
    if (a == b)
        return;
    SessionRecord t = SessionTable[a];
    SessionTable[a] = SessionTable[b];
    SessionTable[b] = t;
}

// Handles a USER_PROCESS entry, the login met in this pass after the ones at
// slots 0 to *kept - 1; slots *kept to *prior - 1 hold the last pass's logins
// not met yet.  Returns 1 when the entry takes slot *kept (*kept is then one
// more), 0 when it is passed over, -1 when the table is full.
int cycle_user_entry(const struct utmpx& e, int* kept, int* prior, time_t now, int reloaded,
                     time_t* wake_time) {
    char name[USER_SIZE];
    cycle_copy_field(name, sizeof name, e.ut_user);

    // A nameless entry is never a known login: that record was never
    // resolved, and checking it would act on an empty terminal path.
    if (name[0] == '\0')
        return 0;
    if (*kept == MAXUSERS)
        return -1;

    int slot = *kept;
    char tty_path[TTY_PATH_SIZE];
    cycle_tty_path(tty_path, e);
    int found = cycle_find_login(slot, *prior, name, cycle_login_time(e), tty_path);
    if (found >= 0) {
        cycle_swap(slot, found);
        SessionRecord* r = &SessionTable[slot];
        if (reloaded == 1)
            resolve_policy(slot);
        // Due, or due within the slack: now > next_check - SLACK, written so
        // that it cannot overflow.
        if (idle_enabled && now + SLACK > r->next_check)
            cycle_checks.enforce_idle(slot);
        if (idle_enabled && r->next_check > now && r->next_check < *wake_time) {
            *wake_time = r->next_check;
        }
    } else {
        // The last pass's login at slot, if any, moves to the end, where it
        // may still be met; without room for it, it is given up.
        if (session_table_reserve(*prior + 1) == 0) {
            cycle_swap(slot, *prior);
            ++*prior;
        } else if (slot == *prior) {
            return -1;
        }
        cycle_take_login(slot, e, name, now, wake_time);
    }
    ++*kept;
    return 1;
}

// Handles any other entry: it takes no slot, and a console entry that is no
// longer a login ends the console user.
void cycle_other_entry(const struct utmpx& e) {
    char tty_path[TTY_PATH_SIZE];
    cycle_tty_path(tty_path, e);
    if (std::strcmp(tty_path, PATH_CONSOLE) == 0)
        console_user[0] = '\0';
}

// Takes a step of the wall clock into account before anything is checked
// against it, and logs it.
void cycle_clock_step(time_t now) {
    int64_t step = clock_step_check(now, platform->monotonic());
    if (step == 0)
        return;
    char stamp[26];
    log_line("%19.19s : clock stepped %+lld seconds.", log_stamp(now, stamp),
             static_cast<long long>(step));
}

// Seconds until a database that could not be read is tried again.
constexpr time_t UTX_RETRY = 5;

// Whether the scan ended early (error: utx_error's answer); logs when the
// database starts failing and when it is read whole again, once each.
int cycle_read_failed(int error, time_t now) {
    static int failing = 0;
    char stamp[26];
    if (error != 0 && !failing)
        log_line("%19.19s : cannot read the login database: %s; its logins are kept",
                 log_stamp(now, stamp),
                 error == EWOULDBLOCK ? "its lock is held" : std::strerror(error));
    else if (error == 0 && failing)
        log_line("%19.19s : login database read again.", log_stamp(now, stamp));
    failing = error != 0;
    return failing;
}

// Lowers *wake_time to t when a check asked for a pass at t.
void cycle_wake_at(time_t t, time_t* wake_time) {
    if (t > 0 && t < *wake_time)
        *wake_time = t;
}

}  // namespace

time_t poll_scan(int reloaded) {
    time_t now = platform->now();
    cycle_clock_step(now);
    // Closed again after the scan, so that a database file replaced between
    // passes is read afresh and no descriptor stays open in between.
    platform->utx_rewind();
    time_t wake_time = now + sleep_interval;
    // Only user logins take a slot, in scan order; each takes over the
    // record it had in the last pass.
    int kept = 0;
    int prior = session_count;

    while (const struct utmpx* next = platform->utx_next()) {
        struct utmpx e = *next;
        now = platform->now();
        if (e.ut_type != USER_PROCESS) {
            cycle_other_entry(e);
        } else if (cycle_user_entry(e, &kept, &prior, now, reloaded, &wake_time) < 0) {
            log_line("Error:  too many users.  Recompile with higher 'MAXUSERS' setting.");
            break;
        }
    }
    platform->utx_close();
    if (cycle_read_failed(platform->utx_error(), now)) {
        // A scan cut short says nothing of the logins it did not reach:
        // they are kept, with their warnings, graces and marks, until a
        // scan reads the database whole.  What the scan did reach is no
        // ground for counting logins against each other.
        session_count = prior;
        active_count = 0;
        return std::min<time_t>(wake_time, now + UTX_RETRY);
    }
    // The last pass's logins not met again are gone; their records stay as
    // room for later logins.
    session_count = kept;

    // A record already logged out or found stale keeps its slot, so that it
    // is known next time, but is no login to count or act on.  Listed after
    // the scan, since taking a login may move the table.
    active_count = 0;
    for (int i = 0; i < kept; ++i)
        if (SessionTable[i].ended == SESSION_OPEN)
            ActiveSessions[active_count++] = &SessionTable[i];

    // The group check takes the login the scan met last; the multiple-login
    // check may sort ActiveSessions before it runs.  A pane that counts with
    // its login is no login of its own to take.
    find_panes(active_count);
    SessionRecord* last = nullptr;
    for (int i = active_count; i > 0 && last == nullptr; --i)
        if (ActiveSessions[i - 1]->pane_of == nullptr)
            last = ActiveSessions[i - 1];

    if (refuse_enabled)
        cycle_checks.enforce_refusals(active_count);
    if (session_enabled)
        cycle_wake_at(cycle_checks.enforce_session_length(active_count), &wake_time);
    // Wakes for the next warning or end of the hours, so that no pass has
    // to come by chance near a window's end.
    if (hours_enabled)
        cycle_wake_at(cycle_checks.enforce_hours(active_count), &wake_time);
    if (multiple_enabled)
        cycle_wake_at(cycle_checks.enforce_multiple_logins(active_count), &wake_time);
    if (group_enabled && last != nullptr)
        cycle_wake_at(cycle_checks.enforce_group_limit(last, active_count), &wake_time);
    return wake_time;
}

time_t poll_once() {
    return poll_scan(reload_config());
}

void poll_forever() {
    for (;;) {
        warn_children_reap();
        warn_pass_wanted = 0;
        time_t wake = poll_once();
        // The wake time on the clock that no one can set too: a step of the
        // wall clock back must not put the next pass off by as much.
        int64_t wake_mono = platform->monotonic() + (wake - platform->now());
        // Between passes the daemon takes up its warning children as they
        // end, and runs the next pass early only for what was put off or is
        // to be tried again.
        for (;;) {
            time_t until = wake;
            // A child's own bounds end it; a wake now and then ends one that
            // outlived them.
            if (warn_children_running() > 0 && until > platform->now() + CHILD_LOOK)
                until = platform->now() + CHILD_LOOK;
            // With the wake time already past (sleep_interval 0 or less, or
            // checks that ran long) the next pass begins at once, but still
            // through the sleep, so that a pending termination signal is
            // taken.  A configuration without a sleep command leaves
            // sleep_interval at 0; passes back to back would then keep a
            // processor busy for nothing.
            if (until <= platform->now() && sleep_interval <= 0)
                platform->sleep_seconds(1);
            else
                platform->sleep_until(until);
            terminate_if_requested();
            warn_children_reap();
            if (warn_pass_wanted || platform->now() >= wake || platform->monotonic() >= wake_mono)
                break;
        }
    }
}
