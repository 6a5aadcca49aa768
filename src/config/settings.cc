#include "config/settings.h"

#include <limits>

#include "pathnames.h"

int32_t sleep_interval;
int32_t warn_time;
int32_t multiple_threshold;
int32_t session_threshold;
int32_t multiples;
int32_t idle_method;
int32_t console_idle;
int32_t console_session;
int32_t console_multiple;
int32_t session_default;
int32_t refuse_time;
int32_t pane_join;
int32_t syslog_facility = -1;
SettingLines setting_lines;

const char* conf_path = PATH_CONF;
time_t conf_mtime = 1;

void settings_init() {
    // What every read sets again, then what only start-up sets: the
    // settings a file keeps when it no longer names them.
    settings_reset();
    sleep_interval = 0;
    warn_time = 0;
    multiples = 0;
    conf_path = PATH_CONF;
    conf_mtime = 1;
    setting_lines = SettingLines{};
}

void settings_reset() {
    multiple_threshold = 0;
    session_threshold = 0;
    multiples = -1;
    console_idle = -2;
    console_session = -2;
    console_multiple = -2;
    session_default = -1;
    refuse_time = 0;
    idle_method = 0;
    pane_join = 0;
    syslog_facility = -1;
    int32_t warn_line = setting_lines.warn;
    setting_lines = SettingLines{};
    setting_lines.warn = warn_line;
}

int32_t minutes_to_seconds(int32_t n) {
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    int64_t s = static_cast<int64_t>(n) * 60;
    if (s > hi)
        return static_cast<int32_t>(hi);
    if (s < lo)
        return static_cast<int32_t>(lo);
    return static_cast<int32_t>(s);
}
