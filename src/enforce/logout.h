// Forced logout: the notice on the terminal, every process of the terminal
// ended, and the logout and its reason in the event log once they are gone.
// Runs only in a warning child; what it changes about the process
// (descriptors, effective user id) ends with that child.
#ifndef QUELLD_ENFORCE_LOGOUT_H
#define QUELLD_ENFORCE_LOGOUT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/session_table.h"

// What a warning child reports, as its exit status and through its report.
enum ChildOutcome : int32_t {
    CHILD_DONE = 0,        // the text written, or every process of the terminal gone
    CHILD_UNWRITABLE = 5,  // the terminal could not be opened for writing
    CHILD_LEFT = 6,        // processes of the terminal outlived the logout
    CHILD_NO_TABLE = 7,    // the process table could not be read: nothing was ended
    CHILD_TIMED_OUT = 8,   // cut off by its alarm
};

// What a logout left: the processes still of the terminal, and the sessions
// it found there (id 0: none), which the next try starts from.
struct ZapLeft {
    int32_t processes;
    TtySession session[TTY_SESSIONS_CARRIED];
};

// Logs the session r out for reason ("idle", "multiple", "session",
// "refused", "xlock", "maxuser" or "hours").  Closes every descriptor from
// 3 up; with deliver nonzero writes the 30-byte logout notice on the
// terminal, never waiting for a terminal that does not drain; holds the
// terminal open while it ends the terminal's processes (kill_tty_processes)
// with effective uid uid when uid_known, as the superuser otherwise; a
// terminal that cannot be opened has none of them ended (logged:
// "couldn't open" with deliver, "cannot open %s for %s: %s" without).  Only
// when no process is left on the terminal does it log "%19.19s : %s on %s
// because %s".  Returns a ChildOutcome: CHILD_DONE, CHILD_LEFT with
// left->processes set, or CHILD_NO_TABLE; a terminal that cannot be opened
// gives CHILD_LEFT with none, as nothing shows the session gone.  The
// sessions of r->tty_sessions are ended with the terminal's.
int zap(const SessionRecord* r, const char* reason, int deliver, uid_t uid, int uid_known,
        ZapLeft* left);

// Closes every open descriptor from 3 up; 0 to 2 stay as they are (a
// warning child reports through 2).
void close_descriptors();

// Ends the processes whose controlling terminal is the very terminal open at
// tty_fd, the session r's, and the rest of their sessions (platform_tty_gather, platform_tty_end):
// gathered as the superuser, signalled with effective uid uid.  The first round gives each process
// its SIGHUP and SIGTERM graces; later rounds, for processes that did not fit or came since,
// SIGKILL at once.  Rounds go on until a look finds none left or LOGOUT_KILL_MS have passed.
// Returns the processes still on the terminal (0: the session is gone), or -1 when the process
// table cannot be read (logged).  Logs one line, as the superuser, when
// processes with the terminal's number were left alone because nothing
// showed them to be on it.  Ends as the superuser.  Starts from the sessions
// of r->tty_sessions besides those on the terminal, and leaves the sessions
// found in left->session when left is not null.
int kill_tty_processes(const SessionRecord* r, int tty_fd, uid_t uid, ZapLeft* left = nullptr);

#endif  // QUELLD_ENFORCE_LOGOUT_H
