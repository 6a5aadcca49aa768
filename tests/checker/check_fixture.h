// Shared set-up for quelld-check's tests: the configuration fixture (fake
// users and groups, a private directory), run from that directory so that
// configurations are named "q.cf", with the problems and the reports caught
// in strings.
#ifndef QUELLD_TESTS_CHECK_CHECK_FIXTURE_H
#define QUELLD_TESTS_CHECK_CHECK_FIXTURE_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../config/conf_fixture.h"
#include "base/event_log.h"
#include "checker/check_conf.h"

class CheckToolTest : public ConfTest {
   protected:
    void SetUp() override {
        ConfTest::SetUp();
        back_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        problems_ = open_memstream(&problems_text_, &problems_size_);
        check_problems = problems_;
        check_capture_log();
    }

    void TearDown() override {
        log_hook = nullptr;
        check_problems = stderr;
        std::fclose(problems_);
        std::free(problems_text_);
        std::filesystem::current_path(back_);
        ConfTest::TearDown();
    }

    // Writes text as q.cf and reads it as quelld-check does; returns the
    // status.  Problems() then holds what it reported.
    int Check(const std::string& text, bool warnings = false) {
        WriteFile("q.cf", text);
        fake_.SetTimes("q.cf", 2000, 2000);  // the fake platform is what stat asks
        conf_path = "q.cf";
        int status = check_read_config();
        if (warnings)
            check_rules();
        return status;
    }

    // Everything written to check_problems so far, then forgotten.
    std::string Problems() {
        std::fclose(problems_);
        std::string s(problems_text_, problems_size_);
        std::free(problems_text_);
        problems_text_ = nullptr;
        problems_ = open_memstream(&problems_text_, &problems_size_);
        check_problems = problems_;
        return s;
    }

    // Runs report(out) and returns what it wrote.
    template <typename F>
    static std::string Report(F report) {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        report(out);
        std::fclose(out);
        std::string s(text, size);
        std::free(text);
        return s;
    }

    std::filesystem::path back_;
    FILE* problems_ = nullptr;
    char* problems_text_ = nullptr;
    size_t problems_size_ = 0;
};

#endif  // QUELLD_TESTS_CHECK_CHECK_FIXTURE_H
