// Forced logout: the notice on the terminal, every process of the terminal
// killed, the logout and its reason in the event log.  Runs only in a warning
// child; what it changes about the process (descriptors, effective user id)
// ends with that child.
#ifndef QUELLD_ENFORCE_LOGOUT_H
#define QUELLD_ENFORCE_LOGOUT_H

#include <sys/types.h>

#include <cstddef>

#include "base/session_table.h"

// Logs the session r out for reason ("idle", "multiple", "session",
// "refused", "xlock" or "maxuser").  Closes every descriptor from 2 up; with
// deliver nonzero writes the 30-byte logout notice on the terminal; holds
// the terminal open while it ends the terminal's processes
// (kill_tty_processes) with the user's effective uid when the user is known,
// as the superuser otherwise; a terminal that cannot be opened has none of
// them ended (logged: "couldn't open" with deliver, "cannot open %s for
// %s: %s" without); ends as the superuser and logs
// "%19.19s : %s on %s because %s".
void zap(const SessionRecord* r, const char* reason, int deliver);

// Closes every open descriptor from 2 up; 0 and 1 stay as they are.
void close_descriptors();

// Ends the processes whose controlling terminal is the very terminal open at
// tty_fd, the session r's (platform_tty_gather, platform_tty_end): gathered
// as the superuser, signalled with effective uid uid, in rounds of at most
// TTY_PROCS_MAX processes.  Logs one line, as the superuser, when the
// process table cannot be read, and one when processes with the terminal's
// number were left alone because nothing showed them to be on it.  Ends as
// the superuser.
void kill_tty_processes(const SessionRecord* r, int tty_fd, uid_t uid);

#endif  // QUELLD_ENFORCE_LOGOUT_H
