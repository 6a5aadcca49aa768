// Whether a login record still stands for a login.  A login whose writer is
// gone before it records the logout (a crash, or login(1) killed by a forced
// logout) leaves its record behind; acting on it would write to and kill
// whoever holds that line next.
#ifndef QUELLD_ENFORCE_LIVE_H
#define QUELLD_ENFORCE_LIVE_H

#include "base/session_table.h"

// 0 when r's login is proved gone: its recorded process no longer exists,
// or its terminal exists and belongs to another user than r's.  1 otherwise.
int live_session(const SessionRecord* r);

// live_session for a record still open, marking it SESSION_STALE the first
// time its login is found gone: 1 live; 0 not open (or found gone before);
// -1 found gone just now, for the caller to tell.
int live_mark(SessionRecord* r);

#endif  // QUELLD_ENFORCE_LIVE_H
