// Warning delivery: the one way a check acts on a session.
#ifndef QUELLD_ENFORCE_WARN_H
#define QUELLD_ENFORCE_WARN_H

#include <cstdint>

#include "daemon/session_table.h"

// Warning kinds; also the bits of a session's warned and exempt sets.
enum WarnKind : uint32_t {
    WARN_IDLE = 1,
    WARN_MULTIPLE = 2,
    WARN_SESSION = 4,
    WARN_REFUSED = 8,
    WARN_XLOCK = 16,
    WARN_MAXUSER = 64,
};

constexpr uint32_t EXEMPT_ALL = 79;  // idle, multiple, session, refused and maxuser

// Warns the session, or logs it out when it was already warned for kind, in a
// child process under a WARN_ALARM-second alarm; returns once the child has
// ended.  index is a SessionTable slot for kinds 1 and 16, a position in
// ActiveSessions for the others.  deliver 0 never opens the terminal and
// goes straight to the logout.  Ends the daemon when it cannot fork.
void warn(int index, int kind, int deliver);

// The work of the warning child, callable without forking.  Returns the exit
// status the child ends with: 5 when the terminal cannot be opened for
// writing and the login is not yet in unwritable_ttys, 0 otherwise.
int warn_child(SessionRecord* r, int kind, int deliver);

// Logins whose terminal a warning child could not open.
void unwritable_add(const SessionRecord* r);
int unwritable_find(const SessionRecord* r);
void unwritable_prune(const SessionRecord* r);
void unwritable_reset();

#endif  // QUELLD_ENFORCE_WARN_H
