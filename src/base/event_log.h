// The event log: one plain-text file to which every process of quelld
// appends whole lines, opening and closing it for each line so that it may
// be moved or removed (rotated) at any time.
#ifndef QUELLD_BASE_EVENT_LOG_H
#define QUELLD_BASE_EVENT_LOG_H

#include <cstdarg>
#include <cstddef>
#include <ctime>

// Longest line kept, its newline included; a longer one is cut, and still
// ends with its newline.
constexpr size_t LOG_LINE_MAX = 4096;

// Path of the event log: PATH_LOG; tests point it elsewhere.
extern const char* log_path;

// Appends the printf-style line (format_text's conversions) and a newline to
// the event log in one write, cut to LOG_LINE_MAX - 1 bytes and its newline.  The file
// is created with mode LOG_MODE when missing.  When it cannot be opened the
// line is lost silently; nothing is ever reported to the caller.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// When set, log_line hands each line's format and arguments to it instead of
// writing the event log.  The daemon never sets it; quelld-check does, so that
// it shows the daemon's lines on its own standard error and never touches the
// log.
extern void (*log_hook)(const char* format, va_list ap);

// Writes the start line "%24.24s  <version> started.\n" straight into the
// event log.  Returns 0 on success, -1 when the log cannot be opened.
int log_start_line(time_t now);

// The 26-character local-time text of t ("Thu Jan  1 00:00:00 1970\n") in
// buf, which must hold 26 bytes.  Returns buf.  Formats "%24.24s" and
// "%19.19s" cut it to the two stamp widths.
const char* log_stamp(time_t t, char* buf);

#endif  // QUELLD_BASE_EVENT_LOG_H
