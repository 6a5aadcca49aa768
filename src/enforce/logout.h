// Forced logout: the notice on the terminal, every process of the terminal
// killed, the logout and its reason in the event log.  Runs only in a warning
// child; what it changes about the process (descriptors, effective user id)
// ends with that child.
#ifndef QUELLD_ENFORCE_LOGOUT_H
#define QUELLD_ENFORCE_LOGOUT_H

#include <sys/types.h>

#include <cstddef>

#include "daemon/session_table.h"

// The program that lists a terminal's processes: PATH_PS; tests point it at
// a stand-in.  Not owned.
extern const char* ps_path;

// Logs the session r out for reason ("idle", "multiple", "session",
// "refused", "xlock" or "maxuser").  Closes every descriptor from 2 up; with
// deliver nonzero opens the terminal and writes the 30-byte logout notice;
// kills the terminal's processes with the user's effective uid when the user
// is known, as the superuser otherwise; ends as the superuser and logs
// "%19.19s : %s on %s because %s".
void zap(const SessionRecord* r, const char* reason, int deliver);

// Closes every open descriptor from 2 up; 0 and 1 stay as they are.
void close_descriptors();

// Runs ps_path with the arguments "ps" and "-t<line>" (no shell), skips the
// header line of its output and kills each listed process as its line
// arrives, then waits for the command.  When it cannot be started, or the
// line name holds a character other than letters, digits and "/._:-" (a
// comma or blank would make it a list of terminals), logs one line as the
// superuser and returns.
void kill_tty_processes(const SessionRecord* r);

// Sends SIGHUP, SIGTERM and SIGKILL to pid back to back; failures ignored.
void kill_process(pid_t pid);

// The process id at the start of one listing line of len bytes (blanks
// before it skipped), or 0 when the line has none, or a number that is not a
// positive process id.
pid_t ps_line_pid(const char* line, size_t len);

#endif  // QUELLD_ENFORCE_LOGOUT_H
