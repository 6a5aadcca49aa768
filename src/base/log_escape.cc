#include "base/log_escape.h"

const char* log_escape(const char* src, char* dst, size_t size) {
    size_t out = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != '\0'; ++p) {
        unsigned char c = *p;
        char esc[4];
        size_t n;
        if (c == '\n' || c == '\\') {
            esc[0] = '\\';
            esc[1] = c == '\n' ? 'n' : '\\';
            n = 2;
        } else if (c < 0x20 || c == 0x7f) {
            esc[0] = '\\';
            esc[1] = static_cast<char>('0' + (c >> 6));
            esc[2] = static_cast<char>('0' + ((c >> 3) & 7));
            esc[3] = static_cast<char>('0' + (c & 7));
            n = 4;
        } else {
            esc[0] = static_cast<char>(c);
            n = 1;
        }
        if (out + n >= size)
            break;
        for (size_t i = 0; i < n; ++i) dst[out++] = esc[i];
    }
    dst[out] = '\0';
    return dst;
}
