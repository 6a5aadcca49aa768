// Fuzzes the configuration scanner, parser and list-file reader together.
// An input is a configuration, optionally followed by a line "%%" and the
// contents of a list file, which is written to "list" in a private working
// directory; the configuration may name it ("timeout file list 5").  The
// configuration is parsed from memory and again from a file, and the two
// must leave the same rules and settings.  Every run is a later read,
// so errors never end the process, and the lists are emptied after it.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/event_log.h"
#include "config/grammar.h"
#include "config/rule_list.h"
#include "config/scanner.h"
#include "config/settings.h"
#include "config/tokens.h"
#include "fake_platform.h"

namespace {

void clear_all() {
    for (RuleList* l :
         {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list})
        clear_rules(l);
}

std::string dump_state() {
    std::string out;
    for (int32_t v :
         {sleep_interval, warn_time, multiple_threshold, session_threshold, multiples, idle_method,
          console_idle, console_session, console_multiple, session_default, refuse_time})
        out += std::to_string(v) + ' ';
    for (RuleList* l :
         {exempt_list, refuse_list, timeout_list, session_list, maxuser_list, hours_list}) {
        out += '|';
        for (RuleNode* n = l->next; n != l; n = n->next)
            out += std::to_string(n->entry->kind) + ' ' + (n->entry->name ? n->entry->name : "-") +
                   ' ' + std::to_string(n->entry->id) + ' ' + std::to_string(n->entry->value) + ';';
    }
    return out;
}

void write_file(const char* path, std::string_view text) {
    FILE* f = fopen(path, "w");
    if (f == nullptr)
        abort();
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// Parses config from memory, or from the file fuzz.cf holding the same
// bytes.  Returns parse_conf's result.
int parse(std::string_view config, bool from_file) {
    conf_mtime = 2;
    conf_line = 1;
    settings_reset();
    sleep_interval = warn_time = 0;
    FILE* f = nullptr;
    if (from_file) {
        f = fopen("fuzz.cf", "r");
        if (f == nullptr)
            abort();
        restart_scanner(f);
    } else {
        restart_scanner_from_memory(config.data(), config.size());
    }
    int result = parse_conf();
    restart_scanner(nullptr);
    if (f != nullptr)
        fclose(f);
    return result;
}

std::string work_dir;

void remove_work_dir() {
    unlink("list");
    unlink("fuzz.cf");
    rmdir(work_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory when the system offers it: two files are written per run.
    work_dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    work_dir += "/quelldfuzz_XXXXXX";
    if (mkdtemp(work_dir.data()) == nullptr || chdir(work_dir.c_str()) != 0)
        abort();
    atexit(remove_work_dir);
    log_path = "/dev/null";
    auto* fake = new FakePlatform;  // lives for the whole run
    fake->AddUser("alice", 1001, 50);
    fake->AddUser("bob", 1002, 50);
    fake->AddGroup("wheel", 0, {"alice"});
    fake->AddGroup("staff", 50);
    fake->Install();
    settings_init();
    conf_path = "fuzz.cf";
    rule_lists_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    std::string_view config = all;
    std::string_view list;
    size_t cut = all.find("\n%%\n");
    if (cut != std::string_view::npos) {
        config = all.substr(0, cut + 1);
        list = all.substr(cut + 4);
    }
    write_file("list", list);
    write_file("fuzz.cf", config);

    int from_memory = parse(config, false);
    read_list_file(size % 2 ? MAXUSER : TIMEOUT, "list", 7);
    std::string state = dump_state();
    clear_all();

    int from_stream = parse(config, true);
    read_list_file(size % 2 ? MAXUSER : TIMEOUT, "list", 7);
    if (from_stream != from_memory || dump_state() != state)
        abort();
    clear_all();
    return 0;
}
