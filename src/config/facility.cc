#include "config/facility.h"

#include <syslog.h>

#include <cstring>

namespace {

struct Facility {
    const char* name;
    int32_t code;
};

constexpr Facility facilities[] = {
    {"auth", LOG_AUTH},     {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},
    {"daemon", LOG_DAEMON}, {"ftp", LOG_FTP},           {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2},     {"local3", LOG_LOCAL3},
    {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},     {"local6", LOG_LOCAL6},
    {"local7", LOG_LOCAL7}, {"lpr", LOG_LPR},           {"mail", LOG_MAIL},
    {"news", LOG_NEWS},     {"syslog", LOG_SYSLOG},     {"user", LOG_USER},
    {"uucp", LOG_UUCP},
};

}  // namespace

int32_t syslog_facility_code(const char* name) {
    for (const Facility& f : facilities)
        if (std::strcmp(f.name, name) == 0)
            return f.code;
    return SYSLOG_UNKNOWN_FACILITY;
}

const char* syslog_facility_name(int32_t code) {
    for (const Facility& f : facilities)
        if (f.code == code)
            return f.name;
    return "?";
}
