// quelld-check's account of one login's policy: the daemon's own resolution,
// with the rule behind each limit.
#ifndef QUELLD_CHECKER_CHECK_POLICY_H
#define QUELLD_CHECKER_CHECK_POLICY_H

#include <cstdint>
#include <cstdio>
#include <string>

// Sets up SessionTable[slot] as the polling cycle sets up a login it sees
// for the first time, at the current time: user cut to NAME_MAX_USER, the
// terminal "/dev/" and line (a leading "/dev/" in line is dropped; empty for
// none), host cut to NAME_MAX_HOST or "localhost" when empty, the group list
// from the password and group databases, then resolve_policy.  Returns 0, or
// 1 when user is not in the password database: its group list then holds
// gid alone, or nothing.  -u and -c take their logins here; -n through the
// daemon's own scan.
// host nullptr: no host at all (a class of logins no host rule names);
// "" stands for "localhost".  gid: the group of a user the password
// database does not know (-1: none), so that a class named by a group
// rule alone can be taken.
int check_take_login(int slot, const char* user, const char* line, const char* host,
                     int32_t gid = -1);

// Writes to out the policy of the login at slot as resolve_policy left it:
// idle limit, session limit (or the session default), refusal, group limit,
// exemptions, the logins allowed per user and, where hours rules exist, its
// hours and their next end, each with the rule that decided it and the
// settings that govern when it is enforced.
void check_explain(FILE* out, int slot);

// When the configuration sends the audit trail to the system log, writes
// to out the line "  audit trail     syslog FACILITY   FILE:LINE"; nothing
// otherwise.
void check_audit_note(FILE* out);

// seconds as "N minutes" when a whole number of minutes, else "N seconds"
// ("1 minute" and "1 second" for one).
std::string check_minutes(int64_t seconds);

// seconds as "H:MM:SS" (negative as "-H:MM:SS").
std::string check_clock(int64_t seconds);

#endif  // QUELLD_CHECKER_CHECK_POLICY_H
