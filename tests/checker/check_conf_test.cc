#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "check_fixture.h"
#include "config/tokens.h"

namespace {

std::string Fatal(int n) {
    return "q.cf: " + std::to_string(n) + (n == 1 ? " error" : " errors") +
           ": quelld would end at its first read (\"Aborting due to conf file syntax errors.\")\n";
}

TEST_F(CheckToolTest, ProblemsOnTheirOwnLines) {
    const struct {
        const char* text;
        std::string problems;
        int status;
    } cases[] = {
        {"timeout default 30\nwarn 60\nsleep 60\n", "", 0},
        // The daemon names line 3 for the Malformed message: the line after.
        {"sleep 60\nsleep\nwarn 5\n",
         "q.cf:2: syntax error\nq.cf:2: Malformed sleep command.\n" + Fatal(2), 1},
        // Shown escaped: the daemon's log has the byte itself.
        {"sleep 60\r\n", "q.cf:1: Illegal character '\\r'.\n" + Fatal(1), 1},
        {"login bob\n", "q.cf:1: syntax error\n" + Fatal(1), 1},
        // Quiet recovery: the second line's syntax error is not reported.
        {"sleep x\nwarn y\n",
         "q.cf:1: syntax error\nq.cf:1: Malformed sleep command.\nq.cf:2: Malformed warn "
         "command.\n" +
             Fatal(3),
         1},
        // Found only after the end of the file: the daemon starts all the same.
        {"sleep 60\nwarn 5", "q.cf:2: syntax error\n", 0},
        {"exempt login nobodyhere all\nexempt group nosuchgroup\n",
         "q.cf:1: Warning parsing conf file:  unknown login name 'nobodyhere'.\n"
         "q.cf:2: Error parsing conf file:  unknown group name 'nosuchgroup'.\n"
         "q.cf:2: syntax error\nq.cf:2: Malformed exempt command.\n" +
             Fatal(2),
         1},
        {"sleep 60\n\nrefuse file nolist\n", "q.cf:3: Could not open file 'nolist'\n" + Fatal(1),
         1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Check(c.text), c.status) << c.text;
        EXPECT_EQ(Problems(), c.problems) << c.text;
    }
}

// A FIFO would block a plain open until a writer came, and a directory
// would read as an error: both are refused as the daemon refuses them.
TEST_F(CheckToolTest, OnlyARegularFileIsRead) {
    ASSERT_EQ(mkfifo("q.fifo", 0644), 0);
    ASSERT_EQ(mkdir("q.dir", 0755), 0);
    for (const char* path : {"q.fifo", "q.dir"}) {
        fake_.SetTimes(path, 2000, 2000);
        conf_path = path;
        EXPECT_EQ(check_read_config(), 2) << path;
        EXPECT_EQ(Problems(), std::string(path) +
                                  ": Cannot open configuration file: not a "
                                  "regular file\n");
    }
}

TEST_F(CheckToolTest, MissingFile) {
    conf_path = "absent.cf";
    EXPECT_EQ(check_read_config(), 2);
    EXPECT_EQ(Problems(), "absent.cf: Cannot stat conf file: No such file or directory\n");
}

// The daemon's text as quelld-check shows it: control bytes escaped.
std::string Visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char buf[8];
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f)
            out += (std::snprintf(buf, sizeof buf, "\\x%02x", c), buf);
        else
            out += static_cast<char>(c);
    }
    return out;
}

// Every golden configuration: the check reports the messages the daemon logs,
// in the same order, each on its own line or (Malformed lines, list files)
// the line before the one the daemon names; and nothing reaches the log.
TEST_F(CheckToolTest, SameMessagesAsTheDaemon) {
    namespace fs = std::filesystem;
    fs::path cases = fs::path(__FILE__).parent_path().parent_path() / "config" / "cases";
    std::vector<fs::path> inputs;
    for (const auto& e : fs::directory_iterator(cases))
        if (e.path().extension() == ".cf")
            inputs.push_back(e.path());
    ASSERT_FALSE(inputs.empty());
    const std::regex daemon_line(R"(^[^ ]+\.cf: line (\d+): ([\s\S]*)$)");
    const std::regex check_line(R"(^[^ ]+\.cf:(\d+): (.*)$)");
    for (const fs::path& cf : inputs) {
        fs::current_path(cases);
        std::string name = cf.filename().string();
        conf_path = name.c_str();

        // The daemon: a later read, logged to the file.
        log_hook = nullptr;
        ClearLists();
        settings_reset();
        FILE* f = std::fopen(name.c_str(), "r");
        restart_scanner(f);
        parse_conf();
        restart_scanner(nullptr);
        std::fclose(f);
        std::vector<std::pair<int, std::string>> daemon;
        std::istringstream log(Log());
        std::smatch m;
        for (std::string l; std::getline(log, l);)
            if (std::regex_match(l, m, daemon_line))
                daemon.emplace_back(std::stoi(m[1]), m[2]);
        std::filesystem::remove(log_file_);

        check_capture_log();
        fake_.SetTimes(name, 2000, 2000);
        check_read_config();
        std::vector<std::pair<int, std::string>> check;
        std::istringstream out(Problems());
        for (std::string l; std::getline(out, l);)
            if (std::regex_match(l, m, check_line) &&
                l.find("Error parsing") == std::string::npos &&
                l.find("Warning parsing") == std::string::npos)
                check.emplace_back(std::stoi(m[1]), m[2]);
        EXPECT_EQ(Log(), "") << name;

        ASSERT_EQ(check.size(), daemon.size()) << name;
        for (size_t i = 0; i < check.size(); ++i) {
            EXPECT_EQ(check[i].second, Visible(daemon[i].second)) << name;
            // The end of the input sets the daemon's counter back to 1.
            if (daemon[i].first != 1) {
                EXPECT_TRUE(check[i].first == daemon[i].first ||
                            check[i].first == daemon[i].first - 1)
                    << name << " " << check[i].second;
            }
        }
    }
    std::filesystem::current_path(dir_);
}

TEST_F(CheckToolTest, RulesThatNeverTakeEffect) {
    const std::string base = "sleep 60\nwarn 60\n";  // lines 1 and 2
    WriteFile("people", "alice\nnobodyhere\n");
    const struct {
        std::string text;
        std::string warnings;
    } cases[] = {
        {"timeout login alice 60\ntimeout login alice 90\ntimeout login alice 60\n",
         "q.cf:4: warning: timeout rule never decides: q.cf:3 comes first for login 'alice'\n"},
        {"session default 10\ntimeout default 5\ntimeout default 6\n",
         "q.cf:5: warning: timeout rule never decides: q.cf:4 comes first for default\n"
         "q.cf: warning: session limits are never enforced: no \"threshold session\" (add "
         "\"threshold session 1\" to enforce them always)\n"},
        {"exempt tty /dev/ttyv0 idle\n",
         "q.cf:3: warning: tty rule '/dev/ttyv0' never matches: tty rules name the line without "
         "\"/dev/\"\n"},
        {"refuse tty abcdefghijabcdefghijabcdefghijabc\n",
         "q.cf:3: warning: tty rule 'abcdefghijabcdefghijabcdefghijabc' never matches: line names "
         "have at most 32 characters\n"},
        {"timeout host averyveryverylonghost.example 5\ntimeout host averyveryverylonghost.other "
         "6\n",
         "q.cf:3: warning: host rule 'averyveryverylonghost.example' is compared on its first 16 "
         "characters: it matches every host beginning with 'averyveryverylon'\n"
         "q.cf:4: warning: host rule 'averyveryverylonghost.other' is compared on its first 16 "
         "characters: it matches every host beginning with 'averyveryverylon'\n"
         "q.cf:4: warning: timeout rule never decides: q.cf:3 comes first for host "
         "'averyveryverylonghost.other'\n"},
        {"refuse login abcdefghijabcdefghij\n",
         "q.cf:3: Warning parsing conf file:  unknown login name 'abcdefghijabcdefghij'.\n"
         "q.cf:3: warning: login rule 'abcdefghijabcdefghij' never matches: login names are kept "
         "to 18 characters\n"},
        {"maxuser login alice 2\nmaxuser group wheel 2\nmaxuser group staff 2\n",
         "q.cf:3: warning: maxuser login rule 'alice' sets no limit: only a group rule names the "
         "group to count, and this one keeps later group rules from the logins it matches\n"
         "q.cf:4: warning: maxuser rule for group 'wheel' is never enforced: group id 0 means no "
         "limit\n"},
        {"exempt file people all\n", "people:2: warning: unknown login name 'nobodyhere'\n"},
        {"multiples 2\nthreshold session 1\nsession login bob 60\n",
         "q.cf: warning: multiple logins are never limited: no \"threshold multiple\" (add "
         "\"threshold multiple 1\" to limit them always)\n"},
        {"warn 0\ntimeout default 30\n",
         "q.cf: warning: no grace: \"warn\" is 0, so idle and over-long sessions are logged out at "
         "once, without a warning\n"},
    };
    for (const auto& c : cases) {
        sleep_interval = 0;
        Check(base + c.text, true);
        EXPECT_EQ(Problems(), c.warnings) << c.text;
    }
    sleep_interval = 0;
    Check("", true);
    EXPECT_EQ(Problems(), "q.cf: warning: no \"sleep\": quelld checks the logins every second\n");
}

// Rules remember where they were written: the configuration line, or the
// list file and its line, counting the lines an over-long name swallows.
TEST_F(CheckToolTest, RuleOrigins) {
    WriteFile("names", "alice\n\nbob extra\nabcdefghijabcdefghijabcde\n\n   carol\n");
    ASSERT_EQ(Check("sleep 60\n\ntimeout file names 5\ntimeout login bob 7 # late\n"), 0);
    std::vector<std::string> got;
    for (const RuleNode* n = timeout_list->prev; n != timeout_list; n = n->prev)
        got.push_back(std::string(n->entry->name) + " " + check_rule_origin(n->entry) + " " +
                      check_rule_text(timeout_list, n->entry));
    EXPECT_EQ(got, (std::vector<std::string>{
                       "alice names:1 alice (list file, 5)",
                       "bob names:3 bob (list file, 5)",
                       "abcdefghijabcdefgh names:4 abcdefghijabcdefgh (list file, 5)",
                       "carol names:6 carol (list file, 5)",
                       "bob q.cf:4 timeout login bob 7",
                   }));
}

}  // namespace
