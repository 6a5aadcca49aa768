#include "config/scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/audit_log.h"
#include "base/event_log.h"
#include "base/format_text.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "pathnames.h"

int32_t conf_line = 1;
int32_t conf_token_line = 1;
int32_t conf_errors = 0;
int32_t conf_errors_at_end = 0;
int32_t token_number = 0;
void (*conf_at_end)() = nullptr;

namespace {

struct Keyword {
    std::string_view text;
    Token token;
};

// Sorted by text for the binary search in keyword_token (checked below).
constexpr Keyword keywords[] = {
    {"all", ALL},
    {"conswins", CONSWINS},
    {"default", DEFAULT},
    {"exempt", EXEMPT},
    {"file", FILE_},
    {"group", GROUP},
    {"host", HOST},
    {"hours", HOURS},
    {"idle", IDLE},
    {"idlemethod", IDLEMETHOD},
    {"inputoutput", INPUTOUTPUT},
    {"join", JOIN},
    {"login", LOGIN},
    {"maxuser", MAXUSER},
    {"multiple", MULTIPLE},
    {"multiples", MULTIPLES},
    {"normal", NORMAL},
    {"off", OFF},
    {"panes", PANES},
    {"refuse", REFUSE},
    {"session", SESSION},
    {"sleep", SLEEP},
    {"syslog", SYSLOG},
    {"threshold", THRESHOLD},
    {"timeout", TIMEOUT},
    {"tty", TTY},
    {"userinput", USERINPUT},
    {"warn", WARN},
};

constexpr bool keywords_sorted() {
    for (size_t i = 1; i < std::size(keywords); ++i)
        if (!(keywords[i - 1].text < keywords[i].text))
            return false;
    return true;
}
static_assert(keywords_sorted(), "the keyword table must stay sorted");
static_assert(std::size(keywords) == 28);

constexpr size_t SCAN_BUFSIZE = 16384;

// Where the bytes come from.  Memory input is read in place; a stream is
// read through buf, which is allocated once and kept for the process.
struct Input {
    FILE* stream;              // nullptr for memory or no input
    const unsigned char* at;   // next byte not yet scanned
    const unsigned char* end;  // end of the bytes in hand
};

Input in{nullptr, nullptr, nullptr};
unsigned char* buf;

// The text of the NAME being scanned, grown as needed and kept for reuse.
char* text;
size_t text_cap;

// A NAME's copy until the parser takes it.
char* pending_text;

[[noreturn]] void scanner_die(const char* what) {
    std::fprintf(stderr, "quelld: %s\n", what);
    // A detached daemon has no standard error left: say it in the event log
    // too, or the daemon would vanish without a word.
    log_line("quelld: %s", what);
    std::exit(2);
}

// Fetches more bytes from the stream.  False at the end of the input.
bool refill() {
    if (in.stream == nullptr)
        return false;
    if (buf == nullptr) {
        buf = static_cast<unsigned char*>(std::malloc(SCAN_BUFSIZE));
        if (buf == nullptr)
            scanner_die("out of memory for the configuration scanner");
    }
    for (;;) {
        size_t n = std::fread(buf, 1, SCAN_BUFSIZE, in.stream);
        if (n > 0) {
            in.at = buf;
            in.end = buf + n;
            return true;
        }
        if (!std::ferror(in.stream))
            return false;
        if (errno != EINTR) {
            char msg[256];
            format_text(msg, sizeof msg, "cannot read configuration file: %s",
                        std::strerror(errno));
            scanner_die(msg);
        }
        std::clearerr(in.stream);  // interrupted: simply read again
    }
}

// The next byte without taking it, or -1 at the end of the input.
int peek_byte() {
    if (in.at == in.end && !refill())
        return -1;
    return *in.at;
}

bool is_letter(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(int c) {
    return c >= '0' && c <= '9';
}
bool is_name_char(int c) {
    return is_letter(c) || is_digit(c) || c == '/' || c == '.' || c == '_' || c == ':';
}

void text_append(const unsigned char* from, size_t n, size_t* len) {
    if (*len + n + 1 > text_cap) {
        size_t cap = std::max<size_t>(64, text_cap);
        while (cap < *len + n + 1) cap *= 2;
        auto* grown = static_cast<char*>(std::realloc(text, cap));
        if (grown == nullptr)
            scanner_die("out of memory for the configuration scanner");
        text = grown;
        text_cap = cap;
    }
    std::memcpy(text + *len, from, n);
    *len += n;
}

}  // namespace

bool token_is_word(int token) {
    return token == NAME || std::any_of(std::begin(keywords), std::end(keywords),
                                        [token](const Keyword& k) { return k.token == token; });
}

namespace {

int keyword_token(std::string_view word) {
    const Keyword* k =
        std::lower_bound(std::begin(keywords), std::end(keywords), word,
                         [](const Keyword& a, std::string_view b) { return a.text < b; });
    if (k != std::end(keywords) && k->text == word)
        return k->token;
    return 0;
}

// The days of an hours command, "mon-fri" or "sat,sun": a name word that is
// a day's name and goes straight on with '-' or ',' takes the letters,
// dashes and commas that follow into text (len bytes so far, then NUL).
// Anywhere else a dash after a name stays an illegal character.
bool scan_day_list(size_t* len) {
    static constexpr std::string_view days[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    std::string_view word(text, *len);
    if (std::find(std::begin(days), std::end(days), word) == std::end(days))
        return false;
    int c = peek_byte();
    if (c != '-' && c != ',')
        return false;
    while ((c = peek_byte()) >= 0 && (is_letter(c) || c == '-' || c == ',')) {
        const unsigned char b = *in.at++;
        text_append(&b, 1, len);
    }
    text[*len] = '\0';
    return true;
}

// The hours of an hours command, "08:00-22:00": digits that go on with ':'
// take the digits, colons and dashes that follow.  The text starts from the
// digits' value, which drops leading zeros (8:00 for 08:00); the parser
// reads it back.
int scan_timespan(int64_t leading) {
    char digits[24];
    int n = format_text(digits, sizeof digits, "%lld", static_cast<long long>(leading));
    size_t len = 0;
    text_append(reinterpret_cast<const unsigned char*>(digits), static_cast<size_t>(n), &len);
    int c;
    while ((c = peek_byte()) >= 0 && (is_digit(c) || c == ':' || c == '-')) {
        const unsigned char b = *in.at++;
        text_append(&b, 1, &len);
    }
    text[len] = '\0';
    pending_text = static_cast<char*>(std::malloc(len + 1));
    if (pending_text == nullptr)
        scanner_die("out of memory for the configuration scanner");
    std::memcpy(pending_text, text, len + 1);
    return TIMESPAN;
}

// A name word whose first byte has been taken.  The whole word is matched
// first: a keyword wins only when it is the whole word (longest match, and
// the keyword row before the name row when both are as long).
int scan_name(unsigned char first) {
    size_t len = 0;
    text_append(&first, 1, &len);
    while (peek_byte() >= 0) {
        const unsigned char* from = in.at;
        while (in.at < in.end && is_name_char(*in.at)) ++in.at;
        text_append(from, static_cast<size_t>(in.at - from), &len);
        if (in.at < in.end)
            break;  // stopped at a byte that ends the word
    }
    text[len] = '\0';
    // A keyword's text is kept too: where the grammar wants a name, a word
    // that is also a keyword ("group syslog") is that name.
    int token = keyword_token(std::string_view(text, len));
    if (token == 0)
        token = scan_day_list(&len) ? DAYS : NAME;
    pending_text = static_cast<char*>(std::malloc(len + 1));
    if (pending_text == nullptr)
        scanner_die("out of memory for the configuration scanner");
    std::memcpy(pending_text, text, len + 1);
    return token;
}

// Digits beyond the 32-bit range saturate, so that a huge limit stays huge
// rather than wrapping round to a small or negative one.
int scan_number(int first, bool negative) {
    constexpr int64_t cap = int64_t{1} << 31;
    int64_t magnitude = first - '0';
    while (is_digit(peek_byte())) {
        magnitude = std::min(cap, magnitude * 10 + (*in.at++ - '0'));
    }
    if (!negative && peek_byte() == ':')
        return scan_timespan(magnitude);
    if (negative)
        token_number = static_cast<int32_t>(-magnitude);
    else
        token_number = static_cast<int32_t>(std::min(magnitude, cap - 1));
    return NUMBER;
}

void skip_comment() {
    while (peek_byte() >= 0) {
        const void* nl = std::memchr(in.at, '\n', static_cast<size_t>(in.end - in.at));
        if (nl != nullptr) {
            in.at = static_cast<const unsigned char*>(nl);
            return;
        }
        in.at = in.end;
    }
}

void illegal_character(int c) {
    // A NUL would end the log line's text early: it is shown as \0.
    if (c == '\0')
        conf_error("Illegal character '\\0'.");
    else
        conf_error("Illegal character '%c'.", c);
}

}  // namespace

int next_token() {
    std::free(pending_text);
    pending_text = nullptr;
    for (;;) {
        int c = peek_byte();
        conf_token_line = conf_line;
        if (c < 0) {
            conf_input_end();
            return END_OF_INPUT;
        }
        ++in.at;
        if (c == '\n') {
            // The one place the line counter moves forward.
            if (conf_line < std::numeric_limits<int32_t>::max())
                ++conf_line;
            return NEWLINE;
        }
        if (c == ' ' || c == '\t')
            continue;
        if (c == '#') {
            skip_comment();
            continue;
        }
        if (is_letter(c) || c == '/')
            return scan_name(static_cast<unsigned char>(c));
        if (is_digit(c))
            return scan_number(c, false);
        if (c == '-' && is_digit(peek_byte()))
            return scan_number(*in.at++, true);
        illegal_character(c);
    }
}

char* take_token_text() {
    char* t = pending_text;
    pending_text = nullptr;
    return t;
}

void conf_error(const char* format, ...) {
    char small[256];
    va_list ap;
    va_start(ap, format);
    int n = vformat_text(small, sizeof small, format, ap);
    va_end(ap);
    const char* message = small;
    char* big = nullptr;
    if (n >= static_cast<int>(sizeof small)) {
        // A long list-file path; without memory the report is cut, not lost.
        big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (big != nullptr) {
            va_start(ap, format);
            vformat_text(big, static_cast<size_t>(n) + 1, format, ap);
            va_end(ap);
            message = big;
        }
    }
    log_line("%s: line %d: %s", conf_path, conf_line, message);
    char path[AUDIT_MSG_MAX / 4], text[AUDIT_MSG_MAX / 2];
    audit_line(LOG_ERR, "event=config_error file=%s line=%d message=%s",
               audit_value(conf_path, path, sizeof path), conf_line,
               audit_value(message, text, sizeof text));
    std::free(big);
    if (conf_errors < std::numeric_limits<int32_t>::max())
        ++conf_errors;
}

void conf_input_end() {
    conf_errors_at_end = conf_errors;
    if (conf_at_end != nullptr)
        conf_at_end();
    conf_line = 1;
}

void restart_scanner(FILE* stream) {
    std::free(pending_text);
    pending_text = nullptr;
    in = Input{stream, nullptr, nullptr};
}

void restart_scanner_from_memory(const char* text_in, size_t size) {
    restart_scanner(nullptr);
    in.at = reinterpret_cast<const unsigned char*>(text_in);
    in.end = in.at + size;
}

FILE* conf_fopen(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr)
        close(fd);
    return f;
}
