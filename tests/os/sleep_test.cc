// The real platform's sleep until a whole second.
#include <gtest/gtest.h>

#include <ctime>

#include "os/platform.h"

namespace {

// It wakes at the start of the second asked for, not up to a second later
// as sleeping the difference from a truncated reading would.
TEST(PlatformSleep, WakesAtTheSecond) {
    Platform* p = real_platform();
    for (int i = 0; i < 2; ++i) {
        time_t when = p->now() + 1;
        p->sleep_until(when);
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        EXPECT_EQ(p->now(), when);
        EXPECT_EQ(ts.tv_sec, when);
        EXPECT_LT(ts.tv_nsec, 200000000L);  // generous for a loaded machine
    }
    // A time already past only lets pending signals in.
    time_t before = p->now();
    p->sleep_until(before - 10);
    EXPECT_LE(p->now() - before, 1);
}

}  // namespace
