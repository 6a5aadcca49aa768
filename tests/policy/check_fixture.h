// A fixture for the policy checks: a fake platform, a clean session table
// and settings as after a configuration read, and a way to see what each
// warning child would have been given.
#ifndef QUELLD_TESTS_POLICY_CHECK_FIXTURE_H
#define QUELLD_TESTS_POLICY_CHECK_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/session_table.h"
#include "config/settings.h"
#include "enforce/warn.h"
#include "fake_platform.h"
#include "policy/clock_step.h"
#include "policy/session_check.h"

class CheckTest : public testing::Test {
   protected:
    // What a warning child would see of its session at fork time.
    struct Fork {
        std::string user;
        std::string tty;
        int32_t idle_limit;
        int32_t session_limit;
        int64_t next_check;
        uint32_t warned;
        int64_t shown;  // what the text shows (warn's shown)
    };

    void SetUp() override {
        fake.Install();
        settings_init();
        settings_reset();
        session_table_reset();
        session_table_reserve(500);
        clock_step_reset();
        recent_session_users_reset();
        unwritable_reset();
        std::snprintf(log_file, sizeof log_file, "/tmp/quelld-check-test-%d.log", getpid());
        log_path = log_file;
        warn_observer = [](const SessionRecord*, int, int64_t shown) { last_shown = shown; };
        fake.on_fork = [this] {
            // The record is the one whose fields the test watches: report all
            // sessions in use, the warned one is told apart by the caller.
            for (int i = 0; i < used; ++i) {
                const SessionRecord& r = SessionTable[i];
                if (watch >= 0 && i != watch)
                    continue;
                forks.push_back({r.user, r.tty_path, r.idle_limit, r.session_limit, r.next_check,
                                 r.warned, last_shown});
            }
        };
    }

    void TearDown() override {
        warn_observer = nullptr;
        std::remove(log_file);
        recent_session_users_reset();
        unwritable_reset();
    }

    // A login in the next free slot, also appended to ActiveSessions.
    SessionRecord* Login(const char* user, const char* line, time_t login_time) {
        SessionRecord* r = &SessionTable[used];
        session_record_clear(r);
        session_groups_room(r, 4)[0] = -1;  // room a test fills in
        r->idle_limit = -1;
        std::snprintf(r->user, sizeof r->user, "%s", user);
        std::snprintf(r->tty_path, sizeof r->tty_path, "/dev/%s", line);
        std::snprintf(r->host, sizeof r->host, "localhost");
        r->login_time = login_time;
        r->next_check = fake.clock;
        ActiveSessions[used] = r;
        active_count = session_count = ++used;
        return r;
    }

    int Slot(const SessionRecord* r) const { return static_cast<int>(r - SessionTable); }

    FakePlatform fake;
    static inline int64_t last_shown = -1;
    std::vector<Fork> forks;
    int used = 0;
    int watch = -1;  // slot whose state each fork records; -1 all
    char log_file[64];
};

#endif  // QUELLD_TESTS_POLICY_CHECK_FIXTURE_H
