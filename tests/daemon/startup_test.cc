#include "daemon/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "daemon/cycle.h"

namespace {

struct Parsed {
    int status;
    std::string out, err;
};

Parsed Parse(std::vector<std::string> args) {
    settings_init();
    idle_enabled = multiple_enabled = refuse_enabled = session_enabled = group_enabled = true;
    std::vector<char*> argv;
    std::string name = "quelld";
    argv.push_back(name.data());
    for (std::string& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = parse_options(static_cast<int>(argv.size()), argv.data());
    Parsed p{status, "", ""};
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

TEST(StartupTest, OptionTable) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        {{"-V"}, 0, "quelld version " QUELLD_VERSION_NUMBER "\n", ""},
        {{"-x", "-V", "-y"},
         0,
         "quelld version " QUELLD_VERSION_NUMBER "\n",
         "quelld: bad flag -x\n"},
        {{"-f"}, -1, "", "quelld: flag -f specified without naming config file\n"},
        {{"-f", "/tmp/a", "-f", "/tmp/b"},
         -1,
         "Using configuration file '/tmp/a'.\nUsing configuration file '/tmp/b'.\n",
         ""},
        {{"-xy", "foo", "-", "-v", "-I"},
         -1,
         "",
         "quelld: bad flag -xy\nquelld: bad flag -oo\nquelld: bad flag -\n"
         "quelld: bad flag -v\nquelld: bad flag -I\n"},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.status, c.status) << c.args[0];
        EXPECT_EQ(p.out, c.out) << c.args[0];
        EXPECT_EQ(p.err, c.err) << c.args[0];
    }
}

TEST(StartupTest, SwitchesAndConfigPath) {
    Parse({"-f", "-i", "-m", "-m"});
    EXPECT_STREQ(conf_path, "-i");
    EXPECT_TRUE(idle_enabled);
    EXPECT_FALSE(multiple_enabled);
    EXPECT_TRUE(refuse_enabled && session_enabled && group_enabled);

    Parse({"-i", "-r", "-s", "-f", "/tmp/b"});
    EXPECT_STREQ(conf_path, "/tmp/b");
    EXPECT_FALSE(idle_enabled || refuse_enabled || session_enabled);
    EXPECT_TRUE(multiple_enabled);
}

TEST(StartupTest, StartValues) {
    settings_init();
    EXPECT_EQ(console_idle, -2);
    EXPECT_EQ(console_session, -2);
    EXPECT_EQ(console_multiple, -2);
    EXPECT_EQ(session_default, -1);
    EXPECT_EQ(refuse_time, 0);
    EXPECT_EQ(sleep_interval, 0);
    EXPECT_EQ(multiples, 0);
    EXPECT_EQ(conf_mtime, 1);
    EXPECT_STREQ(conf_path, "/usr/local/etc/quelld/quelld.cf");
}

TEST(SettingsTest, MinutesSaturate) {
    EXPECT_EQ(minutes_to_seconds(10), 600);
    EXPECT_EQ(minutes_to_seconds(-1), -60);
    EXPECT_EQ(minutes_to_seconds(2147483647), 2147483647);
    EXPECT_EQ(minutes_to_seconds(-2147483647 - 1), -2147483647 - 1);
}

}  // namespace
