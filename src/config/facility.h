// The system-log facilities a syslog command may name, by their syslog.conf
// names.
#ifndef QUELLD_CONFIG_FACILITY_H
#define QUELLD_CONFIG_FACILITY_H

#include <cstdint>

// What syslog_facility_code returns for a name it does not know.
constexpr int32_t SYSLOG_UNKNOWN_FACILITY = -2;

// The <syslog.h> code (LOG_AUTHPRIV ...) of the facility called name
// ("auth", "authpriv", "cron", "daemon", "ftp", "local0" to "local7", "lpr",
// "mail", "news", "syslog", "user", "uucp"), or SYSLOG_UNKNOWN_FACILITY.
// "kern" is not among them: the kernel's facility is not for programs.
int32_t syslog_facility_code(const char* name);

// The name of facility code, or "?" for a code that has none.
const char* syslog_facility_name(int32_t code);

#endif  // QUELLD_CONFIG_FACILITY_H
