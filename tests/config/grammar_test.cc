#include "config/grammar.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "conf_fixture.h"

namespace {

using GrammarTest = ConfTest;

TEST_F(GrammarTest, SettingCommands) {
    struct Case {
        const char* line;
        int32_t* setting;
        int32_t value;
    } cases[] = {
        {"sleep 60", &sleep_interval, 60},
        {"warn 30", &warn_time, 30},
        {"threshold multiple 4", &multiple_threshold, 4},
        {"threshold session 7", &session_threshold, 7},
        {"multiples 2", &multiples, 2},
        {"multiples -3", &multiples, -3},
        {"idlemethod inputoutput", &idle_method, 1},
        {"idlemethod userinput", &idle_method, 0},
        {"session default 10", &session_default, 10},  // minutes, unconverted
        {"session refuse 10", &refuse_time, 600},
        {"session refuse 99999999", &refuse_time, INT32_MAX},  // saturated, never wrapped
        {"session refuse -99999999", &refuse_time, INT32_MIN},
        {"conswins idle 5", &console_idle, 300},
        {"conswins idle -1", &console_idle, -60},  // only the keyword means off
        {"conswins idle normal", &console_idle, -2},
        {"conswins idle off", &console_idle, -1},
        {"conswins session 2", &console_session, 120},
        {"conswins session 2147483647", &console_session, INT32_MAX},
        {"conswins session normal", &console_session, -2},
        {"conswins session off", &console_session, -1},
        {"conswins multiple 2", &console_multiple, 2},  // a count, not minutes
        {"conswins multiple normal", &console_multiple, -2},
        {"conswins multiple off", &console_multiple, -1},
    };
    for (const Case& c : cases) {
        *c.setting = 12345;
        EXPECT_EQ(ParseText(std::string(c.line) + "\n"), 0) << c.line;
        EXPECT_EQ(*c.setting, c.value) << c.line;
    }
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(conf_errors, 0);
    EXPECT_EQ(ParseText("sleep 60\nsleep 5\n"), 0);
    EXPECT_EQ(sleep_interval, 5);  // the later line wins
}

TEST_F(GrammarTest, RuleCommands) {
    struct Case {
        const char* line;
        RuleList** list;
        const char* dump;
    } cases[] = {
        {"exempt tty ttyv0 idle", &exempt_list, "257 ttyv0 0 274\n"},
        {"exempt host remote.example.org multiple", &exempt_list, "258 remote.example.org 0 275\n"},
        {"exempt login alice session", &exempt_list, "259 alice 0 269\n"},
        {"exempt group staff refuse", &exempt_list, "260 staff 50 270\n"},
        {"exempt group wheel all", &exempt_list, "260 wheel 0 277\n"},
        {"refuse login bob", &refuse_list, "259 bob 0 0\n"},
        {"refuse tty pts/3", &refuse_list, "257 pts/3 0 0\n"},
        {"session login alice 240", &session_list, "259 alice 0 240\n"},  // minutes
        {"session host h 5", &session_list, "258 h 0 5\n"},
        {"timeout group students 15", &timeout_list, "260 students 60 15\n"},
        {"timeout default 10", &timeout_list, "262 - 0 10\n"},
        {"timeout tty ttyv1 -5", &timeout_list, "257 ttyv1 0 -5\n"},
        {"maxuser group staff 3", &maxuser_list, "260 staff 50 3\n"},
        {"maxuser login alice 0", &maxuser_list, "259 alice 0 0\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseText(std::string(c.line) + "\n"), 0) << c.line;
        EXPECT_EQ(Dump(*c.list), c.dump) << c.line;
        ClearLists();
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(GrammarTest, RulesKeepKindOrderNewestFirst) {
    ASSERT_EQ(ParseText("timeout login alice 5\n"
                        "timeout default 30\n"
                        "timeout tty ttyv0 1\n"
                        "timeout group staff 10\n"
                        "timeout login bob 7\n"
                        "timeout login alice 9\n"),
              0);
    EXPECT_EQ(Dump(timeout_list),
              "262 - 0 30\n"
              "260 staff 50 10\n"
              "259 alice 0 9\n"
              "259 bob 0 7\n"
              "259 alice 0 5\n"
              "257 ttyv0 0 1\n");
    // Backwards, rules of one kind come in the order they were written.
    std::string back;
    for (RuleNode* n = timeout_list->prev; n != timeout_list; n = n->prev)
        back += std::to_string(n->entry->value) + " ";
    EXPECT_EQ(back, "1 5 7 9 10 30 ");
}

TEST_F(GrammarTest, NameLookups) {
    ASSERT_EQ(ParseText("exempt login nobodyhere all\n"
                        "timeout group nosuchgroup 5\n"
                        "maxuser group nosuchgroup 2\n"
                        "refuse host nosuchhost\n"
                        "refuse tty nosuchtty\n"),
              0);
    EXPECT_EQ(Log(),
              "Warning parsing conf file:  unknown login name 'nobodyhere'.\n"
              "Error parsing conf file:  unknown group name 'nosuchgroup'.\n"
              "Error parsing conf file:  unknown group name 'nosuchgroup'.\n");
    EXPECT_EQ(conf_errors, 0);  // lookups are not configuration errors
    // The rules are still added; an unknown group gets an id no group list
    // holds (lists end at their first negative entry).
    EXPECT_EQ(Dump(exempt_list), "259 nobodyhere 0 277\n");
    EXPECT_EQ(Dump(timeout_list), "260 nosuchgroup -1 5\n");
    EXPECT_EQ(Dump(maxuser_list), "260 nosuchgroup -1 2\n");
    EXPECT_EQ(UNKNOWN_GROUP_ID, -1);
}

// Each case is parsed as a later read; the log is compared whole.
TEST_F(GrammarTest, ErrorCatalogue) {
    struct Case {
        const char* in;
        int result;
        const char* log;
    } cases[] = {
        {"sleep 1\nexempt tty ttyv0 maxuser\nsleep 2\n", 0,
         "q.cf: line 2: syntax error\nq.cf: line 3: Malformed exempt command.\n"},
        // A line that ends too early is reported on the next line's number.
        {"sleep\n", 0, "q.cf: line 2: syntax error\nq.cf: line 2: Malformed sleep command.\n"},
        {"login bob\n", 0, "q.cf: line 1: syntax error\n"},
        {"42\nidle\n\n\n/x\n", 0, "q.cf: line 1: syntax error\nq.cf: line 5: syntax error\n"},
        // Quiet recovery: a line failing at its first or second token right
        // after a bad one gets only its own message.
        {"sleep x\nwarn y\n", 0,
         "q.cf: line 1: syntax error\nq.cf: line 2: Malformed sleep command.\n"
         "q.cf: line 3: Malformed warn command.\n"},
        {"sleep x\n\nwarn y\n", 0,
         "q.cf: line 1: syntax error\nq.cf: line 2: Malformed sleep command.\n"
         "q.cf: line 3: syntax error\nq.cf: line 4: Malformed warn command.\n"},
        {"sleep x\nsession default y\n", 0,
         "q.cf: line 1: syntax error\nq.cf: line 2: Malformed sleep command.\n"
         "q.cf: line 2: syntax error\nq.cf: line 3: Malformed session command.\n"},
        {"login x\nlogin y\nsleep\nsleep 3\n", 0,
         "q.cf: line 1: syntax error\nq.cf: line 4: Malformed sleep command.\n"},
        {"timeout login idle 5\n", 0,
         "q.cf: line 1: syntax error\nq.cf: line 2: Malformed timeout command.\n"},
        {"exempt group nosuchgroup\n", 0,
         "Error parsing conf file:  unknown group name 'nosuchgroup'.\n"
         "q.cf: line 2: syntax error\nq.cf: line 2: Malformed exempt command.\n"},
        {"conswins idle 5 $\n", 0, "q.cf: line 1: Illegal character '$'.\n"},
        // The end of the input inside a line: the parse stops with 1.
        {"sleep 5", 1, "q.cf: line 1: syntax error\n"},
        {"sleep 1\nsleep", 1, "q.cf: line 1: syntax error\n"},
        {"sleep x y", 1, "q.cf: line 1: syntax error\n"},
        {"login x\nsleep", 1, "q.cf: line 1: syntax error\n"},
        {"", 0, ""},
        {"# comment only\n\n   \n", 0, ""},
        {"sleep 9\n# no line feed", 0, ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        EXPECT_EQ(ParseText(c.in), c.result) << c.in;
        EXPECT_EQ(Log(), c.log) << c.in;
        EXPECT_EQ(conf_line, 1) << c.in;
    }
}

TEST_F(GrammarTest, EveryCommandHasItsOwnMessage) {
    struct Case {
        const char* line;
        int error_line;  // 4 when the line feed itself is the offending token
        const char* message;
    } cases[] = {
        {"threshold idle 3", 3, "Malformed threshold command."},
        {"threshold multiple", 4, "Malformed threshold command."},
        {"exempt login alice", 4, "Malformed exempt command."},
        {"exempt file /x maxuser", 3, "Malformed exempt command."},
        {"refuse default", 3, "Malformed refuse command."},
        {"refuse file", 4, "Malformed refuse command."},
        {"session login alice", 4, "Malformed session command."},
        {"session file /x", 4, "Malformed session command."},
        {"timeout default", 4, "Malformed timeout command."},
        {"timeout host 5 5", 3, "Malformed timeout command."},
        {"sleep 5 5", 3, "Malformed sleep command."},
        {"warn off", 3, "Malformed warn command."},
        {"idlemethod normal", 3, "Malformed idlemethod command."},
        {"idlemethod userinput 1", 3, "Malformed idlemethod command."},
        {"conswins refuse 1", 3, "Malformed cons(ole) win(dow)s command."},
        {"conswins idle all", 3, "Malformed cons(ole) win(dow)s command."},
        {"conswins multiple off 1", 3, "Malformed cons(ole) win(dow)s command."},
        {"multiples x", 3, "Malformed multiples command."},
        {"maxuser default 3", 3, "Malformed maxuser command."},
        {"maxuser group staff", 4, "Malformed maxuser command."},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        int before = conf_errors;
        // The line is third, after one that must survive; a good line after
        // it must take effect too.
        std::string in = "sleep 1\n\n" + std::string(c.line) + "\nwarn 8\n";
        warn_time = 0;
        EXPECT_EQ(ParseText(in), 0) << c.line;
        EXPECT_EQ(conf_errors - before, 2) << c.line;
        EXPECT_EQ(Log(), "q.cf: line " + std::to_string(c.error_line) +
                             ": syntax error\nq.cf: line 4: " + c.message + "\n")
            << c.line;
        EXPECT_EQ(warn_time, 8) << c.line;
        EXPECT_EQ(Dump(exempt_list) + Dump(refuse_list) + Dump(session_list) + Dump(timeout_list) +
                      Dump(maxuser_list),
                  "")
            << c.line;
    }
}

TEST_F(GrammarTest, AnUnfinishedLineLeavesEarlierCommandsInForce) {
    sleep_interval = 77;
    EXPECT_EQ(ParseText("multiples 4\ntimeout default 5\nsleep 5"), 1);
    EXPECT_EQ(sleep_interval, 77);
    EXPECT_EQ(multiples, 4);
    EXPECT_EQ(Dump(timeout_list), "262 - 0 5\n");
}

TEST_F(GrammarTest, ListFileCommands) {
    std::string names = WriteFile("names", "alice\nbob\n");
    std::string in = "exempt file " + names + " idle\n" + "refuse file " + names + "\n" +
                     "session file " + names + " 30\n" + "timeout file " + names + " 20\n" +
                     "timeout file " + names + " 25\n" + "maxuser file " + names + " 2\n" +
                     "session file " + dir_ + "/missing 5\n";
    EXPECT_EQ(ParseText(in), 0);
    EXPECT_EQ(Dump(exempt_list), "259 bob 0 274\n259 alice 0 274\n");
    EXPECT_EQ(Dump(refuse_list), "259 bob 0 0\n259 alice 0 0\n");
    EXPECT_EQ(Dump(session_list), "259 bob 0 30\n259 alice 0 30\n");
    // A file named twice gives each name twice.
    EXPECT_EQ(Dump(timeout_list), "259 bob 0 25\n259 alice 0 25\n259 bob 0 20\n259 alice 0 20\n");
    EXPECT_EQ(Dump(maxuser_list), "260 bob -1 2\n260 alice -1 2\n");
    EXPECT_EQ(Log(),
              "Error parsing conf file:  unknown group name 'alice'.\n"
              "Error parsing conf file:  unknown group name 'bob'.\n"
              "q.cf: line 8: Could not open file '" +
                  dir_ + "/missing'\n");
    EXPECT_EQ(conf_errors, 1);
}

}  // namespace
