#include "enforce/terminal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enforce_fixture.h"

namespace {

using namespace enforce_test;

// Nothing but a terminal is ever opened, and nothing is created or
// truncated: the path comes from a database other programs write.
TEST(TerminalTest, OnlyTerminalsOpen) {
    TempDir dir;
    Pty pty;
    ASSERT_GE(pty.master, 0);
    const std::string victim = dir.File("victim");
    WriteFile(victim, "keep");
    symlink(victim.c_str(), dir.File("to_file").c_str());
    symlink(pty.path.c_str(), dir.File("to_pty").c_str());
    mkfifo(dir.File("fifo").c_str(), 0600);  // an open for writing would block

    const std::string refused[] = {
        victim,
        dir.File("to_file"),
        dir.File("to_pty"),
        "/dev/.." + victim,
        dir.File("missing"),
        dir.File("fifo"),
        dir.path,
        "/dev/null",  // a character device, but no terminal
    };
    for (int mode : {O_RDONLY, O_WRONLY, O_RDWR}) {
        for (const std::string& path : refused) {
            int fd = terminal_open(path.c_str(), mode);
            EXPECT_EQ(fd, -1) << path << " mode " << mode;
            if (fd >= 0)
                close(fd);
        }
        int fd = terminal_open(pty.path.c_str(), mode);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        close(fd);
    }
    EXPECT_EQ(ReadFile(victim), "keep");
    struct stat st;
    EXPECT_NE(stat(dir.File("missing").c_str(), &st), 0);
}

// Only plain names under /dev reach an open: nothing a command could take
// for an option, no way out of /dev, no empty or "." step.
TEST(TerminalTest, NamesThatMayBeTerminals) {
    struct Case {
        const char* path;
        int ok;
    } cases[] = {
        {"/dev/pts/3", 1},  {"/dev/console", 1}, {"/dev/tty.usb-1:0", 1},
        {"/dev/a/b/c", 1},  {"/dev/-", 0},       {"/dev/-t", 0},
        {"/dev/pts/-1", 0}, {"/dev/", 0},        {"/dev/pts/", 0},
        {"/dev//pts/1", 0}, {"/dev/./pts/1", 0}, {"/dev/pts/.", 0},
        {"/dev/../etc", 0}, {"/dev/a..b", 0},    {"/etc/passwd", 0},
        {"/devpts/1", 0},   {"pts/1", 0},        {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(terminal_name_ok(c.path), c.ok) << c.path;
}

}  // namespace
