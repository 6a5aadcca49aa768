#include "daemon/reload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "base/audit_log.h"
#include "config/conf_fixture.h"
#include "os/platform.h"

namespace {

// The configuration file is real (the reload opens it); the time stat gives
// for it comes from the fake platform, so a stale time can stand for a file
// that disappeared between the two calls.
class ReloadTest : public ConfTest {
   protected:
    void SetUp() override {
        ConfTest::SetUp();
        settings_init();  // start-up values: no read has happened
        cf_ = dir_ + "/quelld.cf";
        conf_path = cf_.c_str();
        conf_mtime = 1;
        char buf[26];
        std::string stamp(log_stamp(fake_.clock, buf), 19);
        reading_ = stamp + "   Reading in configuration file.\n";
        no_stat_ = stamp + ":  Cannot stat conf file.\n";
        no_open_ = reading_ + stamp + ":  Cannot open configuration file.\n";
    }

    // text nullptr: no file; mtime 0: stat fails.
    void Place(const char* text, time_t mtime) {
        std::filesystem::remove(cf_);
        fake_.files.clear();
        if (text != nullptr)
            WriteFile("quelld.cf", text);
        if (mtime != 0)
            fake_.SetTimes(cf_, mtime, mtime);
    }

    std::string Error(int line, const char* message) const {
        return cf_ + ": line " + std::to_string(line) + ": " + message + "\n";
    }

    std::string cf_, reading_, no_stat_, no_open_;
};

TEST_F(ReloadTest, Sequence) {
    const std::string keep = "Ignoring, and maintaining old settings.\n";
    struct Step {
        const char* text;
        time_t mtime;
        int result;
        std::string log;    // the lines this step adds
        std::string state;  // sleep_interval multiple_threshold multiples conf_mtime, rules
    } steps[] = {
        // Times up to 1 are never read: start-up values, empty lists.
        {"sleep 5\n", 1, 0, "", "0 0 0 1\n"},
        // A last line without a line feed is reported after the end-of-input
        // test, so even in the first read it does not end the daemon.
        {"sleep 10\nsleep 5", 5000, 1, reading_ + Error(1, "syntax error"), "10 0 -1 5000\n"},
        {"sleep 60\nthreshold multiple 3\ntimeout default 30\nrefuse login bob\n", 6000, 1,
         reading_, "60 3 -1 6000\n262 - 0 30\n259 bob 0 0\n"},
        // Not newer: the same time, or an older copy.
        {"sleep 1\n", 6000, 0, "", "60 3 -1 6000\n262 - 0 30\n259 bob 0 0\n"},
        {"sleep 1\n", 5999, 0, "", "60 3 -1 6000\n262 - 0 30\n259 bob 0 0\n"},
        // Newer: sleep is kept, the other settings reset, the rules replaced.
        {"timeout login alice 5\nmultiples 2\n", 7000, 1, reading_, "60 0 2 7000\n259 alice 0 5\n"},
        // Errors in a later read are logged; what parsed is in force.
        {"timeout tty ttyv0 4\nsleep x\nthreshold multiple 2\n", 8000, 1,
         reading_ + Error(2, "syntax error") + Error(3, "Malformed sleep command."),
         "60 2 -1 8000\n257 ttyv0 0 4\n"},
        // Failures after a read keep the old settings, in every cycle.
        {nullptr, 9000, 0, no_open_ + keep, "60 2 -1 8000\n257 ttyv0 0 4\n"},
        {nullptr, 9000, 0, no_open_ + keep, "60 2 -1 8000\n257 ttyv0 0 4\n"},
        {nullptr, 0, 0, no_stat_ + keep, "60 2 -1 8000\n257 ttyv0 0 4\n"},
        {nullptr, 0, 0, no_stat_ + keep, "60 2 -1 8000\n257 ttyv0 0 4\n"},
    };
    std::string log;
    int n = 0;
    for (const Step& s : steps) {
        ++n;
        Place(s.text, s.mtime);
        EXPECT_EQ(reload_config(), s.result) << "step " << n;
        log += s.log;
        EXPECT_EQ(Log(), log) << "step " << n;
        std::string state = std::to_string(sleep_interval) + " " +
                            std::to_string(multiple_threshold) + " " + std::to_string(multiples) +
                            " " + std::to_string(conf_mtime) + "\n" + Dump(timeout_list) +
                            Dump(refuse_list);
        EXPECT_EQ(state, s.state) << "step " << n;
    }
}

// The audit trail's facility is the last complete read's: switched on,
// changed and off with the reads, kept when a read fails.
TEST_F(ReloadTest, SyslogFacilityFollowsTheReads) {
    audit_reset();
    // A failed read's messages would go out: never to the host's log.
    const char* saved = platform_syslog_path;
    std::string nowhere = dir_ + "/no-log";
    platform_syslog_path = nowhere.c_str();
    struct Step {
        const char* text;
        time_t mtime;
        int facility;
    } steps[] = {
        {"syslog local1\n", 5000, LOG_LOCAL1}, {"syslog daemon\n", 6000, LOG_DAEMON},
        {nullptr, 7000, LOG_DAEMON},           {"syslog bogus\n", 8000, -1},
        {"syslog user\n", 9000, LOG_USER},     {"sleep 5\n", 10000, -1},
    };
    for (const Step& s : steps) {
        Place(s.text, s.mtime);
        reload_config();
        EXPECT_EQ(audit_facility, s.facility) << (s.text ? s.text : "no file");
    }
    audit_reset();
    platform_syslog_close();
    platform_syslog_path = saved;
}

TEST_F(ReloadTest, AFirstReadThatFailsEndsTheDaemon) {
    const std::string die = "Have never read in conf settings.  Must die.\n";
    struct Case {
        const char* text;
        time_t mtime;
        std::string log;
    } cases[] = {
        {nullptr, 0, no_stat_ + die},
        {nullptr, 5000, no_open_ + die},
        {"sleep 5\nwarn\n$\nsleep 6\n", 5000,
         reading_ + Error(3, "syntax error") + Error(3, "Malformed warn command.") +
             Error(3, "Illegal character '$'.") + "Aborting due to conf file syntax errors.\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        Place(c.text, c.mtime);
        EXPECT_EXIT(reload_config(), testing::ExitedWithCode(1), "") << c.log;
        EXPECT_EQ(Log(), c.log);
    }
}

// A directory or a FIFO at the path cannot be opened as a configuration: it
// must neither end a running daemon at the first read nor block it in open.
TEST_F(ReloadTest, OnlyARegularFileIsRead) {
    const std::string keep = "Ignoring, and maintaining old settings.\n";
    Place("sleep 10\n", 5000);
    ASSERT_EQ(reload_config(), 1);
    std::string log = reading_;
    for (auto make : {+[](const char* p) { return mkdir(p, 0755); },
                      +[](const char* p) { return mkfifo(p, 0644); }}) {
        Place(nullptr, 6000);
        ASSERT_EQ(make(cf_.c_str()), 0);
        EXPECT_EQ(reload_config(), 0);
        log += no_open_ + keep;
        EXPECT_EQ(Log(), log);
        EXPECT_EQ(conf_mtime, 5000);
        EXPECT_EQ(sleep_interval, 10);
    }
    std::filesystem::remove(cf_);
    std::filesystem::remove(log_file_);
    conf_mtime = 1;
    ASSERT_EQ(mkdir(cf_.c_str(), 0755), 0);
    EXPECT_EXIT(reload_config(), testing::ExitedWithCode(1), "");
    EXPECT_EQ(Log(), no_open_ + "Have never read in conf settings.  Must die.\n");
}

// Descriptor 0 keeps what start-up left on it, and no descriptor stays
// open after a read.
TEST_F(ReloadTest, StandardInputIsLeftAlone) {
    struct stat before {
    }, after{};
    int open_before = fstat(0, &before);
    int lowest_free = dup(2);
    close(lowest_free);
    Place("sleep 10\n", 5000);
    ASSERT_EQ(reload_config(), 1);
    EXPECT_EQ(fstat(0, &after), open_before);
    EXPECT_EQ(before.st_dev, after.st_dev);
    EXPECT_EQ(before.st_ino, after.st_ino);
    int probe = dup(2);
    EXPECT_EQ(probe, lowest_free);
    close(probe);
}

}  // namespace

namespace {

// A file whose modification time went back is read again when it is another
// file (inode) or was changed since (change time), not when it is the same.
TEST_F(ReloadTest, EarlierTimeOnAnotherFile) {
    Place("sleep 10\n", 5000);
    fake_.files[cf_].ctime = 5000;
    ASSERT_EQ(reload_config(), 1);
    WriteFile("quelld.cf", "sleep 20\n");
    fake_.files[cf_].mtime = 4000;  // same inode and change time: no read
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(sleep_interval, 10);
    for (auto change : {+[](FakePlatform::Times* t) { t->ctime = 4000; },
                        +[](FakePlatform::Times* t) { t->ino = 7; }}) {
        change(&fake_.files[cf_]);
        EXPECT_EQ(reload_config(), 1);
        EXPECT_EQ(conf_mtime, fake_.files[cf_].mtime);
        EXPECT_EQ(reload_config(), 0);  // and once only
        fake_.files[cf_].mtime = 3000;
    }
    EXPECT_EQ(sleep_interval, 20);
}

}  // namespace
