#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "os/platform_os.h"

namespace {

// The command name between the parentheses is the process's own to choose:
// parentheses, ") " sequences, newlines and digits in it never shift the
// fields that decide whether a process is killed.
TEST(ProcStatTest, FieldsAfterTheLastParenthesis) {
    const std::string tail = " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n";
    struct Case {
        std::string line;
        int ok;
        char state;
        int session;
        unsigned tty_nr;
        unsigned long long start;
    } cases[] = {
        {"123 (bash) S 1 123 123 34816 123 4194560 0 0 0 0 0 0 0 0 20 0 1 0 987654 " + tail, 0, 'S',
         123, 34816, 987654},
        {"9 (a) Z 1 2 3 4) 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20) S 1 7 7 0 -1 0 0 0 0 0 0 "
         "0 0 0 20 0 1 0 55\n",
         0, 'S', 7, 0, 55},
        {"9 (x\n1 (y) R 1 1 1 34817 1) S 5 6 77 1025 -1 0 0 0 0 0 0 0 0 0 20 -5 1 0 66 7\n", 0, 'S',
         77, 1025, 66},
        {"9 ()) ) R 1 2 3 34818 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19" + tail, 0, 'R', 3, 34818,
         19},
        {"9 (short) S 1 2 3", -1, 0, 0, 0, 0},  // cut before tty_nr
        {"9 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18", -1, 0, 0, 0, 0},  // no start
        {"9 no parenthesis S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", -1, 0, 0, 0, 0},
        {"9 (x) S 1 2 3 4x 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", -1, 0, 0, 0, 0},
        {"9 (x) S 1 2 3 99999999999999999999999 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", -1, 0, 0,
         0, 0},
        {"9 (x) S 1 2 -3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", 0, 'S', 0, 4, 19},
        {"", -1, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ProcStat st{};
        ASSERT_EQ(os_proc_stat_parse(c.line.data(), c.line.size(), &st), c.ok) << c.line;
        if (c.ok != 0)
            continue;
        EXPECT_EQ(st.state, c.state) << c.line;
        EXPECT_EQ(st.session, c.session) << c.line;
        EXPECT_EQ(st.tty_nr, c.tty_nr) << c.line;
        EXPECT_EQ(st.start, c.start) << c.line;
    }
}

}  // namespace
