// What the real platform tells of a process: this test process's own
// program and uid, and which terminals it holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "os/platform.h"

namespace {

TEST(PlatformProcess, ProgramAndHeldTerminals) {
    Platform* p = real_platform();
    char name[64];
    uid_t uid = 12345;
    ASSERT_EQ(p->process_program(getpid(), name, sizeof name, &uid), 0);
    EXPECT_STREQ(name, "unit_tests");
    EXPECT_EQ(uid, getuid());
    char cut[5];
    ASSERT_EQ(p->process_program(getpid(), cut, sizeof cut, &uid), 0);
    EXPECT_STREQ(cut, "unit");
    EXPECT_EQ(p->process_program(0, name, sizeof name, &uid), -1);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    const char* paths[] = {"/dev/null/none", slave.c_str()};
    EXPECT_EQ(p->process_holds(getpid(), paths, 2), -1);  // only the master is open
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(p->process_holds(getpid(), paths, 2), 1);
    EXPECT_EQ(p->process_holds(getpid(), paths, 1), -1);
    close(fd);
    close(master);
}

}  // namespace
