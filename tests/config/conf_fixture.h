// Shared set-up for the configuration tests: a private directory for the
// event log and list files (under a path the configuration language can
// name: no "-"), a fake platform with a few users and groups, and the
// configuration globals put back as before a later read (so that
// conf_input_end never ends the test process unless a test asks for it).
#ifndef QUELLD_TESTS_CONFIG_CONF_FIXTURE_H
#define QUELLD_TESTS_CONFIG_CONF_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/event_log.h"
#include "config/grammar.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "fake_platform.h"

class ConfTest : public testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quelldconf_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_file_ = dir_ + "/quelld.log";
        saved_log_path_ = log_path;
        log_path = log_file_.c_str();
        fake_.AddUser("alice", 1001, 50);
        fake_.AddUser("bob", 1002, 50);
        fake_.AddGroup("wheel", 0, {"alice"});
        fake_.AddGroup("staff", 50);
        fake_.AddGroup("students", 60, {"bob"});
        fake_.AddGroup("syslog", 110);  // Debian's, a keyword as well
        fake_.Install();
        static bool lists_made = false;
        if (!lists_made)
            rule_lists_init();
        lists_made = true;
        ClearLists();
        settings_init();
        settings_reset();
        conf_path = "q.cf";
        conf_mtime = 2;
        conf_line = 1;
        conf_errors = 0;
        restart_scanner(nullptr);
    }

    void TearDown() override {
        restart_scanner(nullptr);
        ClearLists();
        settings_init();
        log_path = saved_log_path_;
        std::filesystem::remove_all(dir_);
    }

    static void ClearLists() {
        for (RuleList* l :
             {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list})
            clear_rules(l);
    }

    // The event log written so far.
    std::string Log() const {
        std::ifstream in(log_file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Writes a file in the private directory; returns its path.
    std::string WriteFile(const std::string& name, const std::string& text) const {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Parses text from memory; returns parse_conf's result.
    static int ParseText(const std::string& text) {
        restart_scanner_from_memory(text.data(), text.size());
        int r = parse_conf();
        restart_scanner(nullptr);
        return r;
    }

    // A list read forward, one "kind name id value" entry per line.
    static std::string Dump(const RuleList* list) {
        std::string out;
        for (const RuleNode* n = list->next; n != list; n = n->next) {
            const RuleEntry* e = n->entry;
            out += std::to_string(e->kind) + " " + (e->name ? e->name : "-") + " " +
                   std::to_string(e->id) + " " + std::to_string(e->value) + "\n";
        }
        return out;
    }

    FakePlatform fake_;
    std::string dir_;
    std::string log_file_;
    const char* saved_log_path_ = nullptr;
};

#endif  // QUELLD_TESTS_CONFIG_CONF_FIXTURE_H
