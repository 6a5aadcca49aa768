// How list files are cut into names; which list, kind and value each file
// command gives is covered by the golden cases (golden_test.cc).
#include "config/rule_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conf_fixture.h"
#include "config/tokens.h"

namespace {

using RuleListTest = ConfTest;

// The names a list file gives, in file order (the list holds them newest
// first), each in brackets so that blanks and carriage returns show.
std::string Names(const RuleList* list) {
    std::string out;
    for (const RuleNode* n = list->prev; n != list; n = n->prev)
        out += std::string("[") + n->entry->name + "]";
    return out;
}

TEST_F(RuleListTest, ListFileLines) {
    struct Case {
        std::string text;
        const char* names;
    } cases[] = {
        {"alice\nbob\n", "[alice][bob]"},
        {"alice\nbob", "[alice][bob]"},  // last line without a line feed
        {"", ""},
        {"\n\n  \n\t\n", "[\t]"},  // only a space ends a name
        {"alice some comment\n  bob\n", "[alice]"},
        {"#staff\ncarol\tx\n", "[#staff][carol\tx]"},
        {"alice\r\nbob\r\n", "[alice\r][bob\r]"},
        {"abcdefghijklmnopqrstuvwxy\nz\n", "[abcdefghijklmnopqr][z]"},
        {"abcdefghijklmnopqr\n  z\n", "[abcdefghijklmnopqr]"},  // 18: nothing skipped
        {"abcdefghijklmnopqr", "[abcdefghijklmnopqr]"},
        // After an over-long line, blank lines and the next line's leading
        // blanks go with it.
        {"abcdefghijklmnopqrs\n\n \t\n  \tzed\n  x\n", "[abcdefghijklmnopqr][zed]"},
        {"abcdefghijklmnopqrst\r\n\r\n  zed\r\n", "[abcdefghijklmnopqr][zed\r]"},
        {"abcdefghijklmnopqrs", "[abcdefghijklmnopqr]"},
        {"abcdefghijklmnopqrs\n", "[abcdefghijklmnopqr]"},
        {"abcdefghijklmnopq xyz\n", "[abcdefghijklmnopq]"},
        {std::string("a\0b\nc\n", 6), "[a][c]"},
    };
    for (const Case& c : cases) {
        std::string path = WriteFile("list", c.text);
        read_list_file(TIMEOUT, path.c_str(), 5);
        EXPECT_EQ(Names(timeout_list), c.names) << c.text;
        ClearLists();
    }
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(conf_errors, 0);
}

TEST_F(RuleListTest, MissingFileIsAConfigurationError) {
    conf_line = 7;
    read_list_file(REFUSE, "/nonexistent/list", 0);
    EXPECT_EQ(Log(), "q.cf: line 7: Could not open file '/nonexistent/list'\n");
    EXPECT_EQ(conf_errors, 1);
    EXPECT_EQ(refuse_list->next, refuse_list);

    // A path too long for a short message buffer is reported whole.
    std::filesystem::remove(log_file_);
    std::string longpath = "/nonexistent/" + std::string(600, 'p');
    read_list_file(REFUSE, longpath.c_str(), 0);
    EXPECT_EQ(Log(), "q.cf: line 7: Could not open file '" + longpath + "'\n");

    // Only a regular file is read: a directory would fail at its first read
    // and a FIFO would block the daemon until some writer came along.
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir_, fifo}) {
        std::filesystem::remove(log_file_);
        read_list_file(REFUSE, path.c_str(), 0);
        EXPECT_EQ(Log(), "q.cf: line 7: Could not open file '" + path + "'\n");
    }
}

}  // namespace
