#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
    if (saved_ != nullptr)
        platform = saved_;
}

void FakePlatform::Install() {
    if (platform == this)
        return;  // installed twice: keep what to restore
    saved_ = platform;
    platform = this;
}

int FakePlatform::file_times(const char* path, time_t* atime, time_t* mtime) {
    examined.emplace_back(path);
    auto it = files.find(path);
    if (it == files.end()) {
        errno = ENOENT;
        return -1;
    }
    *atime = it->second.atime;
    *mtime = it->second.mtime;
    return 0;
}

int FakePlatform::file_stamp(const char* path, FileStamp* stamp) {
    time_t atime;
    if (file_times(path, &atime, &stamp->mtime) != 0)
        return -1;
    const Times& t = files[path];
    stamp->ctime_ns = int64_t{t.ctime} * 1000000000;
    stamp->dev = 1;
    stamp->ino = t.ino;
    return 0;
}

struct utmpx& FakePlatform::AddLogin(const std::string& user, const std::string& line,
                                     const std::string& host, time_t login_time, short type) {
    struct utmpx u {};
    u.ut_type = type;
    std::strncpy(u.ut_user, user.c_str(), sizeof u.ut_user);
    std::strncpy(u.ut_line, line.c_str(), sizeof u.ut_line);
    std::strncpy(u.ut_host, host.c_str(), sizeof u.ut_host);
    u.ut_tv.tv_sec = static_cast<decltype(u.ut_tv.tv_sec)>(login_time);
    logins.push_back(u);
    return logins.back();
}

void FakePlatform::utx_rewind() {
    utx_pos_ = 0;
    ++utx_rewinds;
}

const struct utmpx* FakePlatform::utx_next() {
    if (utx_pos_ >= logins.size() || (utx_errno != 0 && utx_pos_ >= utx_stop))
        return nullptr;
    utx_ = logins[utx_pos_++];
    return &utx_;
}

const struct passwd* FakePlatform::pw_by_name(const char* name) {
    ++pw_lookups;
    for (const FakeUser& u : users) {
        if (u.name == name) {
            pw_name_ = u.name;
            pw_ = {};
            pw_.pw_name = pw_name_.data();
            pw_.pw_uid = u.uid;
            pw_.pw_gid = u.gid;
            return &pw_;
        }
    }
    return nullptr;
}

const struct group* FakePlatform::Fill(const FakeGroup& g) {
    gr_name_ = g.name;
    gr_members_ = g.members;
    gr_mem_.clear();
    for (std::string& m : gr_members_) gr_mem_.push_back(m.data());
    gr_mem_.push_back(nullptr);
    gr_ = {};
    gr_.gr_name = gr_name_.data();
    gr_.gr_gid = g.gid;
    gr_.gr_mem = gr_mem_.data();
    return &gr_;
}

const struct group* FakePlatform::gr_by_name(const char* name) {
    for (const FakeGroup& g : groups)
        if (g.name == name)
            return Fill(g);
    return nullptr;
}

const struct group* FakePlatform::gr_by_gid(gid_t gid) {
    for (const FakeGroup& g : groups)
        if (g.gid == gid)
            return Fill(g);
    return nullptr;
}

int FakePlatform::group_list(const char* user, gid_t group, gid_t* out, int* count) {
    group_list_sizes.push_back(*count);
    std::vector<gid_t> all{group};
    for (const FakeGroup& g : groups)
        for (const std::string& m : g.members)
            if (m == user && g.gid != group) {
                all.push_back(g.gid);
                break;
            }
    int room = *count;
    for (int i = 0; i < room && i < static_cast<int>(all.size()); ++i) out[i] = all[i];
    if (static_cast<int>(all.size()) > room) {
        if (group_list_tells_count)
            *count = static_cast<int>(all.size());
        return -1;
    }
    *count = static_cast<int>(all.size());
    return *count;
}

pid_t FakePlatform::fork_process() {
    ++forks;
    if (on_fork)
        on_fork();
    if (fork_result < 0)
        errno = fork_errno;
    return fork_result;
}

pid_t FakePlatform::reap_process(pid_t pid, int* status) {
    if (children_run)
        return 0;
    if (static_cast<size_t>(waits++) < wait_errnos.size()) {
        errno = wait_errnos[waits - 1];
        return errno == 0 ? 0 : -1;
    }
    *status = wait_status;
    return pid;
}

int FakePlatform::process_exists(pid_t pid) {
    return std::find(dead_pids.begin(), dead_pids.end(), pid) == dead_pids.end() ? 1 : 0;
}

int FakePlatform::file_owner(const char* path, uid_t* uid) {
    auto it = owners.find(path);
    if (it == owners.end()) {
        errno = ENOENT;
        return -1;
    }
    *uid = it->second;
    return 0;
}

int FakePlatform::process_program(pid_t pid, char* name, size_t size, uid_t* uid) {
    auto it = processes.find(pid);
    if (it == processes.end()) {
        errno = ESRCH;
        return -1;
    }
    std::snprintf(name, size, "%s", it->second.program.c_str());
    *uid = it->second.uid;
    return 0;
}

int FakePlatform::process_holds(pid_t pid, const char* const* paths, int count) {
    auto it = processes.find(pid);
    if (it == processes.end())
        return -1;
    for (int i = 0; i < count && i < PROCESS_HOLDS_MAX; ++i)
        for (const std::string& held : it->second.holds)
            if (held == paths[i])
                return i;
    return -1;
}
