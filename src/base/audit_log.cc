#include "base/audit_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "base/format_text.h"
#include "base/log_escape.h"
#include "os/platform.h"
#include "pathnames.h"

int audit_facility = -1;

namespace {

// A message kept while a read is held: its severity and text, no header.
struct HeldMessage {
    int severity;
    char text[AUDIT_MSG_MAX];
};

HeldMessage held[AUDIT_HELD];
int held_count;
bool holding;
// Messages lost since the last one delivered.
long long lost;

// Sends text with its header.  The header's time is the local time, as
// syslog(3) writes it; the log daemon may put its own in its place.
void audit_send(int severity, const char* text) {
    if (audit_facility < 0)
        return;
    char msg[AUDIT_MSG_MAX + 32];
    time_t now = platform->now();
    struct tm tm;
    char stamp[32] = "Jan  1 00:00:00";
    if (localtime_r(&now, &tm) != nullptr)
        std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
    int n = format_text(msg, sizeof msg, "<%d>%s quelld[%ld]: %s", audit_facility | severity, stamp,
                        static_cast<long>(getpid()), text);
    if (n < 0)
        return;
    if (lost > 0 && static_cast<size_t>(n) < sizeof msg)
        n += format_text(msg + n, sizeof msg - static_cast<size_t>(n), " dropped=%lld", lost);
    size_t len = static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n) : sizeof msg - 1;
    if (platform_syslog_send(msg, len) == 0)
        lost = 0;
    else
        ++lost;
}

}  // namespace

void audit_line(int severity, const char* format, ...) {
    if (audit_facility < 0 && !holding)
        return;
    char text[AUDIT_MSG_MAX];
    va_list ap;
    va_start(ap, format);
    vformat_text(text, sizeof text, format, ap);
    va_end(ap);
    if (!holding) {
        audit_send(severity, text);
        return;
    }
    if (held_count == AUDIT_HELD) {
        ++lost;
        return;
    }
    held[held_count].severity = severity;
    std::memcpy(held[held_count].text, text, sizeof text);
    ++held_count;
}

void audit_hold() {
    holding = true;
}

void audit_release() {
    holding = false;
    for (int i = 0; i < held_count; ++i) audit_send(held[i].severity, held[i].text);
    held_count = 0;
}

const char* audit_value(const char* src, char* dst, size_t size) {
    // One character at a time, so that no escape is ever cut.
    size_t out = 0;
    for (const char* s = src; *s != '\0'; ++s) {
        char one[2] = {*s, '\0'};
        char piece[5];
        if (*s == ' ')
            std::memcpy(piece, "\\040", 5);
        else
            log_escape(one, piece, sizeof piece);
        size_t len = std::strlen(piece);
        if (out + len >= size)
            break;
        std::memcpy(dst + out, piece, len);
        out += len;
    }
    dst[out] = '\0';
    return dst;
}

void audit_reset() {
    audit_facility = -1;
    holding = false;
    held_count = 0;
    lost = 0;
}
