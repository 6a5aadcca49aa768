// quelld-check's dry run: what the daemon would do now about the host's
// current logins.
#ifndef QUELLD_CHECK_CHECK_DRYRUN_H
#define QUELLD_CHECK_CHECK_DRYRUN_H

#include <cstdio>

// Scans the login-accounting database as a pass of a freshly started daemon
// does (the same slots, group lists and resolve_policy), then writes to out,
// for each user login in database order, its policy, its idle time by the
// configured method and what the checks would do now: nothing, warn or log
// out, and why.  It judges as if no warning had been given yet and no user
// were remembered as recently limited, since only the running daemon knows
// those.  Never forks, signals, or writes to a terminal or the event log.
// Returns the number of user logins.
int check_dry_run(FILE* out);

#endif  // QUELLD_CHECK_CHECK_DRYRUN_H
