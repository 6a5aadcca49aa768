// Steps of the wall clock.  Limits are measured on the wall clock (login
// records and device times are written on it), so a step of it (an NTP step,
// a resumed virtual machine, date(1)) would look like a day of idleness or no
// time at all.  Each pass compares how far the wall clock moved with how far
// the monotonic clock moved; a difference beyond CLOCK_STEP_MIN is a step,
// and the times the daemon keeps are moved by it.
#ifndef QUELLD_POLICY_CLOCK_STEP_H
#define QUELLD_POLICY_CLOCK_STEP_H

#include <cstdint>
#include <ctime>

struct SessionRecord;

// Compares the clocks read at the start of a pass (wall, mono) with the last
// pass's.  Returns the step of the wall clock in seconds (positive forward),
// or 0 when the clocks moved alike within CLOCK_STEP_MIN, or on the first
// call.  On a step, notes the times each terminal holds (see
// clock_device_times) and moves every time kept for the logins and for
// recent_session_users by the step; graces in force start again at wall.
int64_t clock_step_check(time_t wall, int64_t mono);

// A device's access and modification times, as file_times gives them, on the
// wall clock now in force: a time the device still holds from before a step
// is moved by the step.  index is the session's slot for its terminal, -1 for
// the console's keyboard and mouse.
int clock_device_times(int index, const char* path, time_t* atime, time_t* mtime);

// What to add to the login time of a login first seen in this pass: the step
// when the pass found one and the login was written before it, else 0.
int64_t clock_login_shift(int64_t login_time);

// Notes the times the terminal of a login first seen in this pass holds, when
// the pass found a step: times it wrote before the step are then moved by it,
// as a known login's are.
void clock_note_terminal(SessionRecord* r);

// Forgets the last pass's clocks and every step, as at program start.
void clock_step_reset();

#endif  // QUELLD_POLICY_CLOCK_STEP_H
