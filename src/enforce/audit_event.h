// The audit trail's messages about logins (base/audit_log.h): a warning
// given, a logout, a stale record left alone.
#ifndef QUELLD_ENFORCE_AUDIT_EVENT_H
#define QUELLD_ENFORCE_AUDIT_EVENT_H

#include <cstdint>

#include "base/session_table.h"

// Sends "event=EVENT user=U tty=T host=H reason=R limit=L rule=F:N" for
// the login r: event "warn" or "logout", reason the warning kind's word as
// the event log gives it ("idle", "multiple", "session", "refused",
// "xlock", "maxuser", "hours"; not escaped), limit the one that applied (seconds
// for idle, session and xlock, logins for multiple and maxuser, the window's end
// in seconds of the epoch for hours) or "none" when
// negative, rule the file and line that set it or "none".  User, terminal,
// host and file are escaped (audit_value).  Sends nothing when the trail is
// off.
void audit_session(const char* event, const SessionRecord* r, const char* reason, int64_t limit,
                   RuleAt rule);

// Sends "event=logout_failed ... left=N", the fields of audit_session and
// the processes left on the terminal (0 when none could be counted), at
// LOG_WARNING: a logout whose session outlived it.
void audit_logout_failed(const SessionRecord* r, const char* reason, int64_t limit, RuleAt rule,
                         int left);

// Sends "event=stale user=U tty=T host=H" for the record r found stale.
void audit_stale(const SessionRecord* r);

#endif  // QUELLD_ENFORCE_AUDIT_EVENT_H
