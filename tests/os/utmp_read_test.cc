// The real platform's reading of the login database, against glibc's own
// getutxent on the same files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/platform.h"

#ifdef __GLIBC__
namespace {

std::vector<struct utmpx> Records(int n) {
    std::vector<struct utmpx> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        struct utmpx& u = v[static_cast<size_t>(i)];
        std::memset(&u, 0, sizeof u);
        u.ut_type = i % 5 == 4 ? DEAD_PROCESS : USER_PROCESS;
        u.ut_pid = 100 + i;
        std::snprintf(u.ut_line, sizeof u.ut_line, "pts/%d", i);
        std::snprintf(u.ut_user, sizeof u.ut_user, "user%d", i);
        std::snprintf(u.ut_host, sizeof u.ut_host, "host%d.example", i);
        u.ut_tv.tv_sec = 1700000000 + i;
    }
    return v;
}

// The entries the platform gives for the file at path, and those glibc gives.
std::vector<std::string> ReadPlatform(const char* path) {
    platform_utx_file(path);
    Platform* p = real_platform();
    std::vector<std::string> out;
    for (int pass = 0; pass < 2; ++pass) {  // a second pass starts over
        out.clear();
        p->utx_rewind();
        while (const struct utmpx* u = p->utx_next())
            out.emplace_back(reinterpret_cast<const char*>(u), sizeof *u);
        EXPECT_EQ(p->utx_next(), nullptr);
        p->utx_close();
    }
    return out;
}

std::vector<std::string> ReadGlibc(const char* path) {
    utmpxname(path);
    std::vector<std::string> out;
    setutxent();
    while (const struct utmpx* u = getutxent())
        out.emplace_back(reinterpret_cast<const char*>(u), sizeof *u);
    endutxent();
    return out;
}

TEST(UtmpRead, SameEntriesAsGlibc) {
    char path[] = "/tmp/quelld_utmp_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // Counts around the read size, and files that end in a partial record.
    const struct {
        int records;
        size_t extra_bytes;
    } cases[] = {{0, 0}, {1, 0}, {63, 0}, {64, 0}, {65, 0}, {500, 0}, {0, 100}, {64, 383}, {3, 1}};
    for (const auto& c : cases) {
        std::vector<struct utmpx> v = Records(c.records);
        std::string bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(struct utmpx));
        bytes.append(c.extra_bytes, 'x');
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        std::vector<std::string> got = ReadPlatform(path);
        EXPECT_EQ(got.size(), static_cast<size_t>(c.records)) << c.records << "+" << c.extra_bytes;
        EXPECT_EQ(got, ReadGlibc(path)) << c.records << "+" << c.extra_bytes;
    }
    close(fd);
    unlink(path);

    // A file that is not there has no entries.
    EXPECT_TRUE(ReadPlatform(path).empty());
    platform_utx_file(_PATH_UTMPX);
}

}  // namespace
#endif  // __GLIBC__
