// The hours check: the time-of-day windows outside which a class's logins
// may not exist.  Windows are read in local time, as the event log is.
#ifndef QUELLD_POLICY_HOURS_CHECK_H
#define QUELLD_POLICY_HOURS_CHECK_H

#include <cstdint>
#include <ctime>

#include "base/session_table.h"
#include "policy/verdict.h"

// hours_period_end's answer for windows that hold a time and go on for at
// least a week after it: the login never has to end.
constexpr int64_t HOURS_NO_END = INT64_MAX;

// The first instant at which the local clock reads minute (minutes after
// midnight, up to 1440 and beyond for the next days) of the day
// days_since_epoch (days since 1970-01-01 on the calendar), or reads past
// it.  So a time the clock skips when daylight saving time begins gives the
// instant of the jump, and a time it shows twice when daylight saving time
// ends gives its first occurrence.
int64_t hours_local_instant(int64_t days_since_epoch, int minute);

// For the n windows w (config/hours_window.h), the end of the stretch of
// open windows that holds t: the first instant after t at which none is
// open.  0 when no window is open at t; HOURS_NO_END when they stay open for
// a week or more from t.
int64_t hours_period_end(const int32_t* w, int n, int64_t t);

// The end of r's hours after now: as hours_period_end for r's windows, and
// HOURS_NO_END when no hours rule applies or r is exempt.
int64_t hours_next_end(const SessionRecord* r, time_t now);

// Judges r against its hours at now:
// - a login that began outside its hours (on the clock it was written on,
//   and moved by the steps since): logged out at once, with the refusal
//   notice (shown 0);
// - a login whose hours end within warn seconds: warned (shown the end,
//   due the end), then logged out at the end (at once when warn is 0);
// - a login found past the end without a warning (a late start, a step of
//   the clock, a reload): warned with the whole grace (shown and due its
//   end), then logged out;
// - otherwise nothing, due when the warning is (VERDICT_NOT_DUE without an
//   end).  measured is the seconds left to the end shown, -1 for none.
// Neither warns nor logs.
Verdict judge_hours(const SessionRecord* r, time_t now);

// Carries out judge_hours's verdicts for the n active sessions: the grace,
// the warned bit, hours_end for the text, and warn.  Returns the time at
// which it next needs to run (a warning or a logout due), or 0 when none.
time_t enforce_hours(int n);

#endif  // QUELLD_POLICY_HOURS_CHECK_H
