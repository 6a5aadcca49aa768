// Token-level cases; how tokens and reports meet the parser is covered by
// the golden cases (golden_test.cc).
#include "config/scanner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "conf_fixture.h"
#include "config/tokens.h"

namespace {

// Every token up to the end of the input, space-separated: NAME as [text],
// NUMBER as #value, NEWLINE as NL, keywords as their number.
std::string Describe() {
    std::string out;
    for (int t; (t = next_token()) != END_OF_INPUT;) {
        if (!out.empty())
            out += ' ';
        if (t == NAME) {
            char* text = take_token_text();
            out += std::string("[") + text + "]";
            std::free(text);
        } else if (t == NUMBER) {
            out += "#" + std::to_string(token_number);
        } else {
            out += t == NEWLINE ? "NL" : std::to_string(t);
        }
    }
    return out;
}

using ScannerTest = ConfTest;

TEST_F(ScannerTest, Tokens) {
    struct Case {
        const char* in;
        const char* tokens;
        const char* log;
    } cases[] = {
        // Longest match: a keyword followed by a name character is a name;
        // keywords are lower case only; a digit cannot start a name.
        {"allx tty0 login:x All TTY all tty", "[allx] [tty0] [login:x] [All] [TTY] 277 257", ""},
        {"12ab", "#12 [ab]", ""},
        {"x-1", "[x] #-1", ""},
        {"a-b", "[a] [b]", "q.cf: line 1: Illegal character '-'.\n"},
        {"--5", "#-5", "q.cf: line 1: Illegal character '-'.\n"},
        {"1.5", "#1 #5", "q.cf: line 1: Illegal character '.'.\n"},
        {"a.b_c:d/e .x", "[a.b_c:d/e] [x]", "q.cf: line 1: Illegal character '.'.\n"},
        {"abc#def tty\nx", "[abc] NL [x]", ""},
        {"/ /dev/ttyv0", "[/] [/dev/ttyv0]", ""},
        {" \t \n# only a comment\n\t\n", "NL NL NL", ""},
        {"$x%\ny$", "[x] NL [y]",
         "q.cf: line 1: Illegal character '$'.\nq.cf: line 1: Illegal character '%'.\n"
         "q.cf: line 2: Illegal character '$'.\n"},
        // Numbers beyond 32 bits saturate instead of wrapping.
        {"2147483647 2147483648 99999999999999999999", "#2147483647 #2147483647 #2147483647", ""},
        {"-2147483648 -2147483649 -99999999999999999999 007 -0",
         "#-2147483648 #-2147483648 #-2147483648 #7 #0", ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        restart_scanner_from_memory(c.in, std::strlen(c.in));
        EXPECT_EQ(Describe(), c.tokens) << c.in;
        EXPECT_EQ(Log(), c.log) << c.in;
        EXPECT_EQ(conf_line, 1) << c.in;  // the end of the input starts the count again
    }
}

// A stream is read in blocks: tokens and comments that cross a block
// boundary scan as they do from memory.
TEST_F(ScannerTest, StreamMatchesMemoryAcrossBlocks) {
    std::string text;
    for (int i = 0; text.size() < 40000; ++i) {
        text += "timeout login user_" + std::to_string(i) + " " + std::to_string(i * 7) +
                " # comment " + std::string(static_cast<size_t>(i % 50), 'c') + "\n";
        if (i % 97 == 0)
            text += "/" + std::string(static_cast<size_t>(i % 300), 'n') + " $\n";
    }
    restart_scanner_from_memory(text.data(), text.size());
    std::string from_memory = Describe();
    std::string errors = Log();
    std::filesystem::remove(log_file_);

    FILE* f = std::fopen(WriteFile("big.cf", text).c_str(), "r");
    ASSERT_NE(f, nullptr);
    restart_scanner(f);
    EXPECT_EQ(Describe(), from_memory);
    restart_scanner(nullptr);
    std::fclose(f);
    EXPECT_EQ(Log(), errors);
}

TEST_F(ScannerTest, ReadErrorExitsWithStatus2) {
    FILE* f = std::fopen(dir_.c_str(), "r");  // a directory: reading it fails
    ASSERT_NE(f, nullptr);
    EXPECT_EXIT(
        {
            restart_scanner(f);
            next_token();
        },
        testing::ExitedWithCode(2), "^quelld: cannot read configuration file: Is a directory\n$");
    std::fclose(f);
    // Also in the event log, since a detached daemon's standard error is closed.
    EXPECT_EQ(Log(), "quelld: cannot read configuration file: Is a directory\n");
}

}  // namespace
