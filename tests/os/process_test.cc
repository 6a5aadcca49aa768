// What the real platform tells of a process: its program and the terminals
// it holds, as the panes check asks of a multiplexer's processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "os/platform.h"

namespace {

// A child that runs path with argument "100" and, when hold is a path, holds
// it open as descriptor 3.  Returns its pid once it runs the program.
pid_t Start(const std::string& path, const char* hold = nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
        if (hold != nullptr && dup2(open(hold, O_RDWR | O_NOCTTY), 3) != 3)
            _exit(127);
        execl(path.c_str(), path.c_str(), "100", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the exec has happened: /proc/PID/exe names the new program.
    std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    const std::string real = std::filesystem::canonical(path).string();
    for (int i = 0; i < 500; ++i) {
        char buf[4096];
        ssize_t n = readlink(exe.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, static_cast<size_t>(n)).rfind(real, 0) == 0)
            break;
        usleep(10000);
    }
    return pid;
}

void End(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(PlatformProcess, ProgramEvenAfterAnUpgrade) {
    Platform* p = real_platform();
    char name[16];
    uid_t uid = 12345;
    ASSERT_EQ(p->process_program(getpid(), name, sizeof name, &uid), 0);
    EXPECT_STREQ(name, "unit_tests");
    EXPECT_EQ(uid, getuid());

    // The program replaced on disk after the process started, as a package
    // upgrade does: the kernel then calls it "... (deleted)".
    char dir[] = "/tmp/quelldproc_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string copy = std::string(dir) + "/upgraded";
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    pid_t pid = Start(copy);
    std::filesystem::remove_all(dir);
    ASSERT_EQ(p->process_program(pid, name, sizeof name, &uid), 0);
    EXPECT_STREQ(name, "upgraded");
    // Cut to the room given, always terminated.
    char small[4];
    ASSERT_EQ(p->process_program(pid, small, sizeof small, &uid), 0);
    EXPECT_STREQ(small, "upg");
    End(pid);
    EXPECT_EQ(p->process_program(pid, name, sizeof name, &uid), -1);  // gone
}

TEST(PlatformProcess, HoldsTheVeryTerminal) {
    Platform* p = real_platform();
    int held = posix_openpt(O_RDWR | O_NOCTTY);
    int other = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_GE(other, 0);
    ASSERT_EQ(grantpt(held) | unlockpt(held) | grantpt(other) | unlockpt(other), 0);
    const std::string held_path = ptsname(held), other_path = ptsname(other);
    pid_t pid = Start("/bin/sleep", held_path.c_str());
    const char* both[] = {other_path.c_str(), held_path.c_str()};
    const char* neither[] = {other_path.c_str(), "/dev/zero"};
    EXPECT_EQ(p->process_holds(pid, both, 2), 1);
    EXPECT_EQ(p->process_holds(pid, neither, 2), -1);
    End(pid);
    EXPECT_EQ(p->process_holds(pid, both, 2), -1);  // gone
    close(held);
    close(other);
}

}  // namespace
