// What a check decides about a login, apart from carrying it out: the
// checks judge, the cycle acts on the verdicts through warn, and
// quelld-check -n prints the very same verdicts.
#ifndef QUELLD_POLICY_VERDICT_H
#define QUELLD_POLICY_VERDICT_H

#include <cstdint>

#include "base/session_table.h"

enum VerdictAction : int {
    VERDICT_NONE = 0,    // nothing is done to the login
    VERDICT_WARN = 1,    // a warning of kind is written on its terminal
    VERDICT_LOGOUT = 2,  // it is logged out, for the reason kind names
};

// No time at which the login is next due: the one it has stands.
constexpr int64_t VERDICT_NOT_DUE = INT64_MIN;

struct Verdict {
    int action;  // a VerdictAction
    // The warning kind (a WarnKind) warned for or logged out for.  With
    // VERDICT_NONE, the kind whose limit the login was found within (a
    // warning of that kind no longer stands), or 0 when none was judged.
    uint32_t kind;
    // What the warning's text shows: the limit in seconds (idle, session),
    // the logins allowed (multiple, maxuser), the time the hours end
    // (hours; 0 for a refusal); 0 for the others.
    int64_t shown;
    // What was measured against the limit: idle seconds (idle), seconds in
    // use (session), the login's place among its user's or group's logins
    // (multiple, maxuser), seconds left to the end shown (hours); -1 when
    // it could not be measured.
    int64_t measured;
    // When the login is next due: for the idle check its next check, for the
    // others the end of the grace in force; VERDICT_NOT_DUE for none.
    int64_t due;
    // The rule, or the setting's command, that set the limit acted on; line
    // 0 when none did.
    RuleAt rule{};
};

inline Verdict verdict_none(uint32_t within = 0, int64_t due = VERDICT_NOT_DUE) {
    return Verdict{VERDICT_NONE, within, 0, -1, due};
}

#endif  // QUELLD_POLICY_VERDICT_H
