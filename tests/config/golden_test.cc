// Golden configurations: each cases/N.cf is parsed as a later read, from the
// cases directory (so that it can name the list files there), and the event
// log it leaves, followed by a summary the test writes (the result, the
// settings and the five lists), must equal cases/N.log.  Run with
// QUELLD_UPDATE_GOLDEN=1 to rewrite the .log files, then review the diff.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "conf_fixture.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCases = fs::path(__FILE__).parent_path() / "cases";

using GoldenTest = ConfTest;

void LogSummary(int result) {
    log_line("-- parse_conf %d conf_errors %d conf_line %d", result, conf_errors, conf_line);
    log_line("sleep_interval %d warn_time %d multiple_threshold %d session_threshold %d",
             sleep_interval, warn_time, multiple_threshold, session_threshold);
    log_line("multiples %d idle_method %d session_default %d refuse_time %d", multiples,
             idle_method, session_default, refuse_time);
    log_line("console_idle %d console_session %d console_multiple %d", console_idle,
             console_session, console_multiple);
    const struct {
        const char* name;
        RuleList* list;
    } lists[] = {{"exempt_list", exempt_list},
                 {"refuse_list", refuse_list},
                 {"timeout_list", timeout_list},
                 {"session_list", session_list},
                 {"maxuser_list", maxuser_list}};
    for (const auto& l : lists) {
        log_line("%s:", l.name);
        for (const RuleNode* n = l.list->next; n != l.list; n = n->next)
            log_line("  %d %s %d %d", n->entry->kind, n->entry->name ? n->entry->name : "-",
                     n->entry->id, n->entry->value);
    }
}

TEST_F(GoldenTest, Cases) {
    std::vector<fs::path> inputs;
    for (const fs::directory_entry& e : fs::directory_iterator(kCases))
        if (e.path().extension() == ".cf")
            inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << kCases;
    bool update = std::getenv("QUELLD_UPDATE_GOLDEN") != nullptr;

    struct InCases {
        fs::path back = fs::current_path();
        InCases() { fs::current_path(kCases); }
        ~InCases() { fs::current_path(back); }
    } in_cases;
    for (const fs::path& cf : inputs) {
        fs::remove(log_file_);
        ClearLists();
        settings_init();
        settings_reset();
        std::string name = cf.filename().string();
        conf_path = name.c_str();
        conf_mtime = 2;
        conf_errors = 0;

        FILE* f = std::fopen(name.c_str(), "r");
        ASSERT_NE(f, nullptr) << name;
        restart_scanner(f);
        int result = parse_conf();
        restart_scanner(nullptr);
        std::fclose(f);
        LogSummary(result);

        fs::path expected_path = fs::path(cf).replace_extension(".log");
        if (update) {
            std::ofstream(expected_path, std::ios::binary) << Log();
            continue;
        }
        std::ifstream in(expected_path, std::ios::binary);
        std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
        EXPECT_EQ(Log(), expected) << name;
    }
    conf_path = "q.cf";
}

}  // namespace
