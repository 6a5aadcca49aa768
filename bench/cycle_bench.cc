// The cost of one polling pass over logins already known, and of policy
// resolution against small and very large rule sets.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "daemon/cycle.h"
#include "daemon/event_log.h"
#include "daemon/session_table.h"
#include "fake_platform.h"
#include "policy/resolve.h"

// Every allocation in the process, counted so that a pass over known logins
// can be shown to make none.  The counters forward to glibc's own allocator.
static long allocations;
#ifdef __GLIBC__
extern "C" {
void* __libc_malloc(size_t n);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t n);
void* malloc(size_t n) noexcept {
    ++allocations;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) noexcept {
    ++allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) noexcept {
    ++allocations;
    return __libc_realloc(p, n);
}
}
#endif

namespace {

// prefix followed by the decimal i.  (Built with snprintf: GCC 12 at -O3
// warns falsely about a short literal + std::to_string.)
std::string Numbered(const char* prefix, int i) {
    char b[32];
    std::snprintf(b, sizeof b, "%s%d", prefix, i);
    return b;
}

// A fake host with n logins of n known users, each in a few groups.
void bench_setup(FakePlatform* fake, int n) {
    fake->Install();
    settings_init();
    settings_reset();
    session_table_reset();
    rule_lists_init();
    log_path = "/dev/null";
    sleep_interval = 60;
    for (int g = 0; g < 50; ++g) fake->AddGroup(Numbered("g", g), 100 + g);
    for (int i = 0; i < n; ++i) {
        std::string user = Numbered("user", i);
        fake->AddUser(user, 1000 + i, 100 + i % 50);
        fake->AddLogin(user, Numbered("pts/", i), Numbered("host", i % 7) + ".example",
                       1700000000 + i);
    }
}

void BM_CycleKnownLogins(benchmark::State& state) {
    FakePlatform fake;
    int n = static_cast<int>(state.range(0));
    bench_setup(&fake, n);
    add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
    poll_scan(0);  // every login is new here, and known from now on
    for (int i = 0; i < n; ++i) SessionTable[i].next_check = fake.clock + 1000;

    long before = allocations;
    for (auto _ : state) benchmark::DoNotOptimize(poll_scan(0));
    state.counters["allocs_per_cycle"] =
        static_cast<double>(allocations - before) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * n);
    clear_rules(timeout_list);
}
BENCHMARK(BM_CycleKnownLogins)->Arg(0)->Arg(50)->Arg(500);

// Rules that match nobody, spread over the five lists in every kind, so that
// each walk goes through its whole list; a default timeout rule, met last,
// gives every login its idle limit.
void BM_ResolvePolicy(benchmark::State& state) {
    FakePlatform fake;
    bench_setup(&fake, MAXUSERS);
    RuleList* lists[] = {exempt_list, refuse_list, timeout_list, session_list, maxuser_list};
    const int kinds[] = {TTY, HOST, LOGIN, GROUP};
    int rules = static_cast<int>(state.range(0));
    for (int i = 0; i < rules - 1; ++i) {
        std::string name = Numbered("nobody", i);
        int kind = kinds[i % 4];
        add_rule(lists[i % 5], kind, strdup(name.c_str()), kind == GROUP ? 5000 + i : 0, IDLE);
    }
    add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
    poll_scan(0);

    for (auto _ : state) {
        for (int slot = 0; slot < MAXUSERS; ++slot) resolve_policy(slot);
    }
    state.SetItemsProcessed(state.iterations() * MAXUSERS);
    for (RuleList* l : lists) clear_rules(l);
}
BENCHMARK(BM_ResolvePolicy)->Arg(10)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
