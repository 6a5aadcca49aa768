// The daemon's picture of the current logins: one SessionRecord per user
// login of the login-accounting database, in scan order, and the cycle's list
// of the logins still open.
#ifndef QUELLD_BASE_SESSION_TABLE_H
#define QUELLD_BASE_SESSION_TABLE_H

#include <utmpx.h>

#include <cstdint>
#include <ctime>

#include "os/platform.h"
#include "pathnames.h"

// Room for "/dev/" and the longest line name the platform's utmpx can hold,
// so that every terminal keeps its full device path.
constexpr int TTY_PATH_SIZE = 5 + sizeof(((struct utmpx*)nullptr)->ut_line) + 1;
constexpr int USER_SIZE = NAME_MAX_USER + 1;
constexpr int HOST_SIZE = NAME_MAX_HOST + 1;

// A warning in force: when it was written and the grace its text announced
// (seconds).  The logout it threatens comes no earlier than their sum, less
// SLACK, whatever other event runs a pass before then.
struct Grace {
    int64_t warned_at;
    int64_t announced;
};

// What became of a login the daemon acted on; a record in any state but
// SESSION_OPEN is never warned or logged out again while it stays unchanged.
enum SessionEnd : int32_t {
    SESSION_OPEN = 0,        // nothing known against it
    SESSION_LOGGED_OUT = 1,  // given its logout
    SESSION_STALE = 2,       // its login was found gone before anything was done
    SESSION_ENDING = 3,      // its logout is under way: a child is ending its processes
    SESSION_UNENDED = 4,     // its processes outlived LOGOUT_TRIES logouts: given up
};

// A device time found later than the clock, and when the idle check first
// saw it: such a stamp counts as use at that moment and no later.
struct FutureStamp {
    int64_t stamp;  // the device time; 0 none seen
    int64_t seen;   // when it was first seen
};

// Where a limit was written: a file of the configuration (origin as in a
// rule: 0 the configuration file, else a list file) and its line; line 0
// when no line decided (no rule, or a value no command set).
struct RuleAt {
    int32_t origin;
    int32_t line;
};

// The times a terminal held when the last step of the wall clock was found,
// and what to add to each while it still holds them (see clock_device_times).
struct DeviceShift {
    int64_t atime, mtime;
    int64_t atime_shift, mtime_shift;
    int32_t held;  // 1: the times above were noted; 0 none
};

// The hours of a login's class and the state of its hours warning.  They are
// kept apart from the record, so that only the logins an hours rule applies
// to pay for them.
struct LoginHours {
    int32_t windows[HOURS_KEPT];  // of the class (config/hours_window.h), in no order
    int32_t count;                // windows in use
    int64_t end;                  // the end an hours warning shows; 0 for a refusal
    Grace grace;
    RuleAt rule;  // the first hours rule of the class, for the audit trail
};

struct SessionRecord {
    int32_t idle_limit;     // seconds; -1 no idle limit
    int32_t* groups;        // primary group first, -1 after the last
    int32_t refused;        // 1: to be refused
    int32_t session_limit;  // seconds; 0 none of its own
    uint32_t warned;        // warning kinds given and still in force
    uint32_t exempt;        // warning kinds this login is exempt from
    int32_t maxuser_gid;    // group whose login limit applies; 0 none
    int32_t maxuser_limit;  // logins that group may hold at once
    int64_t next_check;     // when the idle check is next due (see warn)
    int64_t login_time;     // whole seconds of the entry's login time
    int64_t clock_shift;    // steps of the wall clock since the login began
    Grace idle_grace;       // each warning kind's grace while its warned bit is set
    Grace multiple_grace;
    Grace session_grace;
    Grace maxuser_grace;
    int32_t pid;                   // the entry's ut_pid: the login's process; <= 0 none recorded
    int32_t ended;                 // a SessionEnd
    FutureStamp tty_stamp;         // of the terminal (for the console login: /dev/console)
    FutureStamp kbd_stamp;         // of the keyboard, for the console login
    FutureStamp mouse_stamp;       // of the mouse, for the console login
    char user[USER_SIZE];          // login name, cut to NAME_MAX_USER
    char tty_path[TTY_PATH_SIZE];  // "/dev/" and the line name
    char host[HOST_SIZE];          // remote host cut to NAME_MAX_HOST, or "localhost"
    // Under "panes join", the login this multiplexer pane runs in, found
    // afresh every pass (see pane_check.h); nullptr for a login of its own.
    const SessionRecord* pane_of;
    // The rules behind idle_limit, session_limit, refused and maxuser_limit,
    // for the audit trail and quelld-check.
    RuleAt idle_rule;
    RuleAt session_rule;
    RuleAt refuse_rule;
    RuleAt maxuser_rule;
    // The class's hours while hours_ruled is 1; otherwise nullptr, or room
    // kept for the next login of the slot (session_hours_room).
    LoginHours* hours;
    int32_t hours_ruled;     // 1: an hours rule applies, and outside its windows no login may be
    int32_t group_room;      // ids groups has room for, besides its -1; 0: none of its own
    DeviceShift tty_shift;   // of the terminal, at the last step of the clock
    int32_t primary_gid;     // the user's group in the password database
    int32_t groups_pending;  // 1: groups still to be asked of the name service
    int32_t logout_tries;    // logouts whose processes stayed
    // The sessions the last logout found on the terminal, for the next try
    // (id 0: none): their leaders may be gone, and with them the terminal.
    TtySession tty_sessions[TTY_SESSIONS_CARRIED];
};

// When the session began on the wall clock now in force.  login_time stays as
// the login database wrote it, since a login is known by user and login_time.
inline int64_t session_start(const SessionRecord* r) {
    return r->login_time + r->clock_shift;
}

// Starts grace g at now with the announced length.
inline void grace_begin(Grace* g, int64_t now, int64_t announced) {
    g->warned_at = now;
    g->announced = announced;
}
inline int64_t grace_end(const Grace& g) {
    return g.warned_at + g.announced;
}
// Whether grace g has run out at now, counting SLACK: now >= end - SLACK.
inline bool grace_over(const Grace& g, int64_t now) {
    return now + SLACK >= grace_end(g);
}

// The bare line name of a session: its tty_path without "/dev/".
inline const char* session_line(const SessionRecord* r) {
    return r->tty_path + 5;
}

// The user logins of the last scan, in scan order: session_count records,
// slots 0 to session_count - 1.  Only user logins take a slot, so the table
// holds what is logged in, not every line the database ever recorded; it
// grows with the logins (session_table_reserve) up to MAXUSERS and never
// shrinks, so that a steady pass allocates nothing.  Growing moves the
// records: a pointer into the table is good only until the next reserve.
extern SessionRecord* SessionTable;
extern int session_count;

// References to this cycle's open logins, in scan order (the multiple-login
// check sorts them), and how many there are.  Has the table's room.
extern SessionRecord** ActiveSessions;
extern int active_count;

// User name of the login on /dev/console, or empty.
extern char console_user[USER_SIZE];

// Makes records 0 to n - 1 of SessionTable usable (those never used before
// zero) and gives ActiveSessions room for n.  Returns 0, or -1 (the table
// unchanged) without memory or beyond MAXUSERS.
int session_table_reserve(int n);

// Gives r's group list room for n ids and its -1, keeping the ids it holds
// when it grows; for n 0, a record without a list of its own gets a shared
// empty one (never to be written but for its -1).  Returns r->groups, or
// nullptr without memory (the list unchanged).  A list is only ever grown:
// the record keeps its room for the next login that takes its slot.
int32_t* session_groups_room(SessionRecord* r, int n);

// r's hours, emptied, with room had once and kept for the logins that take
// the record after it.  nullptr without memory.
LoginHours* session_hours_room(SessionRecord* r);

// Starts r afresh for another login: everything zero but the room its group
// list and hours own, which it keeps (the group list emptied).
void session_record_clear(SessionRecord* r);

// The record of the login that r stands for (the same user, login time and
// line) among the table's session_count, or nullptr when it is gone.
SessionRecord* session_table_find(const SessionRecord* r);

// Empties the table, ActiveSessions and console_user, as at program start,
// and frees the group lists and hours; the table keeps its room.  The
// clock's steps of the console devices are forgotten by clock_step_reset.
void session_table_reset();

#endif  // QUELLD_BASE_SESSION_TABLE_H
