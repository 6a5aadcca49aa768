// The hours command: its day lists and time spans, whom it names, and the
// reports and recovery of a malformed line.
#include "conf_fixture.h"
#include "config/hours_window.h"
#include "config/tokens.h"

namespace {

using HoursGrammarTest = ConfTest;

TEST_F(HoursGrammarTest, WindowsAndWhom) {
    WriteFile("late", "alice\nbob\n");
    std::string conf =
        "hours mon-fri 08:00-22:00 group students\n"
        "hours sat 10:00-16:00 default\n"
        "hours fri-mon,wed 22:00-6:00 login alice\n"
        "hours 0:00-24:00 tty pts/1\n"
        "hours sun 9:30-9:30 host lab.example\n"
        "exempt login alice hours\n"
        "hours sat,sun 20:00-23:00 file " +
        dir_ + "/late\n";
    EXPECT_EQ(ParseText(conf), 0);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(conf_errors, 0);
    char buf[64];
    std::string got;
    for (const RuleNode* n = hours_list->prev; n != hours_list; n = n->prev)
        got += std::to_string(n->entry->kind) + " " + (n->entry->name ? n->entry->name : "-") +
               " " + hours_format(n->entry->value, buf, sizeof buf) + "\n";
    EXPECT_EQ(got,
              "257 pts/1 00:00-24:00\n"
              "258 lab.example sun 09:30-09:30\n"
              "259 alice mon,wed,fri-sun 22:00-06:00\n"
              "259 alice sat,sun 20:00-23:00\n"
              "259 bob sat,sun 20:00-23:00\n"
              "260 students mon-fri 08:00-22:00\n"
              "262 - sat 10:00-16:00\n");
    EXPECT_EQ(Dump(exempt_list), "259 alice 0 " + std::to_string(HOURS) + "\n");
    EXPECT_EQ(hours_list->prev->prev->prev->prev->prev->prev->entry->id, 60);  // students
}

// Each bad line is reported as the other commands' are: the syntax error,
// then the command's message with the next line's number; the lines around
// it still count.
TEST_F(HoursGrammarTest, MalformedLinesAreReportedAndSkipped) {
    std::string conf =
        "hours mon-fry 08:00-22:00 default\n"  // no such day
        "hours mon 24:00-08:00 default\n"      // 24:00 only ends a window
        "hours mon 08:00-22:00\n"              // nobody
        "hours tue 8:00-9:00 login bob\n"      // good
        "sleep 8:00\n";                        // not a number
    EXPECT_EQ(ParseText(conf), 0);
    EXPECT_EQ(Log(),
              "q.cf: line 1: syntax error\n"
              "q.cf: line 2: Malformed hours command.\n"
              "q.cf: line 2: syntax error\n"
              "q.cf: line 3: Malformed hours command.\n"
              "q.cf: line 4: syntax error\n"
              "q.cf: line 4: Malformed hours command.\n"
              "q.cf: line 5: syntax error\n"
              "q.cf: line 6: Malformed sleep command.\n");
    ASSERT_EQ(Dump(hours_list), "259 bob 0 " + std::to_string(hours_window(4, 480, 540)) + "\n");
}

}  // namespace
