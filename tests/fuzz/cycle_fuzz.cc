// Fuzzes the scan of the login-accounting database: arbitrary records
// (fields without terminators, every ut_type, empty and over-long names,
// times at both ends of the range, up to 600 entries) run through several
// passes of the cycle, the records changing between passes, against the fake
// platform and a policy that makes every check act.  Warning children never
// run: the fake's fork only reports a pid.
//
// Input: a sequence of passes.  Each pass starts with a byte giving its
// number of entries (scaled to 0..600) and a byte of clock movement, then
// per entry a type byte, a length byte and that many bytes for each of user,
// line and host, and 8 bytes of login time.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "base/event_log.h"
#include "base/session_table.h"
#include "config/grammar.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "daemon/cycle.h"
#include "enforce/warn.h"
#include "fake_platform.h"
#include "policy/clock_step.h"
#include "policy/session_check.h"

namespace {

// Device times derived from the path and the clock, so that idle checks see
// both active and idle terminals; some devices do not exist.
class FuzzPlatform : public FakePlatform {
   public:
    int file_times(const char* path, time_t* atime, time_t* mtime) override {
        uint32_t h = 2166136261u;
        for (const char* p = path; *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
        if (h % 7 == 0)
            return -1;
        if (h % 11 == 0) {  // times a user may set on their own terminal
            *atime = std::numeric_limits<time_t>::max();
            *mtime = std::numeric_limits<time_t>::min();
            return 0;
        }
        *atime = clock - static_cast<time_t>(h % 4000);
        *mtime = clock - static_cast<time_t>((h >> 8) % 4000);
        return 0;
    }
};

const char kPolicy[] =
    "timeout default 10\n"
    "timeout tty console 1\n"
    "timeout login u0 0\n"
    "session default 30\n"
    "session login u1 1\n"
    "session refuse 10\n"
    "refuse login u2\n"
    "exempt login u3 all\n"
    "exempt tty pts/1 idle\n"
    "maxuser group g1 2\n"
    "threshold multiple 2\n"
    "threshold session 1\n"
    "multiples -1\n"
    "warn 30\n"
    "sleep 60\n"
    "conswins idle 5\n"
    "panes join\n";

FuzzPlatform* fuzz_platform;

void init_once() {
    fuzz_platform = new FuzzPlatform;
    fuzz_platform->Install();
    for (int i = 0; i < 5; ++i) {
        std::string name = "u" + std::to_string(i);
        fuzz_platform->AddUser(name, 61000 + i, i < 3 ? 61100 : 61101);
    }
    fuzz_platform->AddGroup("g1", 61100, {"u3", "u4"});
    fuzz_platform->AddGroup("g2", 61101, {"u0"});
    // u0's tmux server, attached on two terminals: a record with host
    // "tmux(7).%N" and pid 7 is its pane.
    fuzz_platform->processes[7] = {"tmux", 61000, {"/dev/pts/1", "/dev/tty1"}};
    log_path = "/dev/null";
    rule_lists_init();
    settings_init();
    settings_reset();
    conf_mtime = 2;  // a later read: errors never end the process
    restart_scanner_from_memory(kPolicy, sizeof kPolicy - 1);
    parse_conf();
}

struct Reader {
    const uint8_t* p;
    size_t left;
    uint8_t byte() {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    void bytes(char* out, size_t size) {
        size_t n = byte();
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = byte();
            if (i < size)
                out[i] = static_cast<char>(b);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (init_once(), true);
    (void)ready;
    FuzzPlatform& fake = *fuzz_platform;
    session_table_reset();
    clock_step_reset();
    recent_session_users_reset();
    unwritable_reset();
    fake.clock = 1000000000;
    sleep_interval = 60;

    Reader in{data, size};
    for (int pass = 0; pass < 8 && in.left > 0; ++pass) {
        size_t n = in.byte() * 600 / 255;
        fake.clock += in.byte() * 37;
        fake.logins.clear();
        for (size_t i = 0; i < n && in.left > 0; ++i) {
            struct utmpx u;
            std::memset(&u, 0, sizeof u);
            u.ut_type = static_cast<short>(in.byte() % 10);
            in.bytes(u.ut_user, sizeof u.ut_user);
            in.bytes(u.ut_line, sizeof u.ut_line);
            in.bytes(u.ut_host, sizeof u.ut_host);
            int64_t t = 0;
            for (int b = 0; b < 8; ++b) t = (t << 8) | in.byte();
            u.ut_tv.tv_sec = static_cast<decltype(u.ut_tv.tv_sec)>(t);
            u.ut_pid = static_cast<pid_t>(t & 15);  // some name the tmux server
            fake.logins.push_back(u);
        }
        poll_scan(pass == 3);
    }
    return 0;
}
