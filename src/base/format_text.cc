#include "base/format_text.h"

#include <cstdint>

namespace {

// Where the text goes: buf holds the first size - 1 characters, len counts
// them all.
struct Sink {
    char* buf;
    size_t size;
    size_t len;
};

void put(Sink* s, char c) {
    if (s->len + 1 < s->size)
        s->buf[s->len] = c;
    ++s->len;
}

void put_n(Sink* s, char c, int n) {
    for (; n > 0; --n) put(s, c);
}

// A conversion's flags, width and precision (-1: none given).
struct Conversion {
    bool left, zero, plus, space;
    int width, precision;
};

// Widths and precisions beyond this are cut to it: no message is that wide,
// and a runaway number must not keep put_n padding for minutes.
constexpr int FIELD_MAX = 65535;

int read_number(const char** p) {
    int n = 0;
    while (**p >= '0' && **p <= '9') {
        if (n < FIELD_MAX)
            n = n * 10 + (**p - '0');
        ++*p;
    }
    return n < FIELD_MAX ? n : FIELD_MAX;
}

void put_text(Sink* s, const Conversion& conv, const char* text) {
    if (text == nullptr)
        text = "(null)";
    // Never reads past the precision: the text may be a fixed field with
    // no NUL of its own.
    int n = 0;
    while ((conv.precision < 0 || n < conv.precision) && text[n] != '\0') ++n;
    if (!conv.left)
        put_n(s, ' ', conv.width - n);
    for (int i = 0; i < n; ++i) put(s, text[i]);
    if (conv.left)
        put_n(s, ' ', conv.width - n);
}

void put_number(Sink* s, const Conversion& conv, uint64_t magnitude, char sign, int base,
                bool upper) {
    const char* digit_chars = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int n = 0;
    for (uint64_t v = magnitude; v != 0; v /= static_cast<uint64_t>(base))
        digits[n++] = digit_chars[v % static_cast<uint64_t>(base)];
    // C's rule: at least one digit, unless the precision is given as 0.
    int least = conv.precision >= 0 ? conv.precision : 1;
    int zeros = least > n ? least - n : 0;
    int body = (sign != '\0' ? 1 : 0) + zeros + n;
    if (conv.zero && !conv.left && conv.precision < 0 && conv.width > body) {
        zeros += conv.width - body;
        body = conv.width;
    }
    if (!conv.left)
        put_n(s, ' ', conv.width - body);
    if (sign != '\0')
        put(s, sign);
    put_n(s, '0', zeros);
    while (n > 0) put(s, digits[--n]);
    if (conv.left)
        put_n(s, ' ', conv.width - body);
}

// The length modifiers: none, hh, h, l, ll, z (size_t), j (intmax_t) and
// t (ptrdiff_t).  A char or short arrives promoted to int and is cut back.
enum Length { LEN_INT, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_Z };

Length read_length(const char** p) {
    static_assert(sizeof(intmax_t) == sizeof(long long) && sizeof(ptrdiff_t) == sizeof(size_t));
    char m = **p;
    if (m == 'z' || m == 'j' || m == 't') {
        ++*p;
        return m == 'j' ? LEN_LL : LEN_Z;
    }
    if (**p == 'h') {
        ++*p;
        if (**p != 'h')
            return LEN_H;
        ++*p;
        return LEN_HH;
    }
    if (**p != 'l')
        return LEN_INT;
    ++*p;
    if (**p != 'l')
        return LEN_L;
    ++*p;
    return LEN_LL;
}

int64_t signed_arg(va_list* ap, Length len) {
    switch (len) {
        case LEN_INT:
            return va_arg(*ap, int);
        case LEN_HH:
            return static_cast<signed char>(va_arg(*ap, int));
        case LEN_H:
            return static_cast<short>(va_arg(*ap, int));
        case LEN_L:
            return va_arg(*ap, long);
        case LEN_LL:
            return va_arg(*ap, long long);
        case LEN_Z:
            return static_cast<int64_t>(va_arg(*ap, size_t));
    }
    return 0;
}

uint64_t unsigned_arg(va_list* ap, Length len) {
    switch (len) {
        case LEN_INT:
            return va_arg(*ap, unsigned);
        case LEN_HH:
            return static_cast<unsigned char>(va_arg(*ap, unsigned));
        case LEN_H:
            return static_cast<unsigned short>(va_arg(*ap, unsigned));
        case LEN_L:
            return va_arg(*ap, unsigned long);
        case LEN_LL:
            return va_arg(*ap, unsigned long long);
        case LEN_Z:
            return va_arg(*ap, size_t);
    }
    return 0;
}

}  // namespace

int vformat_text(char* buf, size_t size, const char* format, va_list ap_in) {
    Sink s{buf, size, 0};
    va_list ap;
    va_copy(ap, ap_in);
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            put(&s, *p++);
            continue;
        }
        const char* start = p++;
        Conversion conv{false, false, false, false, 0, -1};
        for (;; ++p) {
            if (*p == '-')
                conv.left = true;
            else if (*p == '0')
                conv.zero = true;
            else if (*p == '+')
                conv.plus = true;
            else if (*p == ' ')
                conv.space = true;
            else
                break;
        }
        conv.width = read_number(&p);
        if (*p == '.') {
            ++p;
            conv.precision = read_number(&p);
        }
        Length len = read_length(&p);
        switch (*p) {
            case 'd':
            case 'i': {
                int64_t v = signed_arg(&ap, len);
                // The magnitude of the most negative value, without overflow.
                uint64_t magnitude =
                    v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                char sign = v < 0 ? '-' : conv.plus ? '+' : conv.space ? ' ' : '\0';
                put_number(&s, conv, magnitude, sign, 10, false);
                break;
            }
            case 'u':
                put_number(&s, conv, unsigned_arg(&ap, len), '\0', 10, false);
                break;
            case 'x':
            case 'X':
                put_number(&s, conv, unsigned_arg(&ap, len), '\0', 16, *p == 'X');
                break;
            case 'c': {
                // A NUL character shows as nothing: a line holds no NUL.
                char c[2] = {static_cast<char>(va_arg(ap, int)), '\0'};
                put_text(&s, conv, c);
                break;
            }
            case 's':
                put_text(&s, conv, va_arg(ap, const char*));
                break;
            case '%':
                put(&s, '%');
                break;
            default:
                // Not one of ours (%f, %p, %n, a '*' width, a numbered
                // argument ...): its argument's size is unknown, so no
                // argument after it could be read aright.  The rest of the
                // format is shown as written, so that the slip is seen, and
                // no argument is read again.
                for (const char* q = start; *q != '\0'; ++q) put(&s, *q);
                p = start;
                while (*p != '\0') ++p;
                continue;
        }
        ++p;
    }
    va_end(ap);
    if (size > 0)
        buf[s.len < size ? s.len : size - 1] = '\0';
    return s.len <= INT32_MAX ? static_cast<int>(s.len) : INT32_MAX;
}

int format_text(char* buf, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vformat_text(buf, size, format, ap);
    va_end(ap);
    return n;
}
