// The syslog command: facility names, off, and its errors.
#include <gtest/gtest.h>
#include <syslog.h>

#include "conf_fixture.h"

namespace {

class SyslogCommandTest : public ConfTest {};

TEST_F(SyslogCommandTest, Table) {
    struct Case {
        const char* text;
        int32_t facility;  // after the read
        int32_t line;      // setting_lines.syslog
        const char* log;   // the event log written
    } cases[] = {
        {"syslog authpriv\n", LOG_AUTHPRIV, 1, ""},
        {"\nsyslog syslog\n", LOG_SYSLOG, 2, ""},  // the keyword as a facility name
        {"syslog local7\nsyslog off\n", -1, 2, ""},
        {"syslog local0\nsyslog kern\n", LOG_LOCAL0, 1,
         "q.cf: line 3: Unknown syslog facility 'kern'.\n"},
        {"syslog\n", -1, 0,
         "q.cf: line 2: syntax error\nq.cf: line 2: Malformed syslog command.\n"},
        {"syslog daemon 3\n", -1, 0,
         "q.cf: line 1: syntax error\nq.cf: line 2: Malformed syslog command.\n"},
    };
    for (const Case& c : cases) {
        settings_reset();
        std::filesystem::remove(log_file_);
        ParseText(c.text);
        EXPECT_EQ(syslog_facility, c.facility) << c.text;
        EXPECT_EQ(setting_lines.syslog, c.line) << c.text;
        EXPECT_EQ(Log(), c.log) << c.text;
    }
}

}  // namespace
