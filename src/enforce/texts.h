// The texts a warning child writes to a session's terminal: the idle,
// session, multiple-login and group-limit warnings and the refusal notice.
// Each is composed whole into a buffer so that it reaches the terminal in one
// write and can be compared byte for byte.
#ifndef QUELLD_ENFORCE_TEXTS_H
#define QUELLD_ENFORCE_TEXTS_H

#include <cstddef>
#include <cstdint>
#include <ctime>

// Bytes a buffer needs for the longest text and its NUL.
constexpr size_t TEXT_SIZE = 512;

// "<n> [more ]minutes" when seconds is a whole number of minutes (remainder 0
// of truncating division by 60), else "<n> [more ]seconds"; "more " when more
// is nonzero.  No singular form.  Returns a static buffer that every call
// overwrites.
const char* format_duration(int32_t seconds, int more);

// Each composes one text into buf (size bytes, TEXT_SIZE is enough) and
// returns its length, as snprintf does.  now is shown as the first 19
// characters of its local-time text.
//
// Each takes the value the check's verdict shows, never the login's record.
// Idle warning: the limit (seconds) in whole minutes, warn_time as grace.
int text_idle(char* buf, size_t size, int64_t limit, time_t now);
// Session warning: the limit (seconds) in whole minutes, warn_time as grace.
int text_session(char* buf, size_t size, int64_t limit, time_t now);
// Multiple-login warning: the logins allowed; sleep_interval as grace.
int text_multiple(char* buf, size_t size, int64_t allowed, time_t now);
// Group-limit warning: the logins allowed, sleep_interval as grace.
int text_maxuser(char* buf, size_t size, int64_t allowed, time_t now);
// Refusal notice.
int text_refused(char* buf, size_t size, time_t now);
// Hours warning: hours_end as a local time of day ("22:00", or "22:04:30"
// off the minute) and the time left until it.
int text_hours(char* buf, size_t size, int64_t hours_end, time_t now);

#endif  // QUELLD_ENFORCE_TEXTS_H
