#include "enforce/texts.h"

#include <ctime>

#include "base/event_log.h"
#include "base/format_text.h"
#include "config/settings.h"

// Every warning opens with a bell and four blank lines so that it stands out
// from whatever the user was doing.
static const char* const text_prefix = "\a\r\n\r\n\r\n\r\n";
static const char* const text_logged_out = "it will be logged out by the system.\r\n\r\n\a";

const char* format_duration(int32_t seconds, int more) {
    // "-2147483648 more seconds" is the longest text: 24 characters.
    static char buf[25];
    const char* word = more ? "more " : "";
    if (seconds % 60 != 0)
        format_text(buf, sizeof buf, "%d %s%s", seconds, word, "seconds");
    else
        format_text(buf, sizeof buf, "%d %s%s", seconds / 60, word, "minutes");
    return buf;
}

int text_idle(char* buf, size_t size, int64_t limit, time_t now) {
    char stamp[26];
    return format_text(buf, size, "%s%19.19s%s %d %s %s %s", text_prefix, log_stamp(now, stamp),
                       "\r\nThis terminal has been idle", static_cast<int>(limit / 60),
                       "minutes. If it remains idle\r\nfor", format_duration(warn_time, 1),
                       text_logged_out);
}

int text_session(char* buf, size_t size, int64_t limit, time_t now) {
    char stamp[26];
    return format_text(buf, size, "%s%19.19s%s %d %s %s %s", text_prefix, log_stamp(now, stamp),
                       "\r\nThis terminal has been in use", static_cast<int>(limit / 60),
                       "minutes.\r\nIn", format_duration(warn_time, 0), text_logged_out);
}

int text_multiple(char* buf, size_t size, int64_t allowed, time_t now) {
    char stamp[26];
    return format_text(buf, size, "%s%19.19s%s%s%s %d%s %s%s", text_prefix, log_stamp(now, stamp),
                       "\r\nThis user id is logged on too many times.  Please end\r\n",
                       "some logins to reduce your total number of logins to no\r\n", "more than ",
                       static_cast<int>(allowed), ".  Please do so in the next",
                       format_duration(sleep_interval, 0),
                       "\r\nor you will be logged out by the system.\r\n\r\n\a");
}

int text_maxuser(char* buf, size_t size, int64_t allowed, time_t now) {
    char stamp[26];
    return format_text(buf, size, "%s%19.19s%s%d%s%s%s%s%s%s", text_prefix, log_stamp(now, stamp),
                       "\r\nYou are only allowed ", static_cast<int>(allowed),
                       " simultaneous logins\r\n",
                       "with your current account.  Please wait for other users in\r\n",
                       "your group to log-off and try again.\r\n", "\r\nThis session will end in ",
                       format_duration(sleep_interval, 0), ".\r\n\r\n\a");
}

int text_refused(char* buf, size_t size, time_t now) {
    char stamp[26];
    return format_text(buf, size, "%s%19.19s%s %s", text_prefix, log_stamp(now, stamp),
                       "\r\nYour terminal session is about to be",
                       "terminated by the system.\r\n\r\n\a");
}

int text_hours(char* buf, size_t size, int64_t hours_end, time_t now) {
    char stamp[26];
    char at[16] = "?";
    auto end = static_cast<time_t>(hours_end);
    struct tm tm;
    if (localtime_r(&end, &tm) != nullptr)
        std::strftime(at, sizeof at, tm.tm_sec != 0 ? "%H:%M:%S" : "%H:%M", &tm);
    int64_t left = hours_end - now;
    if (left < 0)
        left = 0;
    return format_text(
        buf, size, "%s%19.19s%s%s,\r\nin %s, %s", text_prefix, log_stamp(now, stamp),
        "\r\nThis terminal session will be ended by the system at ", at,
        format_duration(static_cast<int32_t>(left < INT32_MAX ? left : INT32_MAX), 1),
        "when its hours are over.\r\n\r\n\a");
}
