#include "config/rule_list.h"

#include <gtest/gtest.h>

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

TEST_F(RuleListTest, CommandChoosesListKindAndValue) {
    std::string path = WriteFile("list", "alice\nstaff\nnosuchgroup\n");
    read_list_file(EXEMPT, path.c_str(), ALL);
    read_list_file(TIMEOUT, path.c_str(), 30);
    read_list_file(SESSION, path.c_str(), 240);
    read_list_file(REFUSE, path.c_str(), 0);
    EXPECT_EQ(Log(), "");  // login names are never looked up
    read_list_file(MAXUSER, path.c_str(), 3);
    const char* logins = "259 nosuchgroup 0 %d\n259 staff 0 %d\n259 alice 0 %d\n";
    auto expect = [&](int v) {
        char buf[128];
        std::snprintf(buf, sizeof buf, logins, v, v, v);
        return std::string(buf);
    };
    EXPECT_EQ(Dump(exempt_list), expect(277));
    EXPECT_EQ(Dump(timeout_list), expect(30));
    EXPECT_EQ(Dump(session_list), expect(240));
    EXPECT_EQ(Dump(refuse_list), expect(0));
    EXPECT_EQ(Dump(maxuser_list), "260 nosuchgroup -1 3\n260 staff 50 3\n260 alice -1 3\n");
    EXPECT_EQ(Log(),
              "Error parsing conf file:  unknown group name 'alice'.\n"
              "Error parsing conf file:  unknown group name 'nosuchgroup'.\n");
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
}

TEST_F(RuleListTest, ClearEmptiesAList) {
    add_rule(session_list, LOGIN, strdup("a"), 0, 1);
    add_rule(session_list, DEFAULT, nullptr, 0, 2);
    add_rule(session_list, TTY, strdup("t"), 0, 3);
    clear_rules(session_list);
    EXPECT_EQ(session_list->next, session_list);
    EXPECT_EQ(session_list->prev, session_list);
    add_rule(session_list, HOST, strdup("h"), 0, 4);
    EXPECT_EQ(Dump(session_list), "258 h 0 4\n");
}

}  // namespace
