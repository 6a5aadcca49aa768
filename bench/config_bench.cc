// Reading the configuration: a 10,000-line configuration scanned and
// parsed, and a 100,000-name list file read into a rule list.  The inputs
// are generated into a private directory once.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/event_log.h"
#include "config/grammar.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "fake_platform.h"

namespace {

struct Inputs {
    std::string dir, config_path, list_path, config_text;
    FakePlatform fake;

    Inputs() {
        char tmpl[] = "/tmp/quelldbench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        dir = tmpl;
        log_path = "/dev/null";
        fake.AddUser("alice", 1001, 50);
        fake.AddUser("bob", 1002, 50);
        fake.AddGroup("staff", 50);
        fake.AddGroup("students", 60);
        fake.Install();
        settings_init();
        conf_mtime = 2;  // a later read: nothing ends the process
        rule_lists_init();

        // Every command in turn, with comments and blank lines, as a large
        // site's file might hold them.
        const char* lines[] = {
            "timeout login alice %d\n",
            "exempt tty ttyv%d idle\n",
            "session host h%d.example.org 240\n",
            "# comment %d: who gets what\n",
            "timeout group students %d\n",
            "\n",
            "maxuser group staff %d\n",
            "refuse tty pts/%d\n",
            "timeout default %d\n",
            "conswins idle %d\n",
            "sleep %d\n",
            "exempt login bob all  # %d\n",
        };
        for (int i = 0; i < 10000; ++i) {
            char buf[128];
            std::snprintf(buf, sizeof buf, lines[i % std::size(lines)], i);
            config_text += buf;
        }
        config_path = dir + "/quelld.cf";
        Write(config_path, config_text);

        std::string names;
        for (int i = 0; i < 100000; ++i) names += "user" + std::to_string(i) + "\n";
        list_path = dir + "/users.list";
        Write(list_path, names);
    }
    ~Inputs() { std::filesystem::remove_all(dir); }

    static void Write(const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (f == nullptr)
            abort();
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
};

Inputs& inputs() {
    static Inputs in;
    return in;
}

void clear_all() {
    for (RuleList* l :
         {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list})
        clear_rules(l);
}

void BM_ScanConfig10k(benchmark::State& state) {
    Inputs& in = inputs();
    for (auto _ : state) {
        FILE* f = std::fopen(in.config_path.c_str(), "r");
        restart_scanner(f);
        int tokens = 0;
        while (next_token() != END_OF_INPUT) ++tokens;
        restart_scanner(nullptr);
        std::fclose(f);
        benchmark::DoNotOptimize(tokens);
    }
}
BENCHMARK(BM_ScanConfig10k)->Unit(benchmark::kMillisecond);

void BM_ParseConfig10k(benchmark::State& state) {
    Inputs& in = inputs();
    for (auto _ : state) {
        FILE* f = std::fopen(in.config_path.c_str(), "r");
        restart_scanner(f);
        benchmark::DoNotOptimize(parse_conf());
        restart_scanner(nullptr);
        std::fclose(f);
        state.PauseTiming();
        clear_all();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ParseConfig10k)->Unit(benchmark::kMillisecond);

void BM_ReadListFile100k(benchmark::State& state) {
    Inputs& in = inputs();
    for (auto _ : state) {
        read_list_file(TIMEOUT, in.list_path.c_str(), 30);
        state.PauseTiming();
        clear_all();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReadListFile100k)->Unit(benchmark::kMillisecond);

// The same names behind one rule of every higher kind and a list of tty
// rules, so every insertion walks past the rules ahead of its kind.
void BM_ReadListFile100kAfterRules(benchmark::State& state) {
    Inputs& in = inputs();
    for (auto _ : state) {
        state.PauseTiming();
        add_rule(timeout_list, DEFAULT, nullptr, 0, 30);
        add_rule(timeout_list, GROUP, strdup("staff"), 50, 10);
        for (int i = 0; i < 100; ++i) add_rule(timeout_list, TTY, strdup("ttyv0"), 0, 5);
        state.ResumeTiming();
        read_list_file(TIMEOUT, in.list_path.c_str(), 30);
        state.PauseTiming();
        clear_all();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReadListFile100kAfterRules)->Unit(benchmark::kMillisecond);

}  // namespace
