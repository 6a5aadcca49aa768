// Making text from the login-accounting database safe for the event log.
// Any user may put control characters into their login record's names; written
// raw, a newline would end the log line early and let the rest pass for a line
// of the daemon's own.
#ifndef QUELLD_BASE_LOG_ESCAPE_H
#define QUELLD_BASE_LOG_ESCAPE_H

#include <cstddef>

// Bytes a buffer needs to hold the escaped form of any text that fits in
// size bytes (its NUL included): each character may become four.
constexpr size_t log_escaped_size(size_t size) {
    return 4 * (size - 1) + 1;
}

// Copies the NUL-terminated src into dst (size bytes, at least 1) with every
// control byte escaped: a newline as the two characters "\n", every other
// byte below 0x20 and 0x7f as a backslash and three octal digits ("\033"),
// and the backslash itself doubled, so that no name can pass for the escaped
// form of another ("lab\0407" is not "lab 7").
// Every other byte, those from 0x80 up included, is copied unchanged.  When
// dst is too small the copy ends before the first character that does not
// fit whole, so no escape is ever cut.  dst is always terminated.  Returns
// dst.  Safe in a warning child: no allocation, no locale.
const char* log_escape(const char* src, char* dst, size_t size);

#endif  // QUELLD_BASE_LOG_ESCAPE_H
