// How list files are cut into names; which list, kind and value each file
// command gives is covered by the golden cases (golden_test.cc).
#include "config/rule_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

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

// Rules of mixed kinds, added in random order, sit by kind (highest first)
// and within a kind newest first, through emptyings of the list; in one of
// the five lists (which remember where each kind begins) and in another.
TEST_F(RuleListTest, AddRuleOrder) {
    std::mt19937 rng(7);
    const int32_t kinds[] = {TTY, HOST, LOGIN, GROUP, FILE_, DEFAULT, 0, 300};
    RuleNode other{&other, &other, nullptr};
    for (RuleList* list : {timeout_list, &other}) {
        for (int round = 0; round < 20; ++round) {
            clear_rules(list);
            std::vector<std::pair<int32_t, int32_t>> model;  // (kind, serial), list order
            int n = static_cast<int>(rng() % 60);
            for (int i = 0; i < n; ++i) {
                int32_t kind = kinds[rng() % 8];
                add_rule(list, kind, nullptr, 0, i);
                auto at = model.begin();
                while (at != model.end() && at->first > kind) ++at;
                model.insert(at, {kind, i});
            }
            std::vector<std::pair<int32_t, int32_t>> got;
            for (const RuleNode* node = list->next; node != list; node = node->next) {
                got.emplace_back(node->entry->kind, node->entry->value);
                ASSERT_EQ(node->next->prev, node);
            }
            ASSERT_EQ(got, model) << "round " << round;
        }
        clear_rules(list);
    }
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
