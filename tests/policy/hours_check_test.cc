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

// Instants in Europe/Berlin, which changes to summer time on 29 March 2026
// (02:00 CET to 03:00 CEST) and back on 25 October 2026 (03:00 CEST to
// 02:00 CET).
constexpr time_t MON_1200 = 1796641200;  // Mon 7 Dec 2026 12:00 CET
constexpr time_t HOUR = 3600;

class HoursCheckTest : public CheckTest {
   protected:
    void SetUp() override {
        CheckTest::SetUp();
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            saved_tz_ = tz;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        CheckTest::TearDown();
    }

    // A login under the given windows, in ActiveSessions.
    SessionRecord* Ruled(const char* user, time_t login_time, std::vector<int32_t> windows) {
        SessionRecord* r = Login(user, "pts/1", login_time);
        r->hours_ruled = 1;
        for (int32_t w : windows) r->hours[r->hours_count++] = w;
        return r;
    }

    static int32_t W(const char* days, const char* span) {
        int d = HOURS_EVERY_DAY, s = 0, e = 0;
        if (days[0] != '\0') {
            EXPECT_EQ(hours_parse_days(days, &d), 0) << days;
        }
        EXPECT_EQ(hours_parse_span(span, &s, &e), 0) << span;
        return hours_window(d, s, e);
    }

    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(HoursCheckTest, WindowEnds) {
    static const struct {
        const char* what;
        std::vector<int32_t> windows;
        time_t at;
        int64_t end;
    } cases[] = {
        {"a weekday", {W("mon-fri", "08:00-22:00")}, MON_1200, MON_1200 + 10 * HOUR},
        {"outside", {W("mon-fri", "08:00-22:00")}, MON_1200 + 11 * HOUR, 0},
        {"another day", {W("tue", "08:00-22:00")}, MON_1200, 0},
        {"the end itself is outside", {W("", "08:00-22:00")}, MON_1200 + 10 * HOUR, 0},
        {"over midnight", {W("mon", "22:00-06:00")}, MON_1200 + 11 * HOUR, MON_1200 + 18 * HOUR},
        {"yesterday's over midnight",
         {W("sun", "22:00-06:00")},
         MON_1200 - 8 * HOUR,
         MON_1200 - 6 * HOUR},
        {"windows that meet",
         {W("mon", "08:00-24:00"), W("tue", "00:00-02:00")},
         MON_1200,
         MON_1200 + 14 * HOUR},
        {"open all week", {W("", "00:00-24:00")}, MON_1200, HOURS_NO_END},
        {"never opens", {W("", "09:00-09:00")}, MON_1200, 0},
        // 02:30 does not exist on 29 March: the window ends at the jump,
        // 03:00 CEST (01:00 UTC).
        {"summer time begins",
         {W("sat", "22:00-02:30")},
         1774735200 /* Sat 23:00 CET */,
         1774746000},
        // 02:30 comes twice on 25 October: the first one (CEST, 00:30 UTC).
        {"summer time ends",
         {W("sun", "00:00-02:30")},
         1792881000 /* Sun 00:30 CEST */,
         1792888200},
        {"in the repeated hour", {W("sun", "00:00-02:30")}, 1792891800 /* 02:30 CET */, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hours_period_end(c.windows.data(), static_cast<int>(c.windows.size()), c.at),
                  c.end)
            << c.what;
    // Open all week but Monday's last hour: from Tuesday's start, the end is
    // next Monday's 23:00, under a week ahead.
    const int32_t gap[] = {W("mon", "00:00-23:00"), W("tue-sun", "00:00-24:00")};
    EXPECT_EQ(hours_period_end(gap, 2, MON_1200 + 12 * HOUR), MON_1200 + 7 * 86400 + 11 * HOUR);
}

// 21:00 login, hours to 22:00, 5 minutes' warning: nothing until 21:55, the
// warning then, the logout at 22:00, and a login after it refused at once.
TEST_F(HoursCheckTest, WarnedBeforeTheEndLoggedOutAtItNewLoginsRefused) {
    warn_time = 300;
    const time_t end = MON_1200 + 10 * HOUR;
    fake.clock = end - HOUR;
    SessionRecord* r = Ruled("alice", fake.clock, {W("", "08:00-22:00")});
    watch = 0;
    EXPECT_EQ(enforce_hours(1), end - 300);
    EXPECT_EQ(fake.forks, 0);

    fake.clock = end - 300;
    EXPECT_EQ(enforce_hours(1), end);
    ASSERT_EQ(fake.forks, 1);
    EXPECT_EQ(forks[0].warned & WARN_HOURS, 0u);  // a warning, not the logout
    EXPECT_EQ(r->hours_end, end);

    fake.clock = end - 6;  // the grace is not over yet, even with the slack
    EXPECT_EQ(enforce_hours(1), end);
    EXPECT_EQ(fake.forks, 1);
    fake.clock = end;
    enforce_hours(1);
    ASSERT_EQ(fake.forks, 2);
    EXPECT_EQ(forks[1].warned & WARN_HOURS, WARN_HOURS);
    EXPECT_EQ(r->ended, SESSION_LOGGED_OUT);
    EXPECT_NE(r->hours_end, 0);  // a logout after a warning, not a refusal

    fake.clock = end + 600;
    SessionRecord* late = Ruled("bob", fake.clock - 30, {W("", "08:00-22:00")});
    watch = 1;
    EXPECT_EQ(enforce_hours(2), 0);
    ASSERT_EQ(fake.forks, 3);
    EXPECT_EQ(late->hours_end, 0);
    EXPECT_EQ(late->ended, SESSION_LOGGED_OUT);
}

// Found past its end unwarned (a late start, a step of the clock): the whole
// grace from now, never a refusal; with warn 0 the end logs out at once.
TEST_F(HoursCheckTest, EndFoundPastAndNoGrace) {
    warn_time = 120;
    const time_t end = MON_1200 + 10 * HOUR;
    fake.clock = end + 600;
    SessionRecord* r = Ruled("alice", end - HOUR, {W("", "08:00-22:00")});
    Verdict v = judge_hours(r, fake.clock);
    EXPECT_EQ(v.action, VERDICT_WARN);
    EXPECT_EQ(v.shown, fake.clock + 120);
    EXPECT_EQ(enforce_hours(1), fake.clock + 120);
    EXPECT_EQ(r->hours_end, fake.clock + 120);

    // Logged in at 21:00, then the clock was set 3 hours forward: its start
    // reads 00:00 on the new clock, but it began within its hours.
    SessionRecord* stepped = Ruled("cy", end - HOUR, {W("", "08:00-22:00")});
    stepped->clock_shift = 3 * HOUR;
    EXPECT_EQ(judge_hours(stepped, end + 2 * HOUR).action, VERDICT_WARN);

    warn_time = 0;
    fake.clock = end - 4;  // the slack
    SessionRecord* s = Ruled("bob", end - HOUR, {W("", "08:00-22:00")});
    v = judge_hours(s, fake.clock);
    EXPECT_EQ(v.action, VERDICT_LOGOUT);
    EXPECT_EQ(v.shown, end);
}

// The rules of the first matching class, all of its lines, and nothing from
// another class; an hours exemption and "all" keep a login out of it.
TEST_F(HoursCheckTest, PrecedenceAndExemptions) {
    rule_lists_init();
    const int32_t day = W("", "08:00-22:00"), mon = W("mon", "09:00-10:00"),
                  tue = W("tue", "09:00-10:00"), any = W("", "00:00-24:00");
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
        std::vector<int32_t> groups;
        std::vector<int32_t> windows;
        uint32_t exempt;
    } cases[] = {
        {"alice", {100}, {mon, tue}, 0},  // login before group, both lines
        {"eve", {200, 100}, {any}, 0},    // two groups: the first configured
        {"frank", {}, {day}, 0},         {"carol", {}, {day}, WARN_HOURS},
        {"dave", {}, {day}, EXEMPT_ALL},
    };
    for (const auto& c : cases) {
        SessionRecord* r = Login(c.user, "pts/1", fake.clock);
        int g = 0;
        for (int32_t id : c.groups) r->groups[g++] = id;
        r->groups[g] = -1;
        resolve_policy(Slot(r));
        EXPECT_EQ(r->hours_ruled, 1) << c.user;
        std::vector<int32_t> got(r->hours, r->hours + r->hours_count);
        std::sort(got.begin(), got.end());
        std::vector<int32_t> want = c.windows;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << c.user;
        EXPECT_EQ(r->exempt & WARN_HOURS, c.exempt & WARN_HOURS) << c.user;
        if (c.exempt != 0) {
            fake.clock = MON_1200 + 11 * HOUR;  // outside
            EXPECT_EQ(judge_hours(r, fake.clock).action, VERDICT_NONE) << c.user;
        }
    }
    for (RuleList* l : {exempt_list, hours_list}) clear_rules(l);
    rule_index_free();
}

}  // namespace
