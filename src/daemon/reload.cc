#include "daemon/reload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    if (conf_mtime == 1) {
        log_line("Have never read in conf settings.  Must die.");
        std::exit(1);
    }
    log_line("Ignoring, and maintaining old settings.");
    return 0;
}

// The end of the file being read: errors before it end the process when no
// configuration has ever been read, since there is nothing to keep instead.
// Decided here, at the end of the input, so that nothing the last line
// reports after the end reaches the log first.
static void reload_input_end() {
    if (conf_errors > 0 && conf_mtime <= 1) {
        log_line("Aborting due to conf file syntax errors.");
        std::exit(1);
    }
}

int reload_config() {
    char stamp[26];
    log_stamp(platform->now(), stamp);

    Platform::FileStamp st;
    if (platform->file_stamp(conf_path, &st) != 0) {
        log_line("%19.19s:  Cannot stat conf file.", stamp);
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
    if (conf_read_file(conf_path, reload_input_end) != CONF_READ) {
        log_line("%19.19s:  Cannot open configuration file.", stamp);
        return reload_failed();
    }
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
