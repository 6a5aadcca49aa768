#include "base/format_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/event_log.h"

namespace {

// format_text must give what the C library's snprintf gives, whole and cut
// to every smaller buffer, return value included.
#define EXPECT_AS_SNPRINTF(...)                                                    \
    do {                                                                           \
        char want[256], got[256];                                                  \
        int wn = std::snprintf(want, sizeof want, __VA_ARGS__);                    \
        for (size_t size : {sizeof got, size_t{7}, size_t{1}, size_t{0}}) {        \
            got[0] = 'X';                                                          \
            int gn = format_text(got, size, __VA_ARGS__);                          \
            EXPECT_EQ(gn, wn) << #__VA_ARGS__;                                     \
            if (size > 0)                                                          \
                EXPECT_EQ(std::string(got), std::string(want).substr(0, size - 1)) \
                    << #__VA_ARGS__;                                               \
            else                                                                   \
                EXPECT_EQ(got[0], 'X');                                            \
        }                                                                          \
    } while (0)

TEST(FormatTextTest, AsSnprintf) {
    EXPECT_AS_SNPRINTF("plain text, 100%% sure");
    EXPECT_AS_SNPRINTF("%s on %s from %s", "alice", "pts/3", "localhost");
    EXPECT_AS_SNPRINTF("[%19.19s] [%24.24s] [%-24s] [%-5s] [%8s]", "Thu Jan  1 00:00:00 1970\n",
                       "Thu Jan  1 00:00:00 1970\n", "short", "toolongtext", "ab");
    EXPECT_AS_SNPRINTF("%d %d %d %i %+d %+d % d", 0, -1, INT_MAX, INT_MIN, 5, 0, 7);
    EXPECT_AS_SNPRINTF("%ld %lld %lld %+lld %llu %lu", LONG_MIN, LLONG_MAX, LLONG_MIN, -42LL,
                       ULLONG_MAX, 12UL);
    EXPECT_AS_SNPRINTF("%02d:%02d %02llu %5d|%-5d|%05d|%.3d|%6.3d|%.0d|", 7, 59, 3ULL, -42, 42, -42,
                       7, -7, 0);
    EXPECT_AS_SNPRINTF("%u %x %X %02x %08X %zu", 4000000000U, 0xbeefU, 0xbeefU, 0xaU, 0xdeadU,
                       size_t{99});
    EXPECT_AS_SNPRINTF("[%c][%3c][%-3c]", 'a', 'b', 'c');
    EXPECT_AS_SNPRINTF("%.2s|%8.3s", "abc", "abcdef");
    EXPECT_AS_SNPRINTF("%hd %hu %hhd %hhx|%s", short{-3}, static_cast<unsigned short>(65535),
                       static_cast<signed char>(-56), static_cast<unsigned char>(0xff), "a text");
    EXPECT_AS_SNPRINTF("%jd %td %zd|%s", INTMAX_MIN, ptrdiff_t{-9}, size_t{5}, "text");
}

TEST(FormatTextTest, NeverReadsPastThePrecisionOrMisreadsAForeignConversion) {
    // A fixed-size field without a NUL, as utmp's are.
    char line[4] = {'t', 't', 'y', '1'};
    char buf[32];
    EXPECT_EQ(format_text(buf, sizeof buf, "%.4s|", line), 5);
    EXPECT_STREQ(buf, "tty1|");
    // From a conversion it does not know on, the format is shown as written
    // and no argument is read: the ones after it no longer line up.
    struct Slip {
        const char* format;
        const char* shown;
    } slips[] = {{"%d %f %s", "1 %f %s"},
                 {"%d %*d %s", "1 %*d %s"},
                 {"%d %2$s %s", "1 %2$s %s"},
                 {"%d %n %s", "1 %n %s"},
                 {"%d %", "1 %"}};
    for (const Slip& slip : slips) {
        format_text(buf, sizeof buf, slip.format, 1, 2.5, "x");
        EXPECT_STREQ(buf, slip.shown) << slip.format;
    }
    const char* volatile none = nullptr;
    format_text(buf, sizeof buf, "%s", none);
    EXPECT_STREQ(buf, "(null)");
}

TEST(FormatTextTest, LogStampIsAsctimes) {
    char want[64], got[26];
    struct tm tm;
    // Around the epoch, leap days, a century and the widest year.
    for (time_t t : {time_t{0}, time_t{951782400}, time_t{4107542399}, time_t{253402200000},
                     time_t{1798761600 + 86400 * 59 + 3723}}) {
        ASSERT_NE(localtime_r(&t, &tm), nullptr);
        ASSERT_NE(asctime_r(&tm, want), nullptr);
        EXPECT_STREQ(log_stamp(t, got), want) << t;
    }
    // Beyond year 9999 asctime has no room: the stamp keeps its width.
    EXPECT_STREQ(log_stamp(time_t{253402300800 + 86400}, got), "??? ??? ?? ??:??:?? ????\n");
}

}  // namespace
