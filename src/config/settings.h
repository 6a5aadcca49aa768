// The global settings the configuration sets, and the configuration file's
// own state.  All settings are process-wide signed 32-bit values.
#ifndef QUELLD_CONFIG_SETTINGS_H
#define QUELLD_CONFIG_SETTINGS_H

#include <cstdint>
#include <ctime>

extern int32_t sleep_interval;      // seconds between polling cycles
extern int32_t warn_time;           // seconds of grace after an idle or session warning
extern int32_t multiple_threshold;  // sessions needed before logins per user are limited; 0 off
extern int32_t session_threshold;   // sessions needed before session length is limited; 0 off
extern int32_t multiples;           // logins per user; negative derives it from the threshold
extern int32_t idle_method;         // 0 userinput, 1 inputoutput
extern int32_t console_idle;        // seconds; -2 normal, -1 off
extern int32_t console_session;     // seconds; -2 normal, -1 off
extern int32_t console_multiple;    // a count of logins; -2 normal, -1 off
extern int32_t session_default;     // minutes (the one setting held in minutes); -1 none
extern int32_t refuse_time;         // seconds a session-limited user stays refused; 0 off
extern int32_t pane_join;           // 1: a tmux pane counts with the login it runs in; 0 alone

// The system-log facility of the audit trail (<syslog.h>'s LOG_AUTHPRIV
// ...), -1 for none: what the last read's syslog command set.  The daemon
// puts it in force (audit_facility) once a read is complete.
extern int32_t syslog_facility;

// The configuration lines of the commands behind the settings that stand in
// for a rule's limit, for the audit trail and quelld-check; 0 when no
// command set it.
struct SettingLines {
    int32_t warn;              // warn (kept across reads, as warn_time is)
    int32_t multiples;         // multiples
    int32_t session_default;   // session default
    int32_t refuse_time;       // session refuse
    int32_t console_idle;      // conswins idle
    int32_t console_session;   // conswins session
    int32_t console_multiple;  // conswins multiple
    int32_t syslog;            // syslog
};
extern SettingLines setting_lines;

// The configuration file's path: PATH_CONF or the "-f" argument.  Not owned
// by the caller; lives for the whole process.
extern const char* conf_path;

// Modification time of the configuration when it was last read; 1 means it
// has never been read.
extern time_t conf_mtime;

// Gives every setting, conf_path and conf_mtime the values they have when the
// program starts: what start-up does before parsing its options.
void settings_init();

// Puts back the values every read of the configuration starts from
// (sleep_interval and warn_time are kept).
void settings_reset();

// n minutes in seconds, saturated to the 32-bit range so that a huge limit
// never wraps round to a negative one (which would change its meaning).
int32_t minutes_to_seconds(int32_t n);

#endif  // QUELLD_CONFIG_SETTINGS_H
