#include "enforce/texts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "base/event_log.h"
#include "base/session_table.h"
#include "config/settings.h"

namespace {

// What every text starts with: bell, four CR LF pairs, 19 characters of time.
std::string Head(time_t now) {
    char stamp[26];
    return "\a\r\n\r\n\r\n\r\n" + std::string(log_stamp(now, stamp), 19);
}

TEST(TextsTest, WarningsByteForByte) {
    settings_init();
    const time_t now = 1700000000;
    SessionRecord r{};
    char buf[TEXT_SIZE];
    auto text = [&](int n) { return std::string(buf, static_cast<size_t>(n)); };

    r.idle_limit = 900;
    warn_time = 300;
    EXPECT_EQ(text(text_idle(buf, sizeof buf, r.idle_limit, now)),
              Head(now) +
                  "\r\nThis terminal has been idle 15 minutes. If it remains idle\r\nfor 5 more "
                  "minutes it will be logged out by the system.\r\n\r\n\a");
    r.idle_limit = 90;  // not rounded up
    EXPECT_NE(text(text_idle(buf, sizeof buf, r.idle_limit, now)).find("idle 1 minutes."),
              std::string::npos);

    r.session_limit = 7200;
    EXPECT_EQ(text(text_session(buf, sizeof buf, r.session_limit, now)),
              Head(now) +
                  "\r\nThis terminal has been in use 120 minutes.\r\nIn 5 minutes it will be "
                  "logged out by the system.\r\n\r\n\a");

    r.next_check = 2;
    sleep_interval = 60;
    EXPECT_EQ(text(text_multiple(buf, sizeof buf, r.next_check, now)),
              Head(now) +
                  "\r\nThis user id is logged on too many times.  Please end\r\nsome logins to "
                  "reduce your total number of logins to no\r\nmore than  2.  Please do so in the "
                  "next 1 minutes\r\nor you will be logged out by the system.\r\n\r\n\a");

    r.maxuser_limit = 3;
    EXPECT_EQ(text(text_maxuser(buf, sizeof buf, r.maxuser_limit, now)),
              Head(now) +
                  "\r\nYou are only allowed 3 simultaneous logins\r\nwith your current account.  "
                  "Please wait for other users in\r\nyour group to log-off and try "
                  "again.\r\n\r\nThis session will end in 1 minutes.\r\n\r\n\a");

    EXPECT_EQ(
        text(text_refused(buf, sizeof buf, now)),
        Head(now) + "\r\nYour terminal session is about to be terminated by the system.\r\n\r\n\a");
}

// The end of a login's hours as a time of day: HH:MM on the minute, with
// the seconds off it (a window's end moved by a step of the clock).
TEST(TextsTest, HoursEndOnAndOffTheMinute) {
    const char* tz = std::getenv("TZ");
    std::string saved = tz != nullptr ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const time_t now = 1700000000;  // 22:13:20 UTC
    struct Case {
        int64_t end;
        const char* at;
        const char* in;
    } cases[] = {
        {now + 1600, "22:40", "1600 more seconds"},  // 22:40:00
        {now + 3000, "23:03:20", "50 more minutes"},
        {now - 5, "22:13:15", "0 more minutes"},  // already over: nothing left
    };
    char buf[TEXT_SIZE];
    for (const Case& c : cases) {
        std::string text(buf, static_cast<size_t>(text_hours(buf, sizeof buf, c.end, now)));
        EXPECT_EQ(text, Head(now) + "\r\nThis terminal session will be ended by the system at " +
                            c.at + ",\r\nin " + c.in + ", when its hours are over.\r\n\r\n\a");
    }
    if (tz != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(TextsTest, FormatDuration) {
    struct Case {
        int32_t seconds;
        int more;
        const char* text;
    } cases[] = {
        {300, 1, "5 more minutes"},
        {300, 0, "5 minutes"},
        {90, 1, "90 more seconds"},
        {60, 1, "1 more minutes"},
        {0, 1, "0 more minutes"},
        {-30, 0, "-30 seconds"},
        {-60, 0, "-1 minutes"},
        {59, 7, "59 more seconds"},
        {-2147483647 - 1, 1, "-2147483648 more seconds"},
        {2147483640, 0, "35791394 minutes"},
    };
    for (const Case& c : cases) EXPECT_STREQ(format_duration(c.seconds, c.more), c.text);
}

}  // namespace
