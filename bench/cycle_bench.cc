// The cost of one polling pass over logins already known (nothing due, and
// every idle check due), of policy resolution against small and very large
// rule sets, of a configuration re-read while logins are present, and of
// reading a real login database file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/session_table.h"
#include "config/rule_list.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "daemon/cycle.h"
#include "daemon/reload.h"
#include "fake_platform.h"
#include "policy/clock_step.h"
#include "policy/resolve.h"
#include "policy/rule_index.h"

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
    clock_step_reset();
    rule_lists_init();
    log_path = getenv("BENCH_LOG") ? getenv("BENCH_LOG") : "/dev/null";
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
BENCHMARK(BM_CycleKnownLogins)->Arg(0)->Arg(50)->Arg(500)->Arg(5000);

// Every login's idle check due in every pass.  With arg 1 each terminal was
// used a moment ago: the check examines it and moves next_check on.  With
// arg 0 nobody types: each check warns or logs out, through the fake fork
// (no child runs), so this is the daemon's own share of acting on everyone.
// The fake's file times sit in a std::map, which a real stat does not pay.
void BM_CycleAllDue(benchmark::State& state) {
    FakePlatform fake;
    int n = static_cast<int>(state.range(0));
    bool active = state.range(1) != 0;
    bench_setup(&fake, n);
    add_rule(timeout_list, DEFAULT, nullptr, 0, 1);
    std::vector<FakePlatform::Times*> terminals;
    for (int i = 0; i < n; ++i) {
        fake.SetTimes(Numbered("/dev/pts/", i), fake.clock, fake.clock);
        terminals.push_back(&fake.files[Numbered("/dev/pts/", i)]);
    }
    poll_scan(0);

    long before = allocations;
    for (auto _ : state) {
        // Two minutes on: past every next_check, whichever the last pass set.
        fake.clock += 120;
        if (active)
            for (FakePlatform::Times* t : terminals) t->atime = fake.clock - 1;
        benchmark::DoNotOptimize(poll_scan(0));
    }
    state.counters["allocs_per_cycle"] =
        static_cast<double>(allocations - before) / static_cast<double>(state.iterations());
    state.counters["forks_per_cycle"] =
        static_cast<double>(fake.forks) / static_cast<double>(state.iterations() + 1);
    state.SetItemsProcessed(state.iterations() * n);
    clear_rules(timeout_list);
}
BENCHMARK(BM_CycleAllDue)
    ->ArgsProduct({{0, 50, 500, 5000}, {1, 0}})
    ->ArgNames({"logins", "active"});

// Rules that match nobody, spread over the five lists in every kind, so that
// each walk goes through its whole list; a default timeout rule, met last,
// gives every login its idle limit.
void BM_ResolvePolicy(benchmark::State& state) {
    FakePlatform fake;
    bench_setup(&fake, 500);
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
        for (int slot = 0; slot < session_count; ++slot) resolve_policy(slot);
    }
    state.SetItemsProcessed(state.iterations() * session_count);
    for (RuleList* l : lists) clear_rules(l);
}
BENCHMARK(BM_ResolvePolicy)->Arg(10)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The configuration re-read while 500 logins are present, then the pass that
// resolves every login again and runs its idle check.  The configuration
// holds state.range(0) rules that match nobody, spread over the five lists,
// and a default timeout:
//   form 0: five list files (login names; group names for maxuser), the way
//           a site keeps long lists;
//   form 1: one rule line each, tty and host rules.  Login and group lines
//           are left out: each costs a password or group database lookup
//           (and a warning line for an unknown name), which the host's
//           databases decide, not the daemon.
// Group names are looked up in the fake's group list.
void BM_ReloadWithLogins(benchmark::State& state) {
    FakePlatform fake;
    bench_setup(&fake, 500);
    for (int g = 0; g < 100; ++g) fake.AddGroup(Numbered("nobodies", g), 5000 + g);
    for (int i = 0; i < 500; ++i) fake.SetTimes(Numbered("/dev/pts/", i), fake.clock, fake.clock);

    char tmpl[] = "/tmp/quelldbench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    std::string dir = tmpl;
    std::string cf = dir + "/quelld.cf";
    FILE* f = std::fopen(cf.c_str(), "w");
    if (f == nullptr)
        abort();
    int rules = static_cast<int>(state.range(0));
    if (state.range(1) == 0) {
        const char* commands[] = {"exempt file %s idle\n", "refuse file %s\n",
                                  "timeout file %s 5\n", "session file %s 60\n",
                                  "maxuser file %s 2\n"};
        for (int l = 0; l < 5; ++l) {
            std::string path = dir + Numbered("/list", l);
            FILE* lf = std::fopen(path.c_str(), "w");
            if (lf == nullptr)
                abort();
            for (int i = l; i < rules; i += 5) {
                std::string name = l == 4 ? Numbered("nobodies", i % 100) : Numbered("nobody", i);
                std::fprintf(lf, "%s\n", name.c_str());
            }
            std::fclose(lf);
            std::fprintf(f, commands[l], path.c_str());
        }
    } else {
        const char* commands[] = {"exempt %s %s idle\n", "refuse %s %s\n", "timeout %s %s 5\n",
                                  "session %s %s 60\n", "maxuser %s %s 2\n"};
        for (int i = 0; i < rules; ++i) {
            const char* kind = (i / 5) % 2 == 0 ? "tty" : "host";
            std::fprintf(f, commands[i % 5], kind, Numbered("nobody", i).c_str());
        }
    }
    std::fprintf(f, "timeout default 1\nwarn 30\nsleep 60\n");
    std::fclose(f);
    conf_path = cf.c_str();
    conf_mtime = 2;  // a later read: nothing ends the process
    time_t mtime = 3;
    fake.SetTimes(cf, mtime, mtime);
    poll_scan(reload_config());

    for (auto _ : state) {
        ++mtime;
        fake.SetTimes(cf, mtime, mtime);
        int reloaded = reload_config();
        benchmark::DoNotOptimize(poll_scan(reloaded));
    }
    if (SessionTable[0].idle_limit != 60)
        state.SkipWithError("the default timeout rule did not reach the logins");
    state.SetItemsProcessed(state.iterations() * rules);
    for (RuleList* l :
         {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list})
        clear_rules(l);
    rule_index_free();
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReloadWithLogins)
    ->ArgsProduct({{10, 100000}, {0, 1}})
    ->ArgNames({"rules", "lines"})
    ->Unit(benchmark::kMillisecond);

// The real platform with the login database read entry by entry through
// glibc, as the daemon read it before it read in bulk; for comparison.
class GlibcUtmpPlatform final : public Platform {
   public:
    time_t now() override { return real()->now(); }
    int64_t monotonic() override { return real()->monotonic(); }
    int file_times(const char* path, time_t* atime, time_t* mtime) override {
        return real()->file_times(path, atime, mtime);
    }
    int file_stamp(const char* path, FileStamp* stamp) override {
        return real()->file_stamp(path, stamp);
    }
    void utx_rewind() override { setutxent(); }
    const struct utmpx* utx_next() override { return getutxent(); }
    void utx_close() override { endutxent(); }
    int utx_error() override { return 0; }
    const struct passwd* pw_by_name(const char* name) override { return real()->pw_by_name(name); }
    const struct group* gr_by_name(const char* name) override { return real()->gr_by_name(name); }
    const struct group* gr_by_gid(gid_t gid) override { return real()->gr_by_gid(gid); }
    int group_list(const char* user, gid_t group, gid_t* groups, int* count) override {
        return real()->group_list(user, group, groups, count);
    }
    pid_t fork_process() override { return real()->fork_process(); }
    pid_t reap_process(pid_t pid, int* status) override {
        return real()->reap_process(pid, status);
    }
    void end_child(pid_t pid) override { real()->end_child(pid); }
    int process_exists(pid_t pid) override { return real()->process_exists(pid); }
    int file_owner(const char* path, uid_t* uid) override { return real()->file_owner(path, uid); }
    int process_program(pid_t pid, char* name, size_t size, uid_t* uid) override {
        return real()->process_program(pid, name, size, uid);
    }
    int process_holds(pid_t pid, const char* const* paths, int count) override {
        return real()->process_holds(pid, paths, count);
    }
    void sleep_seconds(unsigned seconds) override { real()->sleep_seconds(seconds); }

   private:
    static Platform* real() { return real_platform(); }
};

// A login database file of n user logins, in glibc's format, at path.
void write_utmp_file(const std::string& path, int n) {
    std::vector<struct utmpx> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        struct utmpx& u = v[static_cast<size_t>(i)];
        std::memset(&u, 0, sizeof u);
        u.ut_type = USER_PROCESS;
        u.ut_pid = 1000 + i;
        std::snprintf(u.ut_line, sizeof u.ut_line, "pts/%d", i);
        std::snprintf(u.ut_user, sizeof u.ut_user, "user%d", i);
        std::snprintf(u.ut_host, sizeof u.ut_host, "host%d.example", i % 7);
        u.ut_tv.tv_sec = 1700000000 + i;
    }
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fwrite(v.data(), sizeof(struct utmpx), v.size(), f) != v.size())
        abort();
    std::fclose(f);
}

// One pass over a real login database file of state.range(0) known logins
// with nothing due, on the real platform: arg 1 reads the file in bulk as
// the daemon does, arg 0 entry by entry through glibc.
void BM_CycleRealUtmp(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    bool bulk = state.range(1) != 0;
    char tmpl[] = "/tmp/quelldbench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    std::string utmp = std::string(tmpl) + "/utmp";
    write_utmp_file(utmp, n);
    platform_utx_file(utmp.c_str());

    GlibcUtmpPlatform glibc;
    Platform* saved = platform;
    platform = bulk ? real_platform() : &glibc;
    settings_init();
    settings_reset();
    session_table_reset();
    clock_step_reset();
    rule_lists_init();
    log_path = "/dev/null";
    sleep_interval = 60;
    add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
    poll_scan(0);  // every login is new here, and known from now on
    for (int i = 0; i < n; ++i) SessionTable[i].next_check = platform->now() + 1000000;

    long before = allocations;
    for (auto _ : state) benchmark::DoNotOptimize(poll_scan(0));
    state.counters["allocs_per_cycle"] =
        static_cast<double>(allocations - before) / static_cast<double>(state.iterations());
    if (active_count != n)
        state.SkipWithError("the pass did not see every login");
    state.SetItemsProcessed(state.iterations() * n);

    clear_rules(timeout_list);
    platform = saved;
    platform_utx_file(_PATH_UTMPX);
    std::filesystem::remove_all(tmpl);
}
BENCHMARK(BM_CycleRealUtmp)
    ->ArgsProduct({{0, 50, 500}, {0, 1}})
    ->ArgNames({"logins", "bulk"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
