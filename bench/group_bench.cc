// What taking a new login costs in group lookups on a host whose group
// database is large: 10,000 groups in /etc/group, the user a member of five.
//
// Run as root: the benchmark moves itself into a mount namespace of its own
// and shows a group file it wrote at /etc/group there; the host's file is
// never written.  Without root it says so and measures the host's database.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/session_table.h"
#include "policy/resolve.h"

namespace {

constexpr int GROUPS = 10000;
constexpr int MEMBER_EVERY = 2000;  // the user is in groups 0, 2000, 4000 ...

bool private_group_file() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    char dir[] = "/tmp/quelld-group-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    std::string path = std::string(dir) + "/group";
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f, "benchu:x:70000:\n");
    for (int i = 0; i < GROUPS; ++i)
        std::fprintf(f, "bgroup%d:x:%d:%s\n", i, 80000 + i,
                     i % MEMBER_EVERY == 0 ? "someone,benchu" : "someone,other");
    std::fclose(f);
    bool ok = mount(path.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
    // The bind keeps the file; its name is not needed any more.
    unlink(path.c_str());
    rmdir(dir);
    return ok;
}

void BM_GroupListOfNewLogin(benchmark::State& state) {
    static const bool isolated = private_group_file();
    if (!isolated) {
        state.SkipWithError("needs root, for a private /etc/group of 10,000 groups");
        return;
    }
    int32_t groups[NGROUPS_KEPT];
    for (auto _ : state) {
        fill_group_list("benchu", groups, 70000);
        benchmark::DoNotOptimize(groups);
    }
    int n = 0;
    while (n < NGROUPS_KEPT && groups[n] >= 0) ++n;
    state.counters["groups"] = n;
}
BENCHMARK(BM_GroupListOfNewLogin)->Unit(benchmark::kMicrosecond);

}  // namespace
