#include "daemon/reload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/audit_log.h"
#include "base/event_log.h"
#include "config/conf_read.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "os/platform.h"
#include "policy/rule_index.h"

// The file last read, beyond conf_mtime.
static int64_t conf_ctime_ns;
static uint64_t conf_dev, conf_ino;

// A configuration that could not be read: fatal until one has been read,
// afterwards the rules and settings in force stay.
static int reload_failed() {
    char path[AUDIT_MSG_MAX / 4];
    audit_value(conf_path, path, sizeof path);
    if (conf_mtime == 1) {
        log_line("Have never read in conf settings.  Must die.");
        audit_line(LOG_ERR, "event=config_failed file=%s outcome=exit", path);
        std::exit(1);
    }
    log_line("Ignoring, and maintaining old settings.");
    audit_line(LOG_ERR, "event=config_failed file=%s outcome=kept", path);
    return 0;
}

// Puts the audit trail's facility of the configuration just read in force
// and sends what the read held back with it.
static void reload_audit_release() {
    if (syslog_facility < 0 && audit_facility >= 0)
        platform_syslog_close();
    audit_facility = syslog_facility;
    audit_release();
}

// A configuration failure that is no line of the file.
static void reload_audit_failure(const char* message) {
    char path[AUDIT_MSG_MAX / 4], text[AUDIT_MSG_MAX / 4];
    audit_line(LOG_ERR, "event=config_error file=%s message=%s",
               audit_value(conf_path, path, sizeof path), audit_value(message, text, sizeof text));
}

// The end of the file being read: errors before it end the process when no
// configuration has ever been read, since there is nothing to keep instead.
// Decided here, at the end of the input, so that nothing the last line
// reports after the end reaches the log first.
static void reload_input_end() {
    if (conf_errors > 0 && conf_mtime <= 1) {
        log_line("Aborting due to conf file syntax errors.");
        char path[AUDIT_MSG_MAX / 4];
        audit_line(LOG_ERR, "event=config_failed file=%s outcome=exit",
                   audit_value(conf_path, path, sizeof path));
        reload_audit_release();
        std::exit(1);
    }
}

int reload_config() {
    char stamp[26];
    log_stamp(platform->now(), stamp);

    Platform::FileStamp st;
    if (platform->file_stamp(conf_path, &st) != 0) {
        log_line("%19.19s:  Cannot stat conf file.", stamp);
        reload_audit_failure("Cannot stat conf file.");
        return reload_failed();
    }
    time_t mtime = st.mtime;
    // A file edited after the clock was set back, or replaced by an older
    // copy, has an earlier modification time than the one read; its inode or
    // change time tells it from the file read.
    bool replaced = mtime < conf_mtime && conf_mtime > 1 &&
                    (st.ino != conf_ino || st.dev != conf_dev || st.ctime_ns != conf_ctime_ns);
    if (mtime <= conf_mtime && !replaced)
        return 0;

    log_line("%19.19s   Reading in configuration file.", stamp);
    // A stream of its own rather than standard input reopened, so that
    // descriptor 0 stays as start-up left it.
    // Held, so that the read's own failures go out with the facility it
    // sets (a first read's included), and a syslog command dropped or
    // changed takes effect from this read on.
    audit_hold();
    if (conf_read_file(conf_path, reload_input_end) != CONF_READ) {
        audit_release();
        log_line("%19.19s:  Cannot open configuration file.", stamp);
        reload_audit_failure("Cannot open configuration file.");
        return reload_failed();
    }
    reload_audit_release();
    // Built here, once per read, rather than by the first login resolved.
    rule_index_rebuild();

    // The time stat gave before the read: an edit made during the read
    // leaves the file newer, and is read in the next cycle.
    conf_mtime = mtime;
    conf_ctime_ns = st.ctime_ns;
    conf_dev = st.dev;
    conf_ino = st.ino;
    return 1;
}
