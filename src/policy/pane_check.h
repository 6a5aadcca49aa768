// Multiplexer panes: tmux (through libutempter) writes a login record for
// each of its panes, so without more a user who splits a window holds one
// login more.  Under "panes join" a pane running in one of its user's
// logins counts with that login for the multiple-login and group limits;
// every other check still judges each pane as a login.
#ifndef QUELLD_POLICY_PANE_CHECK_H
#define QUELLD_POLICY_PANE_CHECK_H

#include <sys/types.h>

#include "base/session_table.h"

// The server pid a login record's host field names in the form tmux gives
// its panes, "tmux(PID).%N" with PID and N in decimal; 0 for any other.
pid_t pane_server(const char* host);

// Sets pane_of of each of the first n of ActiveSessions: with pane_join, to
// the login it runs in when it is a pane, else nullptr.  A record R of user
// U is a pane running in login L when all of these hold:
//   1. R's host field has the form of pane_server, naming pid P;
//   2. P is R's own recorded process: libutempter's helper records the
//      process that asked for the record, the server, and a remote login
//      records its login process, whatever host name it gives;
//   3. process P runs an executable named "tmux", as U's uid;
//   4. L is another open login of U, not itself such a pane, and P holds
//      L's terminal open: tmux's server keeps the terminal of every client
//      attached to it, so the panes show on L.
// A detached server holds no login's terminal: its panes count as logins
// until a login of their user attaches to it again.  Looked up afresh at
// every pass, since clients attach and detach.
void find_panes(int n);

#endif  // QUELLD_POLICY_PANE_CHECK_H
