#include "base/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "pathnames.h"

const char* log_path = PATH_LOG;
void (*log_hook)(const char* format, va_list ap) = nullptr;

// Opens the log for appending.  The mode is forced with fchmod only when the
// file was just created, so an administrator's later chmod is respected.
static FILE* log_open() {
    int fd = open(log_path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        fd =
            open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, LOG_MODE);
        if (fd < 0) {
            // Lost a race with another process creating it: open what is there.
            fd = open(log_path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
            if (fd < 0)
                return nullptr;
        } else {
            fchmod(fd, LOG_MODE);
        }
    }
    FILE* f = fdopen(fd, "a");
    if (f == nullptr)
        close(fd);
    return f;
}

void log_line(const char* format, ...) {
    if (log_hook != nullptr) {
        va_list ap;
        va_start(ap, format);
        log_hook(format, ap);
        va_end(ap);
        return;
    }
    FILE* f = log_open();
    if (f == nullptr)
        return;
    va_list ap;
    va_start(ap, format);
    vfprintf(f, format, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

int log_start_line(time_t now) {
    FILE* f = log_open();
    if (f == nullptr)
        return -1;
    char stamp[26];
    fprintf(f, "%24.24s  %s started.\n", log_stamp(now, stamp), QUELLD_VERSION);
    fclose(f);
    return 0;
}

const char* log_stamp(time_t t, char* buf) {
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr || asctime_r(&tm, buf) == nullptr) {
        // Out of the range the C library can show: keep the width.
        std::snprintf(buf, 26, "%-24s\n", "??? ??? ?? ??:??:?? ????");
    }
    return buf;
}
