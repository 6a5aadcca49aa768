// Composing each warning text, as a warning child does once per warning.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>

#include "base/session_table.h"
#include "config/settings.h"
#include "enforce/texts.h"

namespace {

SessionRecord* bench_record() {
    static SessionRecord r;
    settings_init();
    warn_time = 30;
    sleep_interval = 60;
    r.idle_limit = 900;
    r.session_limit = 14400;
    r.next_check = 2;  // the allowed logins while a multiple-login warning is out
    r.maxuser_limit = 10;
    std::strcpy(r.user, "alice");
    std::strcpy(r.tty_path, "/dev/pts/7");
    return &r;
}

// arg: 0 idle, 1 session, 2 multiple, 3 maxuser, 4 refusal.
void BM_ComposeText(benchmark::State& state) {
    SessionRecord* r = bench_record();
    char buf[TEXT_SIZE];
    time_t now = 1700000000;
    int kind = static_cast<int>(state.range(0));
    for (auto _ : state) {
        int n = 0;
        switch (kind) {
            case 0:
                n = text_idle(buf, sizeof buf, r->idle_limit, now);
                break;
            case 1:
                n = text_session(buf, sizeof buf, r->session_limit, now);
                break;
            case 2:
                n = text_multiple(buf, sizeof buf, r->next_check, now);
                break;
            case 3:
                n = text_maxuser(buf, sizeof buf, r->maxuser_limit, now);
                break;
            default:
                n = text_refused(buf, sizeof buf, now);
                break;
        }
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_ComposeText)->DenseRange(0, 4)->ArgName("kind");

void BM_FormatDuration(benchmark::State& state) {
    int32_t seconds = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_duration(seconds, seconds & 1));
        seconds = (seconds + 37) % 7200;
    }
}
BENCHMARK(BM_FormatDuration);

}  // namespace
