#include "base/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "base/format_text.h"
#include "pathnames.h"

const char* log_path = PATH_LOG;
void (*log_hook)(const char* format, va_list ap) = nullptr;

// Opens the log for appending.  The mode is forced with fchmod only when the
// file was just created, so an administrator's later chmod is respected.
static int log_open() {
    int fd = open(log_path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        fd =
            open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, LOG_MODE);
        if (fd < 0) {
            // Lost a race with another process creating it: open what is there.
            fd = open(log_path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        } else {
            fchmod(fd, LOG_MODE);
        }
    }
    return fd;
}

// Appends the formatted line and its newline with one write: with O_APPEND
// the kernel places it whole at the end, so the lines of the daemon and of
// its children never interleave.
static int log_write(const char* format, va_list ap) {
    int fd = log_open();
    if (fd < 0)
        return -1;
    char line[LOG_LINE_MAX];
    int n = vformat_text(line, sizeof line, format, ap);
    // The newline takes the place of the NUL: a cut line ends in it too.
    size_t len = n > 0 ? static_cast<size_t>(n) : 0;
    if (len > sizeof line - 1)
        len = sizeof line - 1;
    line[len++] = '\n';
    ssize_t w;
    do {
        w = write(fd, line, len);
    } while (w < 0 && errno == EINTR);
    close(fd);
    return 0;
}

void log_line(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    if (log_hook != nullptr)
        log_hook(format, ap);
    else
        log_write(format, ap);
    va_end(ap);
}

static int log_write_args(const char* format, ...) __attribute__((format(printf, 1, 2)));
static int log_write_args(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int status = log_write(format, ap);
    va_end(ap);
    return status;
}

int log_start_line(time_t now) {
    char stamp[26];
    return log_write_args("%24.24s  %s started.", log_stamp(now, stamp), QUELLD_VERSION);
}

const char* log_stamp(time_t t, char* buf) {
    static constexpr const char* DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    // asctime's text, for the years it can show in 24 characters.
    if (localtime_r(&t, &tm) != nullptr && tm.tm_year >= -1900 && tm.tm_year <= 9999 - 1900 &&
        tm.tm_wday >= 0 && tm.tm_wday <= 6 && tm.tm_mon >= 0 && tm.tm_mon <= 11) {
        format_text(buf, 26, "%s %s%3d %02d:%02d:%02d %d\n", DAYS[tm.tm_wday], MONTHS[tm.tm_mon],
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    } else {
        // Out of the range the stamp can show: keep the width.
        format_text(buf, 26, "%-24s\n", "??? ??? ?? ??:??:?? ????");
    }
    return buf;
}
