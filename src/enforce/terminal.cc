#include "enforce/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

int terminal_open(const char* path, int mode) {
    if (std::strstr(path, "..") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Looked at before the open: opening a FIFO or some devices has effects
    // of its own, and a symbolic link is refused here and by O_NOFOLLOW.
    struct stat st;
    if (lstat(path, &st) != 0)
        return -1;
    if (!S_ISCHR(st.st_mode)) {
        errno = ENOTTY;
        return -1;
    }
    // O_NONBLOCK keeps the open itself from waiting for a modem's carrier.
    int fd = open(path, mode | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat fst;
    if (fstat(fd, &fst) != 0 || !S_ISCHR(fst.st_mode) || fst.st_rdev != st.st_rdev || !isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return -1;
    }
    // Writes block again, as a terminal's writes normally do; the warning
    // child's alarm bounds them.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int saved = errno;
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
