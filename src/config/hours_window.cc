#include "config/hours_window.h"

#include <cstring>

#include "base/format_text.h"

namespace {

// In tm_wday order, which the day bits follow.
const char* const day_names[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

// The day named by the three letters at text, or -1.
int day_at(const char* text) {
    for (int d = 0; d < 7; ++d)
        if (std::strncmp(text, day_names[d], 3) == 0)
            return d;
    return -1;
}

// Reads "H", "HH" then ":MM" at *text; moves *text past it.
int clock_at(const char** text) {
    const char* t = *text;
    int h = 0, digits = 0;
    while (*t >= '0' && *t <= '9' && digits < 2) {
        h = h * 10 + (*t++ - '0');
        ++digits;
    }
    if (digits == 0 || *t != ':' || t[1] < '0' || t[1] > '5' || t[2] < '0' || t[2] > '9')
        return -1;
    int m = (t[1] - '0') * 10 + (t[2] - '0');
    *text = t + 3;
    if (h > 24 || (h == 24 && m != 0))
        return -1;
    return h * 60 + m;
}

}  // namespace

int hours_parse_days(const char* text, int* days) {
    int bits = 0;
    for (;;) {
        int first = day_at(text);
        if (first < 0)
            return -1;
        text += 3;
        int last = first;
        if (*text == '-') {
            last = day_at(text + 1);
            if (last < 0)
                return -1;
            text += 4;
        }
        for (int d = first;; d = (d + 1) % 7) {
            bits |= 1 << d;
            if (d == last)
                break;
        }
        if (*text == '\0')
            break;
        if (*text++ != ',')
            return -1;
    }
    *days = bits;
    return 0;
}

int hours_parse_span(const char* text, int* start, int* end) {
    int s = clock_at(&text);
    if (s < 0 || s == HOURS_DAY_MINUTES || *text++ != '-')
        return -1;
    int e = clock_at(&text);
    if (e < 0 || *text != '\0')
        return -1;
    *start = s;
    *end = e;
    return 0;
}

const char* hours_format(int32_t w, char* buf, size_t size) {
    int days = hours_days(w);
    size_t at = 0;
    auto put = [&](const char* s) {
        int n = format_text(buf + at, at < size ? size - at : 0, "%s", s);
        at += n > 0 ? static_cast<size_t>(n) : 0;
    };
    if (days != HOURS_EVERY_DAY) {
        // Runs of days from Monday on, as a week is read: "mon-fri,sun".
        bool first = true;
        for (int i = 0; i < 7;) {
            int d = (i + 1) % 7;
            if ((days & (1 << d)) == 0) {
                ++i;
                continue;
            }
            int j = i;
            while (j + 1 < 7 && (days & (1 << ((j + 2) % 7))) != 0) ++j;
            if (!first)
                put(",");
            first = false;
            put(day_names[d]);
            if (j > i) {
                put(j == i + 1 ? "," : "-");
                put(day_names[(j + 1) % 7]);
            }
            i = j + 1;
        }
        put(" ");
    }
    char span[16];
    format_text(span, sizeof span, "%02d:%02d-%02d:%02d", hours_start(w) / 60 % 100,
                hours_start(w) % 60, hours_end(w) / 60 % 100, hours_end(w) % 60);
    put(span);
    return buf;
}
