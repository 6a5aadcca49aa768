#include "daemon/reload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/conf_fixture.h"

namespace {

// The configuration file is real (the reload opens it); its modification
// time comes from the fake platform.
class ReloadTest : public ConfTest {
   protected:
    void SetUp() override {
        ConfTest::SetUp();
        cf_ = dir_ + "/quelld.cf";
        conf_path = cf_.c_str();
        conf_mtime = 1;
        char buf[26];
        stamp_ = std::string(log_stamp(fake_.clock, buf), 19);
    }

    // Writes the configuration with the given modification time.
    void Edit(const std::string& text, time_t mtime) {
        WriteFile("quelld.cf", text);
        fake_.SetTimes(cf_, mtime, mtime);
    }

    std::string Reading() const { return stamp_ + "   Reading in configuration file.\n"; }

    std::string cf_;
    std::string stamp_;
};

TEST_F(ReloadTest, ReadsWhenTheFileMovesForward) {
    sleep_interval = 0;
    Edit("sleep 60\nthreshold multiple 3\ntimeout default 30\n", 5000);
    EXPECT_EQ(reload_config(), 1);
    EXPECT_EQ(conf_mtime, 5000);
    EXPECT_EQ(sleep_interval, 60);
    EXPECT_EQ(multiple_threshold, 3);
    EXPECT_EQ(multiples, -1);
    EXPECT_EQ(Dump(timeout_list), "262 - 0 30\n");

    // Same time, or an older copy: not read again.
    Edit("sleep 1\n", 5000);
    EXPECT_EQ(reload_config(), 0);
    Edit("sleep 1\n", 4000);
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(sleep_interval, 60);

    // A newer file without those lines: sleep is kept, the rest reset, the
    // rules replaced.
    Edit("timeout login alice 5\nmultiples 2\n", 6000);
    EXPECT_EQ(reload_config(), 1);
    EXPECT_EQ(sleep_interval, 60);
    EXPECT_EQ(multiple_threshold, 0);
    EXPECT_EQ(multiples, 2);
    EXPECT_EQ(Dump(timeout_list), "259 alice 0 5\n");
    EXPECT_EQ(Log(), Reading() + Reading());
}

TEST_F(ReloadTest, LaterFailuresKeepTheOldSettings) {
    Edit("refuse login bob\n", 5000);
    ASSERT_EQ(reload_config(), 1);

    // Newer but cannot be opened (here: stat's answer is stale): three
    // lines in every cycle, nothing changes.
    std::filesystem::remove(cf_);
    fake_.SetTimes(cf_, 6000, 6000);
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(conf_mtime, 5000);

    // Missing: two lines in every cycle.
    fake_.files.clear();
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(conf_mtime, 5000);
    EXPECT_EQ(Dump(refuse_list), "259 bob 0 0\n");

    std::string open_failed = Reading() + stamp_ +
                              ":  Cannot open configuration file.\n"
                              "Ignoring, and maintaining old settings.\n";
    std::string stat_failed = stamp_ +
                              ":  Cannot stat conf file.\n"
                              "Ignoring, and maintaining old settings.\n";
    EXPECT_EQ(Log(), Reading() + open_failed + open_failed + stat_failed + stat_failed);
}

TEST_F(ReloadTest, ErrorsInALaterReadAreOnlyLogged) {
    Edit("sleep 10\n", 5000);
    ASSERT_EQ(reload_config(), 1);
    Edit("warn 20\nsleep x\ntimeout default 5\nsession default\n", 6000);
    EXPECT_EQ(reload_config(), 1);
    EXPECT_EQ(conf_mtime, 6000);
    EXPECT_EQ(warn_time, 20);
    EXPECT_EQ(sleep_interval, 10);
    EXPECT_EQ(session_default, -1);
    EXPECT_EQ(Dump(timeout_list), "262 - 0 5\n");
    EXPECT_EQ(Log(), Reading() + Reading() + cf_ + ": line 2: syntax error\n" + cf_ +
                         ": line 3: Malformed sleep command.\n" + cf_ + ": line 5: syntax error\n" +
                         cf_ + ": line 5: Malformed session command.\n");
}

TEST_F(ReloadTest, AFirstReadThatFailsEndsTheDaemon) {
    struct Case {
        const char* name;
        const char* text;  // nullptr: no file at all
        time_t mtime;      // 0: stat fails
        std::string log;
    } cases[] = {
        {"missing", nullptr, 0,
         stamp_ + ":  Cannot stat conf file.\nHave never read in conf settings.  Must die.\n"},
        {"unopenable", nullptr, 5000,
         Reading() + stamp_ +
             ":  Cannot open configuration file.\nHave never read in conf settings.  Must die.\n"},
        {"errors", "sleep 5\nwarn\n$\nsleep 6\n", 5000,
         Reading() + cf_ + ": line 3: syntax error\n" + cf_ +
             ": line 3: Malformed warn command.\n" + cf_ +
             ": line 3: Illegal character '$'.\nAborting due to conf file syntax errors.\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        std::filesystem::remove(cf_);
        fake_.files.clear();
        if (c.text != nullptr)
            WriteFile("quelld.cf", c.text);
        if (c.mtime != 0)
            fake_.SetTimes(cf_, c.mtime, c.mtime);
        EXPECT_EXIT(reload_config(), testing::ExitedWithCode(1), "") << c.name;
        EXPECT_EQ(Log(), c.log) << c.name;
    }
}

TEST_F(ReloadTest, AnUnfinishedLastLineDoesNotEndAFirstRead) {
    // Its error comes after the end of the input has been checked.
    Edit("sleep 10\nsleep 5", 5000);
    EXPECT_EQ(reload_config(), 1);
    EXPECT_EQ(sleep_interval, 10);
    EXPECT_EQ(Log(), Reading() + cf_ + ": line 1: syntax error\n");
}

TEST_F(ReloadTest, TimesUpToOneAreNeverRead) {
    Edit("sleep 10\n", 1);
    EXPECT_EQ(reload_config(), 0);
    Edit("sleep 10\n", -5);
    EXPECT_EQ(reload_config(), 0);
    EXPECT_EQ(sleep_interval, 0);
    EXPECT_EQ(Log(), "");
}

// Descriptor 0 keeps what start-up left on it, and no descriptor stays
// open after a read.
TEST_F(ReloadTest, StandardInputIsLeftAlone) {
    struct stat before {
    }, after{};
    int open_before = fstat(0, &before);
    int lowest_free = dup(2);
    close(lowest_free);
    Edit("sleep 10\n", 5000);
    ASSERT_EQ(reload_config(), 1);
    EXPECT_EQ(fstat(0, &after), open_before);
    EXPECT_EQ(before.st_dev, after.st_dev);
    EXPECT_EQ(before.st_ino, after.st_ino);
    int probe = dup(2);
    EXPECT_EQ(probe, lowest_free);
    close(probe);
}

}  // namespace
