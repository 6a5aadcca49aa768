// The audit trail: an opt-in copy, in the system log, of each warning,
// logout, stale record and configuration failure the event log records, so
// that a site's log collector forwards it with everything else.  Each
// message is key=value pairs separated by single spaces ("event=logout
// user=alice ..."), which a log pipeline splits without regular
// expressions: no value holds a space.  The event log itself is unchanged.
#ifndef QUELLD_BASE_AUDIT_LOG_H
#define QUELLD_BASE_AUDIT_LOG_H

#include <cstddef>

// The facility the messages go out with, as <syslog.h> codes it
// (LOG_AUTHPRIV ...), or -1: none is sent.  Only the daemon sets it, after
// each read of its configuration; quelld-check never does.
extern int audit_facility;

// Sends the printf-style message with severity (LOG_NOTICE, LOG_ERR ...)
// as "<PRI>Mmm dd hh:mm:ss quelld[PID]: message" through
// platform_syslog_send, when audit_facility is set; while held
// (audit_hold), keeps it instead.  Never waits.  Messages longer than
// AUDIT_MSG_MAX bytes are cut.  A message that is lost (the log
// daemon is gone or its queue full, or too many are held) is counted, and
// the next one delivered ends with " dropped=N", N the count since the last
// delivery: a gap in the trail shows in the trail.
void audit_line(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));

// From now on messages are kept, with their severity (at most AUDIT_HELD;
// the rest are counted as lost), until audit_release.  A read of the
// configuration is held, so that its failures go out with the facility the
// configuration read sets, a first read's included.
void audit_hold();

// Sends the kept messages with audit_facility as it is now (dropping them
// when it is -1), and ends the hold.
void audit_release();

// Copies src into dst (size bytes) escaped as log_escape does, and a space
// also as "\040", so that the value never splits its pair.  Returns dst.
const char* audit_value(const char* src, char* dst, size_t size);

// Bytes a buffer needs for audit_value of any text that fits in size bytes.
constexpr size_t audit_value_size(size_t size) {
    return 4 * (size - 1) + 1;
}

// Forgets held and lost messages and sets audit_facility to -1, as at
// program start.
void audit_reset();

#endif  // QUELLD_BASE_AUDIT_LOG_H
