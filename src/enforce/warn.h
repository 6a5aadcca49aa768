// Warning delivery: the one way a check acts on a session.
#ifndef QUELLD_ENFORCE_WARN_H
#define QUELLD_ENFORCE_WARN_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>

#include "base/session_table.h"
#include "enforce/logout.h"
#include "enforce/texts.h"

// Warning kinds; also the bits of a session's warned and exempt sets.
enum WarnKind : uint32_t {
    WARN_IDLE = 1,
    WARN_MULTIPLE = 2,
    WARN_SESSION = 4,
    WARN_REFUSED = 8,
    WARN_XLOCK = 16,
    WARN_MAXUSER = 64,
    WARN_HOURS = 128,
};

constexpr uint32_t EXEMPT_ALL = 207;  // idle, multiple, session, refused, maxuser and hours

// Everything a warning child is to do, worked out by the daemon before the
// fork, so that the child looks nothing up (a slow name service would
// otherwise run out its alarm before any kill) and formats no time.
struct WarnOrder {
    int kind;
    int deliver;         // 0: never open the terminal for writing
    int logout;          // 1: end the session (after the notice, for a refusal)
    int refusal;         // 1: the refusal notice and REFUSE_PAUSE come first
    const char* reason;  // the event log's word for the kind
    uid_t uid;           // the user's, when uid_known; signals go out with it
    int uid_known;
    int text_len;  // of text: the warning, or the refusal notice
    char text[TEXT_SIZE];
};

// Works out what warning r for kind means: a warning, or the logout when
// r was already warned for kind (always for WARN_REFUSED and WARN_XLOCK; an
// hours logout with hours_end 0 is a refusal).  shown is what the text
// shows: the limit in seconds (idle, session), the logins allowed (multiple,
// maxuser), the end of the hours (hours); the check's verdict gives it.
void warn_prepare(const SessionRecord* r, int kind, int deliver, int64_t shown, time_t now,
                  WarnOrder* o);

// Warns the session, or logs it out when it was already warned for kind, in
// a child process under a WARN_ALARM-second alarm, and returns without
// waiting for it: the outcome is taken up by warn_children_reap.  index is
// a SessionTable slot for kinds 1 and 16, a position in ActiveSessions for
// the others.  deliver 0 never opens the terminal and goes straight to the
// logout.  Does nothing to a record that is not open (logged out, stale, its
// logout under way or given up), and checks that the login is live first
// (live.h): a stale one is marked SESSION_STALE and logged once.  A login
// whose last child still runs, or whose user already has CHILDREN_PER_USER
// children running, or any action while CHILDREN_MAX run, is put off: the
// record is left as it was, its idle check made due, and warn_pass_wanted
// set.  A logout marks the record SESSION_ENDING until its child reports.
// Sets the kind in warned for kinds 1, 2, 4, 64 and 128 whatever the child
// does.  Ends the daemon (status 1) when it cannot fork.  shown as for
// warn_prepare.
void warn(int index, int kind, int deliver, int64_t shown);

// As warn(index, kind, 1, limit), with what the audit trail reports of it
// (audit_session): the limit that applied (which the text shows), -1 for
// none, and the rule that set it.  The message goes out from the daemon once the child has ended,
// never from the child.
void warn_audited(int index, int kind, int64_t limit, RuleAt rule);

// Takes up the children that have ended: a terminal that could not be
// opened lists the login in unwritable_ttys; a logout whose processes are
// gone marks its record SESSION_LOGGED_OUT; one whose processes stayed, or
// that was cut off, is logged ("%19.19s : %s on %s still logged in after
// logout for %s: ...") and sent to the audit trail as event=logout_failed,
// and its record is open again, to be logged out again by the next pass,
// until LOGOUT_TRIES logouts have failed (then SESSION_UNENDED, logged
// "gave up").  Each outcome goes to the audit trail.  A child running past
// every bound of its own is killed.  Never waits.
void warn_children_reap();

// Children not yet taken up.
int warn_children_running();

// Set when an action was put off: the daemon should run a pass as soon as a
// child ends, not wait its interval.
// The daemon clears it.
extern int warn_pass_wanted;

// When set, warn calls it with the record, the kind and what its text shows
// just before it forks (ended already SESSION_ENDING for a logout): for
// tests that record what a pass does.  Null in the daemon.
extern void (*warn_observer)(const SessionRecord* r, int kind, int64_t shown);

// 1 when r may be acted on: not yet logged out or found stale, and live
// (live.h).  Otherwise 0; a record found stale here is marked SESSION_STALE
// and logged once, "%19.19s : stale record of %s on %s, left alone".  warn
// asks first; the login-count checks ask of the logins they count against
// another before they act.
int warn_live(SessionRecord* r);

// The work of the warning child, callable without forking: o carried out
// for r.  Returns the outcome the child ends with (CHILD_UNWRITABLE only
// when the login is not yet in unwritable_ttys), and in *left what a logout
// left on the terminal.
int warn_carry_out(const SessionRecord* r, const WarnOrder* o, ZapLeft* left);

// warn_prepare and warn_carry_out at the present time, as a child would.
int warn_child(SessionRecord* r, int kind, int deliver, int64_t shown);

// unwritable_ttys: the logins, named by (tty_path, login_time), whose
// terminal a warning child could not open.
//
// Adds r's login at the head of the list (no duplicate test).
void unwritable_add(const SessionRecord* r);
// 1 when r's login is listed, else 0.
int unwritable_find(const SessionRecord* r);
// Removes the entries for r's terminal that belong to other logins (another
// login_time); called when a new login is set up on the terminal.
void unwritable_prune(const SessionRecord* r);
// Empties the list, as at program start.
void unwritable_reset();

#endif  // QUELLD_ENFORCE_WARN_H
