// A forced logout from start to end: the warning child forked, zap (every
// descriptor from 3 up closed, the notice written to a real pseudo-terminal,
// the process table searched for the terminal's processes, the log line),
// the child reaped.  Measured under
// a hard descriptor limit of 2^20 and of 2^30, to show that closing the
// descriptors costs the same whatever the limit.  Needs root for the limits.
//
// Linux refuses a hard limit above /proc/sys/fs/nr_open (2^20 by default),
// a host-wide setting, and raising a hard limit at all takes CAP_SYS_RESOURCE.
// With QUELLD_BENCH_RAISE_NR_OPEN=1 the benchmark raises fs.nr_open for the
// instant it takes to set its own limit and puts the old value back at once;
// a case whose limit cannot be had is skipped with the reason.  The limits
// below the inherited one show that the cost does not follow the limit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/session_table.h"
#include "enforce/logout.h"
#include "enforce/warn.h"
#include "pathnames.h"

namespace {

const char* const nr_open_path = "/proc/sys/fs/nr_open";

long read_nr_open() {
    FILE* f = std::fopen(nr_open_path, "r");
    long v = -1;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld", &v) != 1)
            v = -1;
        std::fclose(f);
    }
    return v;
}

bool write_nr_open(long v) {
    FILE* f = std::fopen(nr_open_path, "w");
    if (f == nullptr)
        return false;
    bool ok = std::fprintf(f, "%ld\n", v) > 0;
    return std::fclose(f) == 0 && ok;
}

// Why a hard descriptor limit of hard cannot be set in this process, or an
// empty string when it can (tried in a child, so this process keeps its own).
// Raising a hard limit takes CAP_SYS_RESOURCE, and no more than fs.nr_open.
std::string why_not_limit(rlim_t hard) {
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl {
            1024, hard
        };
        _exit(setrlimit(RLIMIT_NOFILE, &rl) == 0 ? 0 : 1);
    }
    int status;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    long nr_open = read_nr_open();
    if (nr_open >= 0 && hard > static_cast<rlim_t>(nr_open))
        return "above fs.nr_open (" + std::to_string(nr_open) + "), a host-wide setting";
    struct rlimit now;
    getrlimit(RLIMIT_NOFILE, &now);
    return "raising the hard limit above " + std::to_string(now.rlim_max) +
           " needs CAP_SYS_RESOURCE, which this process lacks";
}

// Raises fs.nr_open to at least hard for as long as it takes to set one
// child's limit: called in the parent before each fork when the user asked
// for it.  Returns the value to put back, or -1 when nothing was changed.
long nr_open_raise(rlim_t hard) {
    const char* raise = getenv("QUELLD_BENCH_RAISE_NR_OPEN");
    long old = read_nr_open();
    if (raise == nullptr || std::strcmp(raise, "1") != 0 || old < 0 ||
        hard <= static_cast<rlim_t>(old))
        return -1;
    return write_nr_open(static_cast<long>(hard)) ? old : -1;
}

// A session of count processes besides its leader on the terminal at path,
// all of them in the leader's session and holding the terminal; returns the
// leader once all are in place.
pid_t start_crowd(const char* path, int count) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (open(path, O_RDWR) < 0)
            _exit(1);
        for (int i = 0; i < count; ++i)
            if (fork() == 0) {
                close(ready[1]);
                for (;;) pause();
            }
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        for (;;) pause();
    }
    char c;
    close(ready[1]);
    if (read(ready[0], &c, 1) != 1)
        pid = -1;
    close(ready[0]);
    return pid;
}

// arg 0: log2 of the child's hard descriptor limit, 0 for the inherited one;
// arg 1: 1 to have a descriptor open near the limit (at most 2^20 - 1), so
// that the child's descriptor table is as large as it can be; 2 to have a
// session on the terminal whose one process ends on SIGHUP, as a shell
// does (started outside the timing).
void BM_ForcedLogout(benchmark::State& state) {
    rlim_t hard = state.range(0) > 0 ? rlim_t{1} << state.range(0) : 0;
    bool high_fd = state.range(1) == 1;
    bool with_session = state.range(1) == 2;
    bool raised = false;
    if (hard > 0) {
        long old = nr_open_raise(hard);
        std::string why = why_not_limit(hard);
        if (old >= 0) {
            bool back = write_nr_open(old);
            raised = true;
            std::fprintf(stderr, "logout_bench: fs.nr_open raised to %lu and put back to %ld%s\n",
                         static_cast<unsigned long>(hard), old, back ? "" : " (FAILED)");
        }
        if (!why.empty()) {
            state.SkipWithError(why.c_str());
            return;
        }
        if (raised) {
            // The limit is set once below, in this process, while nr_open is
            // up for an instant; the children inherit it.
            long old2 = nr_open_raise(hard);
            struct rlimit rl {
                1024, hard
            };
            int rc = setrlimit(RLIMIT_NOFILE, &rl);
            if (old2 >= 0)
                write_nr_open(old2);
            if (rc != 0) {
                state.SkipWithError("setrlimit failed");
                return;
            }
            hard = 0;  // already in force
        }
    }
    log_path = "/dev/null";
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    static SessionRecord r;
    std::snprintf(r.tty_path, sizeof r.tty_path, "%s", ptsname(master));
    std::strcpy(r.user, "nobody");

    char drain[256];
    int failed = 0;
    struct rusage before;
    getrusage(RUSAGE_CHILDREN, &before);
    for (auto _ : state) {
        pid_t session = -1;
        if (with_session) {
            state.PauseTiming();
            session = start_crowd(r.tty_path, 0);
            state.ResumeTiming();
        }
        pid_t pid = fork();
        if (pid == 0) {
            if (hard > 0) {
                struct rlimit rl {
                    1024, hard
                };
                if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
                    _exit(3);
            }
            if (high_fd) {
                struct rlimit rl;
                getrlimit(RLIMIT_NOFILE, &rl);
                rlim_t top = rl.rlim_max < (rlim_t{1} << 20) ? rl.rlim_max : rlim_t{1} << 20;
                rl.rlim_cur = top;
                if (setrlimit(RLIMIT_NOFILE, &rl) != 0 || dup2(0, static_cast<int>(top - 1)) < 0)
                    _exit(4);
            }
            ZapLeft left;
            _exit(zap(&r, "idle", 1, 0, 1, &left));
        }
        int status;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++failed;
        if (session > 0) {
            waitpid(session, &status, 0);
            if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGHUP)
                ++failed;
        }
        while (read(master, drain, sizeof drain) > 0) {
        }
    }
    close(master);
    struct rusage after;
    getrusage(RUSAGE_CHILDREN, &after);
    auto ms = [](const struct timeval& tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    // The processor time of the child, per logout.
    state.counters["child_cpu_ms"] =
        (ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime)) /
        static_cast<double>(state.iterations());
    if (failed > 0)
        state.SkipWithError("a logout child failed");
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    state.counters["hard_limit"] =
        static_cast<double>(state.range(0) > 0 ? rlim_t{1} << state.range(0) : rl.rlim_max);
}
// The inherited limit first: a limit set in this process (after raising
// fs.nr_open) stays for the cases after it.
BENCHMARK(BM_ForcedLogout)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({10, 0})
    ->Args({14, 0})
    ->Args({20, 0})
    ->Args({20, 1})
    ->Args({30, 0})
    ->Args({30, 1})
    ->ArgNames({"log2_hard_limit", "variant"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// For comparison: what walking every number up to the hard limit costs,
// 2^16 and 2^20 numbers (2^30 would take minutes).
void BM_CloseEveryNumber(benchmark::State& state) {
    int limit = 1 << state.range(0);
    for (auto _ : state) {
        for (int fd = 3; fd < limit; ++fd) close(fd);
    }
}
BENCHMARK(BM_CloseEveryNumber)
    ->Arg(16)
    ->Arg(20)
    ->ArgName("log2_numbers")
    ->Unit(benchmark::kMillisecond);

// A logout of a terminal with arg 0 processes on it (a leader and the rest
// of its session), from the fork of its child until every process of the
// terminal is gone and the child has reported.
void BM_LogoutOfACrowd(benchmark::State& state) {
    log_path = "/dev/null";
    int count = static_cast<int>(state.range(0));
    int failed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        static SessionRecord r;
        std::snprintf(r.tty_path, sizeof r.tty_path, "%s", ptsname(master));
        std::strcpy(r.user, "root");
        pid_t leader = start_crowd(r.tty_path, count - 1);
        state.ResumeTiming();
        pid_t pid = fork();
        if (pid == 0) {
            ZapLeft left;
            _exit(zap(&r, "idle", 1, 0, 1, &left));
        }
        int status;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != CHILD_DONE)
            ++failed;
        state.PauseTiming();
        waitpid(leader, &status, 0);
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
        close(master);
        state.ResumeTiming();
    }
    if (failed > 0)
        state.SkipWithError("a logout left processes");
}
BENCHMARK(BM_LogoutOfACrowd)
    ->Arg(1)
    ->Arg(300)
    ->Arg(2000)
    ->ArgName("processes")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The part of a pass that acts: 500 logins, arg 0 of them due for an idle
// warning on terminals whose output queue is full and never drains, each
// the login of another user.  Before, each such warning held the pass up to
// its child's five-second alarm; now the pass only forks (as far as
// CHILDREN_MAX allows) and goes on.  Measured: the calls of warn for the due
// logins, not the children's work.
void BM_PassWithStuckTerminals(benchmark::State& state) {
    log_path = "/dev/null";
    int stuck = static_cast<int>(state.range(0));
    constexpr int logins = 500;
    std::vector<int> masters;
    session_table_reset();
    session_table_reserve(logins);
    for (int i = 0; i < logins; ++i) {
        SessionRecord* r = &SessionTable[i];
        std::snprintf(r->user, sizeof r->user, "u%d", i);
        std::snprintf(r->tty_path, sizeof r->tty_path, "/dev/null");
        r->idle_limit = 600;
        if (i < stuck) {
            int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
                state.SkipWithError("no pseudo-terminal");
                return;
            }
            masters.push_back(m);
            std::snprintf(r->tty_path, sizeof r->tty_path, "%s", ptsname(m));
            int fd = open(r->tty_path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
            char block[1024] = {};
            for (int refused = 0; fd >= 0 && refused < 10;)
                if (write(fd, block, sizeof block) > 0) {
                    refused = 0;
                } else {
                    ++refused;
                    usleep(20000);
                }
            if (fd >= 0)
                close(fd);
        }
    }
    session_count = logins;
    for (auto _ : state) {
        for (int i = 0; i < stuck; ++i) {
            SessionTable[i].warned = 0;
            SessionTable[i].ended = SESSION_OPEN;
            warn(i, WARN_IDLE, 1, SessionTable[i].idle_limit);
        }
        state.PauseTiming();
        while (warn_children_running() > 0) {
            warn_children_reap();
            usleep(10000);
        }
        state.ResumeTiming();
    }
    for (int m : masters) close(m);
    session_table_reset();
}
BENCHMARK(BM_PassWithStuckTerminals)
    ->Arg(100)
    ->ArgName("stuck")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
