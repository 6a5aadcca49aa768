// A platform for unit tests: a settable clock, file times, login records,
// password and group entries, and failures on demand.  Install it for the
// length of a test with FakePlatform::Install.
#ifndef QUELLD_TESTS_FAKE_PLATFORM_H
#define QUELLD_TESTS_FAKE_PLATFORM_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "os/platform.h"

struct FakeUser {
    std::string name;
    uid_t uid;
    gid_t gid;
};

struct FakeGroup {
    std::string name;
    gid_t gid;
    std::vector<std::string> members;
};

class FakePlatform : public Platform {
   public:
    FakePlatform();
    ~FakePlatform() override;

    // Makes this the platform in force until it is destroyed.
    void Install();

    // The clock; sleep_seconds advances it and records the sleep.
    time_t clock = 1000000000;
    std::vector<unsigned> sleeps;
    // The monotonic clock follows clock, but for the steps made with Step:
    // time moved by hand on clock counts as time that passed.
    int64_t stepped = 0;
    void Step(time_t seconds) {
        clock += seconds;
        stepped += seconds;
    }

    // File times by path; a missing path fails with ENOENT.
    struct Times {
        time_t atime, mtime;
        time_t ctime = 0;  // file_stamp's change time and inode
        uint64_t ino = 1;
    };
    std::map<std::string, Times> files;
    void SetTimes(const std::string& path, time_t atime, time_t mtime) {
        files[path] = {atime, mtime};
    }

    // Processes that no longer exist (every other pid does), and owners of
    // files by path (file_owner fails with ENOENT for any other).
    std::vector<pid_t> dead_pids;
    std::map<std::string, uid_t> owners;

    // The login database, returned entry by entry after each rewind.
    std::vector<struct utmpx> logins;
    // Appends a USER_PROCESS entry (type may be changed afterwards).
    struct utmpx& AddLogin(const std::string& user, const std::string& line,
                           const std::string& host, time_t login_time, short type = USER_PROCESS);

    std::vector<FakeUser> users;
    std::vector<FakeGroup> groups;
    void AddUser(const std::string& name, uid_t uid, gid_t gid) {
        users.push_back({name, uid, gid});
    }
    void AddGroup(const std::string& name, gid_t gid, std::vector<std::string> members = {}) {
        groups.push_back({name, gid, std::move(members)});
    }

    // fork_process returns fork_result (a pid, or -1 with fork_errno); each
    // reap_process returns wait_status for it: every child has ended by
    // then, and none ever runs.
    pid_t fork_result = 4242;
    int fork_errno = 0;
    int wait_status = 0;
    int forks = 0;
    // Runs at every fork, while the daemon's state is as the child would
    // see it (a warning's temporary limits in place).
    std::function<void()> on_fork;

    // Every path file_times was asked about, in order.
    std::vector<std::string> examined;

    // Failures of reap_process, one per call and in order (0: still
    // running); once used up the calls succeed.  waits counts calls.
    std::vector<int> wait_errnos;
    int waits = 0;

    // Counters for tests that check what was looked up.
    int pw_lookups = 0;
    int utx_rewinds = 0;
    int utx_closes = 0;

    time_t now() override { return clock; }
    int64_t monotonic() override { return clock - stepped - 900000000; }
    int file_times(const char* path, time_t* atime, time_t* mtime) override;
    int file_stamp(const char* path, FileStamp* stamp) override;
    void utx_rewind() override;
    const struct utmpx* utx_next() override;
    void utx_close() override { ++utx_closes; }
    // utx_error's answer; with it nonzero utx_next gives only the first
    // utx_stop entries.
    int utx_errno = 0;
    size_t utx_stop = 0;
    int utx_error() override { return utx_errno; }
    const struct passwd* pw_by_name(const char* name) override;
    const struct group* gr_by_name(const char* name) override;
    const struct group* gr_by_gid(gid_t gid) override;
    // As glibc: group first, then every other group whose members name user,
    // in the order of groups; -1 with *count raised when they do not fit.
    int group_list(const char* user, gid_t group, gid_t* out, int* count) override;
    // Sizes group_list was called with, in order.  Without
    // group_list_tells_count a list that does not fit leaves *count as it
    // was, as FreeBSD may.
    std::vector<int> group_list_sizes;
    bool group_list_tells_count = true;
    // Processes process_program and process_holds know (any other pid fails
    // with ESRCH): the program's base name, its real uid and the paths of
    // the terminals it holds open.
    struct Process {
        std::string program;
        uid_t uid;
        std::vector<std::string> holds;
    };
    std::map<pid_t, Process> processes;
    int process_program(pid_t pid, char* name, size_t size, uid_t* uid) override;
    int process_holds(pid_t pid, const char* const* paths, int count) override;
    int process_exists(pid_t pid) override;
    int file_owner(const char* path, uid_t* uid) override;
    pid_t fork_process() override;
    pid_t reap_process(pid_t pid, int* status) override;
    // While set, every child still runs: reap_process answers 0.
    bool children_run = false;
    // Children end_child was called for, in order.
    std::vector<pid_t> ended_children;
    void end_child(pid_t pid) override { ended_children.push_back(pid); }
    void sleep_seconds(unsigned seconds) override {
        sleeps.push_back(seconds);
        clock += seconds;
    }

   private:
    const struct group* Fill(const FakeGroup& g);
    Platform* saved_ = nullptr;
    size_t utx_pos_ = 0;
    struct utmpx utx_ {};
    struct passwd pw_ {};
    std::string pw_name_;
    struct group gr_ {};
    std::string gr_name_;
    std::vector<std::string> gr_members_;
    std::vector<char*> gr_mem_;
};

#endif  // QUELLD_TESTS_FAKE_PLATFORM_H
