#include "policy/hours_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "check_fixture.h"
#include "config/hours_window.h"
#include "config/rule_list.h"
#include "config/tokens.h"
#include "policy/resolve.h"
#include "policy/rule_index.h"

namespace {

// Europe/Berlin goes to summer time on 29 March 2026 (02:00 CET to 03:00
// CEST) and back on 25 October 2026 (03:00 CEST to 02:00 CET).
constexpr time_t MON_1200 = 1796641200;  // Mon 7 Dec 2026 12:00 CET
constexpr time_t HOUR = 3600;
constexpr time_t END = MON_1200 + 10 * HOUR;  // 22:00

// A window as the hours command writes it: "[days ]HH:MM-HH:MM".
int32_t W(const std::string& text) {
    size_t sp = text.find(' ');
    int d = HOURS_EVERY_DAY, s = 0, e = 0;
    if (sp != std::string::npos) {
        EXPECT_EQ(hours_parse_days(text.substr(0, sp).c_str(), &d), 0) << text;
    }
    EXPECT_EQ(hours_parse_span(text.c_str() + (sp == std::string::npos ? 0 : sp + 1), &s, &e), 0);
    return hours_window(d, s, e);
}

// The suite runs with TZ unset; these tests set it.
class HoursCheckTest : public CheckTest {
   protected:
    void SetUp() override {
        CheckTest::SetUp();
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
        CheckTest::TearDown();
    }
    // A login under one window, in ActiveSessions.
    SessionRecord* Ruled(const char* user, time_t login_time, const char* window) {
        SessionRecord* r = Login(user, "pts/1", login_time);
        LoginHours* h = session_hours_room(r);
        r->hours_ruled = 1;
        h->windows[h->count++] = W(window);
        return r;
    }
};

TEST_F(HoursCheckTest, WindowEnds) {
    static const struct {
        std::vector<int32_t> windows;
        time_t at;
        int64_t end;
    } cases[] = {
        {{W("mon-fri 08:00-22:00")}, MON_1200, END},
        {{W("mon-fri 08:00-22:00")}, END + HOUR, 0},
        {{W("tue 08:00-22:00")}, MON_1200, 0},
        {{W("08:00-22:00")}, END, 0},  // the end itself is outside
        {{W("mon 22:00-06:00")}, END + HOUR, END + 8 * HOUR},
        {{W("sun 22:00-06:00")}, MON_1200 - 8 * HOUR, MON_1200 - 6 * HOUR},
        {{W("mon 08:00-24:00"), W("tue 00:00-02:00")}, MON_1200, END + 4 * HOUR},
        {{W("00:00-24:00")}, MON_1200, HOURS_NO_END},
        {{W("mon 00:00-23:00"), W("tue-sun 00:00-24:00")}, END + 2 * HOUR, END + 7 * 86400 + HOUR},
        {{W("09:00-09:00")}, MON_1200, 0},
        // Sat 23:00 CET; 02:30 is skipped: the end is the jump, 01:00 UTC.
        {{W("sat 22:00-02:30")}, 1774735200, 1774746000},
        // Sun 00:30 CEST; 02:30 comes twice: the first, 00:30 UTC.
        {{W("sun 00:00-02:30")}, 1792881000, 1792888200},
        {{W("sun 00:00-02:30")}, 1792891800, 0},  // the second 02:30
    };
    for (const auto& c : cases)
        EXPECT_EQ(hours_period_end(c.windows.data(), static_cast<int>(c.windows.size()), c.at),
                  c.end)
            << c.at;
}

// 21:00 login, hours to 22:00, 5 minutes' warning: nothing until 21:55, the
// warning then, the logout at 22:00, and a login after it refused at once.
TEST_F(HoursCheckTest, WarnedBeforeTheEndLoggedOutAtItNewLoginsRefused) {
    warn_time = 300;
    fake.clock = END - HOUR;
    SessionRecord* r = Ruled("alice", fake.clock, "08:00-22:00");
    watch = 0;
    EXPECT_EQ(enforce_hours(1), END - 300);
    fake.clock = END - 300;
    EXPECT_EQ(enforce_hours(1), END);
    fake.clock = END - 6;  // the grace is not over yet, even with the slack
    EXPECT_EQ(enforce_hours(1), END);
    fake.clock = END;
    enforce_hours(1);
    ASSERT_EQ(fake.forks, 2);
    EXPECT_EQ(forks[0].warned & WARN_HOURS, 0u);  // the warning, then the logout
    EXPECT_EQ(forks[1].warned & WARN_HOURS, WARN_HOURS);
    EXPECT_EQ(r->hours->end, END);  // not 0: no refusal notice

    fake.clock = END + 600;
    SessionRecord* late = Ruled("bob", fake.clock - 30, "08:00-22:00");
    watch = 1;
    EXPECT_EQ(enforce_hours(2), 0);
    ASSERT_EQ(fake.forks, 3);
    EXPECT_EQ(late->hours->end, 0);
    EXPECT_EQ(late->ended, SESSION_LOGGED_OUT);
}

// Found past its end unwarned (a late start, a step of the clock): the whole
// grace from now, never a refusal; with warn 0 the end logs out at once.
TEST_F(HoursCheckTest, EndFoundPastAndNoGrace) {
    warn_time = 120;
    fake.clock = END + 600;
    SessionRecord* r = Ruled("alice", END - HOUR, "08:00-22:00");
    EXPECT_EQ(enforce_hours(1), fake.clock + 120);
    EXPECT_EQ(r->hours->end, fake.clock + 120);
    // Logged in at 21:00, then the clock set 3 hours forward: its start
    // reads 00:00 now, but it began within its hours.
    SessionRecord* stepped = Ruled("cy", END - HOUR, "08:00-22:00");
    stepped->clock_shift = 3 * HOUR;
    EXPECT_EQ(judge_hours(stepped, END + 2 * HOUR).action, VERDICT_WARN);

    warn_time = 0;
    Verdict v = judge_hours(Ruled("bob", END - HOUR, "08:00-22:00"), END - 4);  // the slack
    EXPECT_EQ(v.action, VERDICT_LOGOUT);
    EXPECT_EQ(v.shown, END);
}

// The first matching class, all of its lines and nothing of another class;
// "exempt ... hours" and "all" keep a login out of its hours.
TEST_F(HoursCheckTest, PrecedenceAndExemptions) {
    rule_lists_init();
    const int32_t day = W("08:00-22:00"), mon = W("mon 09:00-10:00"), tue = W("tue 09:00-10:00"),
                  any = W("00:00-24:00");
    add_rule(hours_list, DEFAULT, nullptr, 0, day);
    add_rule(hours_list, GROUP, strdup("staff"), 100, any);
    add_rule(hours_list, GROUP, strdup("lab"), 200, mon);
    add_rule(hours_list, LOGIN, strdup("alice"), 0, mon);
    add_rule(hours_list, LOGIN, strdup("bob"), 0, day);
    add_rule(hours_list, LOGIN, strdup("alice"), 0, tue);
    add_rule(exempt_list, LOGIN, strdup("carol"), 0, HOURS);
    add_rule(exempt_list, LOGIN, strdup("dave"), 0, ALL);
    static const struct {
        const char* user;
        int32_t group;
        std::vector<int32_t> windows;  // sorted
        bool exempt;
    } cases[] = {
        {"alice", 100, {mon, tue}, false},  // login before group, both lines
        {"eve", 200, {any}, false},         // in staff too: the first configured
        {"frank", -1, {day}, false},       {"carol", -1, {day}, true}, {"dave", -1, {day}, true},
    };
    fake.clock = END + HOUR;  // outside every window but staff's
    for (const auto& c : cases) {
        SessionRecord* r = Login(c.user, "pts/1", fake.clock - 60);
        r->groups[0] = c.group;  // then staff, for those with a group
        r->groups[1] = 100;
        r->groups[2] = -1;
        resolve_policy(Slot(r));
        std::vector<int32_t> got;
        if (r->hours_ruled != 0)
            got.assign(r->hours->windows, r->hours->windows + r->hours->count);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.windows) << c.user;
        bool none = judge_hours(r, fake.clock).action == VERDICT_NONE;
        EXPECT_EQ(none, c.exempt || c.windows[0] == any) << c.user;
    }
    for (RuleList* l : {exempt_list, hours_list}) clear_rules(l);
    rule_index_free();
}

}  // namespace
