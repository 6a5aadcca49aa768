// The audit trail's sender, against a datagram socket of the test's own
// standing in for the system log's.
#include "base/audit_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "os/platform.h"

namespace {

class AuditLogTest : public testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quelldaudit_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/log";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd_, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        saved_path_ = platform_syslog_path;
        platform_syslog_path = path_.c_str();
        audit_reset();
        audit_facility = LOG_LOCAL3;
    }

    void TearDown() override {
        audit_reset();
        platform_syslog_close();
        platform_syslog_path = saved_path_;
        close(fd_);
        std::filesystem::remove_all(dir_);
    }

    // The next message the stand-in received, or "" when none is waiting.
    std::string Next() const {
        char buf[2048];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    std::string dir_, path_;
    int fd_ = -1;
    const char* saved_path_ = nullptr;
};

// The header, the hold and the facility are seen end to end (e2e.test_audit).
TEST_F(AuditLogTest, ValuesNeverSplitAndEscapesAreNeverCut) {
    char v[audit_value_size(16)];
    EXPECT_STREQ(audit_value("a b\nc\033", v, sizeof v), "a\\040b\\nc\\033");
    EXPECT_STREQ(audit_value("ab cd", v, 6), "ab");
    // Two hosts a user can choose stay two.
    EXPECT_STREQ(audit_value("lab 7", v, sizeof v), "lab\\0407");
    EXPECT_STREQ(audit_value("lab\\0407", v, sizeof v), "lab\\\\0407");
}

// "syslog off" (facility -1) sends nothing at all, held messages included.
TEST_F(AuditLogTest, OffSendsNothing) {
    audit_line(LOG_NOTICE, "event=on");
    EXPECT_NE(Next(), "");
    audit_facility = -1;
    audit_line(LOG_NOTICE, "event=off");
    audit_hold();
    audit_line(LOG_ERR, "event=held");
    audit_release();
    EXPECT_EQ(Next(), "");
}

TEST_F(AuditLogTest, FullQueueNeverWaitsAndTheGapIsOwnedUpTo) {
    // Nothing reads: the queue fills, and each send after that fails at once
    // (a blocking send would hang here).
    for (int i = 0; i < 5000; ++i) audit_line(LOG_NOTICE, "event=fill i=%d", i);
    int queued = 0;
    while (!Next().empty()) ++queued;
    ASSERT_GT(queued, 0);
    ASSERT_LT(queued, 5000);
    audit_line(LOG_NOTICE, "event=after");
    std::string got = Next();
    EXPECT_NE(got.find("event=after dropped=" + std::to_string(5000 - queued)), std::string::npos)
        << got;
    audit_line(LOG_NOTICE, "event=next");
    EXPECT_EQ(Next().find("dropped"), std::string::npos);
}

}  // namespace
