#include "policy/hours_check.h"

#include <algorithm>

#include "config/hours_window.h"
#include "config/settings.h"
#include "enforce/warn.h"
#include "os/platform.h"
#include "pathnames.h"

namespace {

constexpr int64_t DAY = 86400;
constexpr int64_t WEEK = 7 * DAY;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (month 1 to 12), which the local time's fields give.
int64_t hours_civil_days(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The local clock's offset from UTC at t, in seconds east.
int64_t hours_offset(int64_t t) {
    auto tt = static_cast<time_t>(t);
    struct tm tm;
    if (localtime_r(&tt, &tm) == nullptr)
        return 0;
    return tm.tm_gmtoff;
}

// What the local clock reads at t, as seconds on a calendar without zones.
int64_t hours_reading(int64_t t) {
    return t + hours_offset(t);
}

}  // namespace

int64_t hours_local_instant(int64_t days_since_epoch, int minute) {
    int64_t target = days_since_epoch * DAY + int64_t{minute} * 60;
    // The offsets a day either side: between them lies at most one change
    // of the offset, as zones change theirs months apart.
    int64_t a = target - hours_offset(target - DAY);
    int64_t b = target - hours_offset(target + DAY);
    bool a_reads = hours_reading(a) == target;
    bool b_reads = hours_reading(b) == target;
    if (a_reads && b_reads)
        return std::min(a, b);  // shown twice: the first time
    if (a_reads)
        return a;
    if (b_reads)
        return b;
    // Skipped: the clock jumps past target somewhere between the two; the
    // jump is the first instant it reads past it.
    int64_t lo = std::min(a, b), hi = std::max(a, b);
    while (lo < hi) {
        int64_t mid = lo + (hi - lo) / 2;
        if (hours_reading(mid) >= target)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

int64_t hours_period_end(const int32_t* w, int n, int64_t t) {
    auto tt = static_cast<time_t>(t);
    struct tm tm;
    if (n <= 0 || localtime_r(&tt, &tm) == nullptr)
        return 0;
    int64_t today = hours_civil_days(int64_t{tm.tm_year} + 1900, tm.tm_mon + 1, tm.tm_mday);

    // Every opening from yesterday (a window over midnight) to a week and a
    // day ahead, enough to see any gap in a weekly pattern.
    constexpr int FIRST_DAY = -1, LAST_DAY = 8;
    struct Open {
        int64_t from, to;
    } open[HOURS_KEPT * (LAST_DAY - FIRST_DAY + 1)];
    int count = 0;
    for (int d = FIRST_DAY; d <= LAST_DAY; ++d) {
        int wday = ((tm.tm_wday + d) % 7 + 7) % 7;
        for (int i = 0; i < n && i < HOURS_KEPT; ++i) {
            int start = hours_start(w[i]), end = hours_end(w[i]);
            if ((hours_days(w[i]) & (1 << wday)) == 0 || start == end)
                continue;
            if (end < start)
                end += HOURS_DAY_MINUTES;  // closes the next day
            open[count++] = {hours_local_instant(today + d, start),
                             hours_local_instant(today + d, end)};
        }
    }
    // Follows the openings that hold the stretch's end so far until none
    // reaches further.
    int64_t end = t;
    for (bool moved = true; moved;) {
        moved = false;
        for (int i = 0; i < count; ++i) {
            if (open[i].from <= end && open[i].to > end) {
                end = open[i].to;
                moved = true;
            }
        }
    }
    if (end == t)
        return 0;
    return end - t >= WEEK ? HOURS_NO_END : end;
}

int64_t hours_next_end(const SessionRecord* r, time_t now) {
    if (r->hours_ruled == 0 || (r->exempt & WARN_HOURS) != 0)
        return HOURS_NO_END;
    return hours_period_end(r->hours->windows, r->hours->count, now);
}

Verdict judge_hours(const SessionRecord* r, time_t now) {
    if (r->ended != SESSION_OPEN || r->hours_ruled == 0 || (r->exempt & WARN_HOURS) != 0)
        return verdict_none();
    const LoginHours* h = r->hours;
    int64_t end = hours_period_end(h->windows, h->count, now);
    if (end == HOURS_NO_END)
        return verdict_none(WARN_HOURS);
    int64_t warn = warn_time > 0 ? warn_time : 0;
    if ((r->warned & WARN_HOURS) != 0) {
        // The warning given stands until its grace is over, unless the end
        // has moved well away since (the clock set back): then it lapses.
        if (end != 0 && end - now > warn + SLACK) {
            Verdict v = verdict_none(WARN_HOURS, end - warn);
            v.measured = end - now;
            return v;
        }
        int64_t due = grace_end(h->grace);
        bool over = grace_over(h->grace, now);
        return Verdict{over ? VERDICT_LOGOUT : VERDICT_NONE, over ? WARN_HOURS : 0U, h->end,
                       due - now, due};
    }
    int action = warn > 0 ? VERDICT_WARN : VERDICT_LOGOUT;
    if (end == 0) {
        // Outside its hours from the start: a login made after they ended.
        // A step of the clock since the login moves its start; it is
        // refused only when it began outside them on either clock, never
        // logged out at once on a guess.
        if (hours_period_end(h->windows, h->count, session_start(r)) == 0 &&
            hours_period_end(h->windows, h->count, r->login_time) == 0)
            return Verdict{VERDICT_LOGOUT, WARN_HOURS, 0, -1, VERDICT_NOT_DUE};
        // Its end passed unseen: the warning comes now, with all its grace.
        return Verdict{action, WARN_HOURS, now + warn, warn, now + warn};
    }
    if (now + SLACK >= end - warn)
        return Verdict{action, WARN_HOURS, end, end - now, end};
    Verdict v = verdict_none(WARN_HOURS, end - warn);
    v.measured = end - now;
    return v;
}

time_t enforce_hours(int n) {
    time_t now = platform->now();
    int64_t soonest = 0;
    for (int i = 0; i < n; ++i) {
        SessionRecord* r = ActiveSessions[i];
        Verdict v = judge_hours(r, now);
        if (v.action == VERDICT_NONE) {
            r->warned &= ~v.kind;
        } else {
            LoginHours* h = r->hours;
            if ((r->warned & WARN_HOURS) == 0) {
                h->end = v.shown;
                grace_begin(&h->grace, now, v.shown > 0 ? v.shown - now : 0);
            }
            // A refusal, or an end with no grace: straight to the logout.
            if (v.action == VERDICT_LOGOUT)
                r->warned |= WARN_HOURS;
            // The trail's limit is the end of the window, in seconds of the
            // epoch; none for a refusal.
            warn_audited(i, WARN_HOURS, h->end > 0 ? h->end : -1, h->rule);
        }
        if (v.due == VERDICT_NOT_DUE || v.action == VERDICT_LOGOUT)
            continue;
        int64_t remaining = std::max<int64_t>(v.due - now, 1);
        if (soonest == 0 || remaining < soonest)
            soonest = remaining;
    }
    return soonest > 0 ? now + soonest : 0;
}
