// Warning delivery: the one way a check acts on a session.
#ifndef QUELLD_ENFORCE_WARN_H
#define QUELLD_ENFORCE_WARN_H

#include <cstdint>

#include "base/session_table.h"

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

// Warns the session, or logs it out when it was already warned for kind, in a
// child process under a WARN_ALARM-second alarm; returns once the child has
// ended.  index is a SessionTable slot for kinds 1 and 16, a position in
// ActiveSessions for the others.  deliver 0 never opens the terminal and
// goes straight to the logout.  Does nothing to a record already logged out
// or found stale, and checks that the login is live first (live.h): a
// stale one is marked SESSION_STALE and logged once, "%19.19s : stale record
// of %s on %s, left alone".  A logout (kinds 8 and 16, or a kind already
// warned) marks the record SESSION_LOGGED_OUT.  An hours logout with
// hours_end 0 is a refusal: the refusal notice comes first.  Sets the kind in warned for
// kinds 1, 2, 4, 64 and 128 whatever the child does; a child exit status of 5
// lists the login in unwritable_ttys.  A wait that fails for another reason than a signal logs
// "Cannot wait in warn: %s" and records nothing more.  Ends the daemon
// (status 1) when it cannot fork.
void warn(int index, int kind, int deliver);

// As warn(index, kind, 1), with what the audit trail reports of it
// (audit_session): the limit that applied, -1 for none, and the rule that
// set it.  The message goes out from the daemon once the child has ended,
// never from the child.
void warn_audited(int index, int kind, int64_t limit, RuleAt rule);

// When set, warn calls it with the record and kind just before it forks
// (ended already SESSION_LOGGED_OUT for a logout): for tests that record
// what a pass does.  Null in the daemon.
extern void (*warn_observer)(const SessionRecord* r, int kind);

// 1 when r may be acted on: not yet logged out or found stale, and live
// (live.h).  Otherwise 0; a record found stale here is marked SESSION_STALE
// and logged once, "%19.19s : stale record of %s on %s, left alone".  warn
// asks first; the login-count checks ask of the logins they count against
// another before they act.
int warn_live(SessionRecord* r);

// The work of the warning child, callable without forking.  Returns the exit
// status the child ends with: 5 when the terminal cannot be opened for
// writing and the login is not yet in unwritable_ttys, 0 otherwise.
int warn_child(SessionRecord* r, int kind, int deliver);

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
