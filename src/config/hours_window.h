// The windows of the hours command: the days and the time of day between
// which the logins of a class may exist, packed into a rule's value.
#ifndef QUELLD_CONFIG_HOURS_WINDOW_H
#define QUELLD_CONFIG_HOURS_WINDOW_H

#include <cstddef>
#include <cstdint>

// Day bits of a window: bit 0 Sunday to bit 6 Saturday, as tm_wday counts.
constexpr int HOURS_EVERY_DAY = 0x7f;
constexpr int HOURS_DAY_MINUTES = 1440;

// A window packed for RuleEntry::value: days << 22 | start << 11 | end,
// start and end in minutes after midnight.  A window opens at start on each
// of its days and closes at end, on the next day when end is not after
// start ("22:00-06:00"); start == end is a window that never opens.
inline int32_t hours_window(int days, int start, int end) {
    return static_cast<int32_t>(static_cast<uint32_t>(days) << 22 |
                                static_cast<uint32_t>(start) << 11 | static_cast<uint32_t>(end));
}
inline int hours_days(int32_t w) {
    return static_cast<int>(static_cast<uint32_t>(w) >> 22 & HOURS_EVERY_DAY);
}
inline int hours_start(int32_t w) {
    return static_cast<int>(static_cast<uint32_t>(w) >> 11 & 0x7ff);
}
inline int hours_end(int32_t w) {
    return static_cast<int>(static_cast<uint32_t>(w) & 0x7ff);
}

// Reads a day list: days ("sun" ... "sat") and ranges of them ("mon-fri",
// "fri-mon" through the week end) separated by commas.  Returns 0 with the
// day bits in *days, or -1 when text is anything else.
int hours_parse_days(const char* text, int* days);

// Reads "HH:MM-HH:MM", hours 0 to 24 with one or two digits and minutes
// with two, 24:00 only as the end.  Returns 0 with minutes after midnight
// in *start and *end, or -1 when text is anything else.
int hours_parse_span(const char* text, int* start, int* end);

// Writes window w as the hours command writes it, "mon-fri 08:00-22:00",
// or "08:00-22:00" for every day, into buf (size bytes, 64 is enough).
// Returns buf.
const char* hours_format(int32_t w, char* buf, size_t size);

#endif  // QUELLD_CONFIG_HOURS_WINDOW_H
