// The daemon's own printf: the subset of conversions its messages use,
// formatted into a caller's buffer.  The daemon formats every log line,
// warning and audit message with it rather than with the C library's
// printf family, whose code (several hundred kilobytes of stdio and
// conversion machinery, most of it for floating point, wide characters and
// locales) would otherwise be paged into a process that runs for months.
// It allocates nothing, takes no lock and keeps no state, so it is also
// safe in a signal handler and in a forked child.
//
// Conversions: %d %i %u %x %X %c %s %%, with the flags '-', '0', '+' and
// ' ', a decimal width, a precision (".N": the most characters of a %s,
// the least digits of a number) and the lengths hh, h, l, ll, z, j and t.
// At anything else (%f, %p, %n, '*' widths, numbered arguments) the rest of
// the format is copied to the output as written and no further argument is
// read: a conversion whose argument is not taken would shift every later
// one, and a %s would read a number as a pointer.  Callers are checked at
// compile time by the printf format attribute, and no caller uses them.
#ifndef QUELLD_BASE_FORMAT_TEXT_H
#define QUELLD_BASE_FORMAT_TEXT_H

#include <cstdarg>
#include <cstddef>

// As snprintf: writes at most size - 1 characters and a NUL (nothing when
// size is 0) and returns the length the whole text has, so that a result
// >= size means it was cut.  A null %s prints "(null)".
int format_text(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vformat_text(char* buf, size_t size, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));

#endif  // QUELLD_BASE_FORMAT_TEXT_H
