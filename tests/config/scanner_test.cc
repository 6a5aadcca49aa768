#include "config/scanner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "conf_fixture.h"
#include "config/tokens.h"

namespace {

// The keywords with the numbers rules store; written out independently of
// the scanner's own table.
const struct {
    const char* text;
    int token;
} kKeywords[] = {
    {"tty", 257},       {"host", 258},        {"login", 259},      {"group", 260},
    {"file", 261},      {"default", 262},     {"exempt", 263},     {"timeout", 264},
    {"sleep", 265},     {"warn", 266},        {"idlemethod", 267}, {"conswins", 268},
    {"session", 269},   {"refuse", 270},      {"multiples", 271},  {"maxuser", 272},
    {"idle", 274},      {"multiple", 275},    {"all", 277},        {"threshold", 278},
    {"userinput", 280}, {"inputoutput", 281}, {"normal", 282},     {"off", 283},
};

// Every token of the input scanned so far, space-separated: keywords as
// their text, NAME as [text], NUMBER as #value, NEWLINE as NL.
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
        } else if (t == NEWLINE) {
            out += "NL";
        } else {
            std::string kw = "?" + std::to_string(t);
            for (const auto& k : kKeywords)
                if (k.token == t)
                    kw = k.text;
            out += kw;
        }
    }
    return out;
}

class ScannerTest : public ConfTest {
   protected:
    std::string Scan(const std::string& text) {
        restart_scanner_from_memory(text.data(), text.size());
        return Describe();
    }
};

TEST_F(ScannerTest, EveryKeywordHasItsFixedNumber) {
    for (const auto& k : kKeywords) {
        std::string text = k.text;
        restart_scanner_from_memory(text.data(), text.size());
        EXPECT_EQ(next_token(), k.token) << k.text;
        EXPECT_EQ(next_token(), END_OF_INPUT) << k.text;
    }
}

TEST_F(ScannerTest, Tokens) {
    struct Case {
        const char* in;
        const char* tokens;
        const char* log;
    } cases[] = {
        // Longest match: a keyword followed by a name character is a name;
        // keywords are lower case only; a digit cannot start a name.
        {"allx tty0 login:x All TTY all", "[allx] [tty0] [login:x] [All] [TTY] all", ""},
        {"12ab", "#12 [ab]", ""},
        {"x-1", "[x] #-1", ""},
        {"a-b", "[a] [b]", "q.cf: line 1: Illegal character '-'.\n"},
        {"--5", "#-5", "q.cf: line 1: Illegal character '-'.\n"},
        {"1.5", "#1 #5", "q.cf: line 1: Illegal character '.'.\n"},
        {"a.b_c:d/e .x", "[a.b_c:d/e] [x]", "q.cf: line 1: Illegal character '.'.\n"},
        {"abc#def tty\nx", "[abc] NL [x]", ""},
        {"/ /dev/ttyv0", "[/] [/dev/ttyv0]", ""},
        {" \t \n# only a comment\n\t\n", "NL NL NL", ""},
        {"sleep 5\r\n", "sleep #5 NL", "q.cf: line 1: Illegal character '\r'.\n"},
        {"$x%\ny", "[x] NL [y]",
         "q.cf: line 1: Illegal character '$'.\nq.cf: line 1: Illegal character '%'.\n"},
        // Numbers beyond 32 bits saturate instead of wrapping.
        {"2147483647 2147483648 99999999999999999999", "#2147483647 #2147483647 #2147483647", ""},
        {"-2147483648 -2147483649 -99999999999999999999 007 -0",
         "#-2147483648 #-2147483648 #-2147483648 #7 #0", ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(log_file_);
        EXPECT_EQ(Scan(c.in), c.tokens) << c.in;
        EXPECT_EQ(Log(), c.log) << c.in;
    }
}

TEST_F(ScannerTest, NulAndHighBytes) {
    // Built here: a C string literal would stop at the NUL.
    std::string in("a\0b\x80\n", 5);
    EXPECT_EQ(Scan(in), "[a] [b] NL");
    EXPECT_EQ(Log(),
              "q.cf: line 1: Illegal character '\\0'.\n"
              "q.cf: line 1: Illegal character '\x80'.\n");
    EXPECT_EQ(conf_errors, 2);
}

TEST_F(ScannerTest, LinesAreCountedWhenTheLineFeedIsScanned) {
    std::string in = "a\n\n$\nb";
    restart_scanner_from_memory(in.data(), in.size());
    EXPECT_EQ(next_token(), NAME);
    EXPECT_EQ(conf_line, 1);
    EXPECT_EQ(next_token(), NEWLINE);
    EXPECT_EQ(conf_line, 2);
    EXPECT_EQ(next_token(), NEWLINE);
    EXPECT_EQ(next_token(), NEWLINE);  // the "$" is reported on line 3
    EXPECT_EQ(conf_line, 4);
    EXPECT_EQ(next_token(), NAME);
    EXPECT_EQ(next_token(), END_OF_INPUT);
    EXPECT_EQ(conf_line, 1);  // the end of the input starts the count again
    EXPECT_EQ(Log(), "q.cf: line 3: Illegal character '$'.\n");
    EXPECT_EQ(conf_errors, 1);
}

TEST_F(ScannerTest, NameTextIsTakenOnce) {
    std::string in = "alice bob";
    restart_scanner_from_memory(in.data(), in.size());
    ASSERT_EQ(next_token(), NAME);
    char* a = take_token_text();
    EXPECT_STREQ(a, "alice");
    EXPECT_EQ(take_token_text(), nullptr);
    std::free(a);
    ASSERT_EQ(next_token(), NAME);  // an untaken text is freed by the scanner
    ASSERT_EQ(next_token(), END_OF_INPUT);
    EXPECT_EQ(take_token_text(), nullptr);
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
    std::string from_memory = Scan(text);
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

TEST_F(ScannerTest, ErrorsInAFirstReadEndTheProgramAtTheEnd) {
    conf_mtime = 1;
    std::string in = "$\nsleep 5\n";
    EXPECT_EXIT(
        {
            restart_scanner_from_memory(in.data(), in.size());
            while (next_token() != END_OF_INPUT) {
            }
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Log(),
              "q.cf: line 1: Illegal character '$'.\n"
              "Aborting due to conf file syntax errors.\n");

    // Without errors, or once a read has finished, the end is just the end.
    std::filesystem::remove(log_file_);
    conf_errors = 0;
    in = "sleep 5\n";
    EXPECT_EQ(Scan(in), "sleep #5 NL");
    conf_errors = 7;
    conf_mtime = 2;
    EXPECT_EQ(Scan(in), "sleep #5 NL");
    EXPECT_EQ(Log(), "");
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
}

}  // namespace
