#include "policy/clock_step.h"

#include <cstring>

#include "base/session_table.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"
#include "policy/session_check.h"

namespace {

// The console's keyboard and mouse; each terminal's is in its record.
DeviceShift kbd_shift, mouse_shift;

bool have_last;
int64_t last_wall, last_mono;

// The last step, for what is first seen in the pass that found it.
int64_t step_amount;    // 0: the last pass found none
int64_t step_before;    // the wall clock at the pass before the step
int64_t step_elapsed;   // seconds that really passed between the two passes
int64_t step_found_at;  // the wall clock (stepped) at the pass that found it

// Whether a time read in the pass that found the step was written before it.
// Old readings lie at or below step_before + step_elapsed, new ones at or
// above step_before + step_amount.  Where the two ranges meet (times written
// between the two passes), the reading that makes the time the more recent
// is taken, so that a step never makes anyone look idle sooner.
bool written_before_step(int64_t t) {
    if (step_amount > 0)
        return t <= step_before + step_elapsed;
    return t < step_before + step_amount || t > step_found_at;
}

int64_t shift_for(int64_t t, int64_t kept, int64_t kept_shift, bool same_device) {
    if (!written_before_step(t))
        return 0;
    // Still the value held at an earlier step: it predates that one too.
    return step_amount + (same_device && t == kept ? kept_shift : 0);
}

void note_device(DeviceShift* d, const char* path) {
    time_t atime, mtime;
    if (platform->file_times(path, &atime, &mtime) != 0) {
        d->held = 0;
        return;
    }
    // Each record and each console device stands for one device only.
    bool same = d->held != 0;
    d->atime_shift = shift_for(clamp_time(atime), d->atime, d->atime_shift, same);
    d->mtime_shift = shift_for(clamp_time(mtime), d->mtime, d->mtime_shift, same);
    d->atime = atime;
    d->mtime = mtime;
    d->held = 1;
}

// Moves what the record keeps on the wall clock by the step, and starts every
// grace in force again: the pass that finds a step cannot tell how much of a
// grace passed, and must not log anyone out on a guess.
void shift_record(SessionRecord* r, int64_t step, int64_t wall) {
    r->next_check += step;
    r->clock_shift += step;
    // A device time still ahead of the clock counts as use from this pass
    // on, as one first seen now: when it was first seen is of the old clock.
    r->tty_stamp = r->kbd_stamp = r->mouse_stamp = FutureStamp{};
    if (r->warned & WARN_IDLE) {
        r->idle_grace.warned_at = wall;
        r->next_check = grace_end(r->idle_grace);
    }
    if (r->warned & WARN_MULTIPLE)
        r->multiple_grace.warned_at = wall;
    if (r->warned & WARN_SESSION)
        r->session_grace.warned_at = wall;
    if (r->warned & WARN_MAXUSER)
        r->maxuser_grace.warned_at = wall;
    if ((r->warned & WARN_HOURS) != 0 && r->hours_ruled != 0)
        r->hours->grace.warned_at = wall;
}

}  // namespace

int64_t clock_step_check(time_t wall_now, int64_t mono) {
    int64_t wall = clamp_time(wall_now);
    mono = clamp_time(mono);
    int64_t moved = wall - last_wall;
    int64_t elapsed = mono - last_mono;
    bool first = !have_last;
    have_last = true;
    last_wall = wall;
    last_mono = mono;
    int64_t step = clamp_time(moved - elapsed);
    if (first || (step < CLOCK_STEP_MIN && step > -CLOCK_STEP_MIN)) {
        step_amount = 0;
        return 0;
    }
    step_amount = step;
    step_before = wall - moved;
    step_elapsed = elapsed;
    step_found_at = wall;

    for (int i = 0; i < session_count; ++i) {
        SessionRecord* r = &SessionTable[i];
        note_device(&r->tty_shift, r->tty_path);
        shift_record(r, step, wall);
    }
    note_device(&kbd_shift, PATH_KBD);
    note_device(&mouse_shift, PATH_MOUSE);
    recent_session_users_shift(step);
    return step;
}

int64_t clock_login_shift(int64_t login_time) {
    return step_amount != 0 && written_before_step(login_time) ? step_amount : 0;
}

void clock_note_terminal(SessionRecord* r) {
    if (step_amount != 0)
        note_device(&r->tty_shift, r->tty_path);
}

int clock_device_times(int index, const char* path, time_t* atime, time_t* mtime) {
    if (platform->file_times(path, atime, mtime) != 0)
        return -1;
    const DeviceShift* d = nullptr;
    if (index >= 0) {
        if (std::strcmp(path, SessionTable[index].tty_path) == 0)
            d = &SessionTable[index].tty_shift;
    } else if (std::strcmp(path, PATH_KBD) == 0) {
        d = &kbd_shift;
    } else if (std::strcmp(path, PATH_MOUSE) == 0) {
        d = &mouse_shift;
    }
    if (d == nullptr || d->held == 0)
        return 0;
    if (*atime == d->atime)
        *atime = static_cast<time_t>(clamp_time(clamp_time(*atime) + d->atime_shift));
    if (*mtime == d->mtime)
        *mtime = static_cast<time_t>(clamp_time(clamp_time(*mtime) + d->mtime_shift));
    return 0;
}

void clock_step_reset() {
    have_last = false;
    last_wall = last_mono = 0;
    step_amount = step_before = step_elapsed = step_found_at = 0;
    kbd_shift = mouse_shift = DeviceShift{};
}
