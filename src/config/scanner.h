// The configuration scanner: turns the text of the configuration file into
// the tokens of config/tokens.h, counts lines, and reports configuration
// errors.  It reads either a stdio stream (the reload) or a block of memory
// (tests, fuzzing); both go through the same byte loop.
#ifndef QUELLD_CONFIG_SCANNER_H
#define QUELLD_CONFIG_SCANNER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The line the scanner is in: 1 at program start, one more for every line
// feed scanned, back to 1 at the end of every read.
extern int32_t conf_line;

// The line the last token returned by next_token lies on (a NEWLINE's own
// line, the last line at the end of the input), or the line of the illegal
// character being reported.  Unlike conf_line, which has already moved on
// when a report follows a line feed, it names the line a report or a rule
// belongs to; the daemon's reports keep conf_line, quelld-check uses this.
extern int32_t conf_token_line;

// Configuration errors reported since program start; never reset.
extern int32_t conf_errors;

// conf_errors as it stood when the scanner last reached the end of its input:
// what a first read is judged by (a report made after the end, on a last
// line without its line feed, does not count).
extern int32_t conf_errors_at_end;

// The value of the last NUMBER token, saturated to the signed 32-bit range.
extern int32_t token_number;

// Returns the next token's number (config/tokens.h), or 0 at the end of the
// input after conf_input_end has run.  The value of a NUMBER is left in
// token_number; the text of a NAME, a keyword, DAYS or TIMESPAN is held for
// take_token_text.  Illegal
// characters are reported through conf_error and skipped.  A read error or
// a failed allocation writes one line to standard error and exits with
// status 2.
int next_token();

// True for NAME and for every keyword's token: what may stand where a name
// is wanted.
bool token_is_word(int token);

// The text of the last word, DAYS or TIMESPAN token as a malloc'd string that the caller now
// owns (frees, or hands on to a rule); nullptr when already taken.  A text
// nobody takes is freed by the next call of next_token or restart_scanner.
char* take_token_text();

// Reports one configuration error: writes "<conf_path>: line <conf_line>:
// <message>" to the event log, the message formatted printf-style, and adds
// one to conf_errors.
void conf_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called by the scanner at the end of its input: sets conf_errors_at_end,
// calls conf_at_end when set, then sets conf_line back to 1.
void conf_input_end();

// What the reader of the input does at its end (see conf_read_file), or
// nullptr.  The scanner itself never ends the process over errors.
extern void (*conf_at_end)();

// Drops whatever input the scanner holds and makes it read stream from its
// current position next.  stream stays the caller's to close; nullptr leaves
// the scanner with no input (next_token returns the end of input).
void restart_scanner(FILE* stream);

// As restart_scanner, reading the size bytes at text, which must stay valid
// until the scanner is restarted again.  Input may hold any byte, NUL too.
void restart_scanner_from_memory(const char* text, size_t size);

// Opens path for reading when it is a regular file; nullptr otherwise (also
// for a directory or a FIFO, which would fail to read or block the daemon).
// The stream is close-on-exec; the caller closes it.
FILE* conf_fopen(const char* path);

#endif  // QUELLD_CONFIG_SCANNER_H
