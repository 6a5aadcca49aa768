// quelld-check -c: whether any login can stay idle longer than a bound,
// for the current logins and for every class of login the rules tell apart.
#ifndef QUELLD_CHECKER_CHECK_COMPLIANCE_H
#define QUELLD_CHECKER_CHECK_COMPLIANCE_H

#include <cstdint>
#include <cstdio>

// Writes to out one line per class of login the timeout and idle-exempt
// rules name (each user, group, terminal and host; the default; the
// console, judged by keyboard and mouse; the console user's other logins
// when a conswins idle command sets them apart) and then per current login
// (the login database scanned as check_judge does): "over" or "ok", the
// class or login, the longest it may stay idle (its idle limit plus the
// warn grace; exempt; unlimited), and the rule that decides.  A class is
// resolved as a login that only its own rule names: a user with the user's
// groups, on no named terminal, from no named host.  Then a summary line.
// Returns 1 when any class or login can stay idle longer than minutes, else
// 0.
int check_compliance(FILE* out, int32_t minutes);

#endif  // QUELLD_CHECKER_CHECK_COMPLIANCE_H
