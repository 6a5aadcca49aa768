#include "enforce/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "os/platform.h"
#include "pathnames.h"

int terminal_name_ok(const char* path) {
    if (std::strncmp(path, PATH_DEV, sizeof PATH_DEV - 1) != 0)
        return 0;
    const char* name = path + sizeof PATH_DEV - 1;
    if (std::strstr(name, "..") != nullptr)
        return 0;
    // Every component is a plain name: none empty, none ".", and none that
    // a command could take for an option.
    for (const char* c = name;; ++c) {
        if (*c == '\0' || *c == '/' || *c == '-' || (*c == '.' && (c[1] == '/' || c[1] == '\0')))
            return 0;
        while (*c != '\0' && *c != '/') ++c;
        if (*c == '\0')
            return 1;
    }
}

int terminal_open(const char* path, int mode) {
    if (!terminal_name_ok(path)) {
        errno = EINVAL;
        return -1;
    }
    const char* name = path + sizeof PATH_DEV - 1;
    int dev = open(PATH_DEV, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dev < 0)
        return -1;
    // Looked at before the open: opening a FIFO or some devices has effects
    // of its own.  No component may be a symbolic link, and the name is
    // resolved inside /dev only.
    struct stat st;
    int fd = -1;
    if (platform_stat_beneath(dev, name, &st) != 0) {
        fd = -1;
    } else if (!S_ISCHR(st.st_mode)) {
        errno = ENOTTY;
    } else {
        // O_NONBLOCK keeps the open itself from waiting for a modem's carrier.
        fd = platform_open_beneath(dev, name, mode | O_NOCTTY | O_NONBLOCK);
    }
    int saved = errno;
    close(dev);
    errno = saved;
    if (fd < 0)
        return -1;
    struct stat fst;
    if (fstat(fd, &fst) != 0 || !S_ISCHR(fst.st_mode) || fst.st_rdev != st.st_rdev ||
        fst.st_dev != st.st_dev || fst.st_ino != st.st_ino || !isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return -1;
    }
    // Writes block again, as a terminal's writes normally do; the warning
    // child's alarm bounds them.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void terminal_write(int fd, const char* buf, long len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        buf += n;
        len -= n;
    }
}
