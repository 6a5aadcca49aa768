// quelld-check's dry run: what the daemon would do now about the host's
// current logins.
#ifndef QUELLD_CHECKER_CHECK_DRYRUN_H
#define QUELLD_CHECKER_CHECK_DRYRUN_H

#include <cstdio>
#include <vector>

#include "policy/verdict.h"

// The most acting verdicts one login can get in a pass: idle, refusal,
// session, hours, multiple and maxuser.
constexpr int CHECK_VERDICTS_MAX = 6;

// Scans the login-accounting database as a pass of a freshly started daemon
// does (the same slots, group lists and resolve_policy) and judges every
// login with the checks' judge_* functions in the pass's order, as if no
// warning had been given yet and no user were remembered as recently
// limited, since only the running daemon knows those.  A login the daemon
// would find stale or already logged out in the pass gets no verdict.
// When out is not null, out[slot] receives the acting verdicts (warn or log
// out) on the login at slot, in the order the daemon would carry them out,
// and counts[slot] how many, for slots 0 to session_count - 1 (both MAXUSERS
// long).  When sequence is not null it receives the same verdicts across
// all logins, in the order the pass reaches them.  Never forks, signals, or
// writes to a terminal or the event log.  Returns the number of user logins.
struct CheckAct {
    int slot;
    Verdict v;
};
int check_judge(Verdict (*out)[CHECK_VERDICTS_MAX], int* counts,
                std::vector<CheckAct>* sequence = nullptr);

// Runs check_judge, then writes to out, for each user login in database
// order, its policy, its idle time by the configured method and the
// verdicts: nothing, warn or log out, and why; last, the next end of hours
// among them and the logins it will warn or log out.  Returns the number of
// user logins.
int check_dry_run(FILE* out);

#endif  // QUELLD_CHECKER_CHECK_DRYRUN_H
