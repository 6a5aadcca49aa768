/* Loaded with LD_PRELOAD into the daemon under test only: moves its wall
 * clock (CLOCK_REALTIME, time, gettimeofday) by the whole number of seconds
 * written in the file named by QUELLD_CLOCK_OFFSET, read again at every call,
 * so that a test can step the daemon's clock without touching the host's.
 * The monotonic clocks are left alone.  Uses only system calls, since the
 * daemon's warning child may call it under an alarm. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long long clock_offset(void) {
    const char* path = getenv("QUELLD_CLOCK_OFFSET");
    if (path == NULL)
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[32];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    return strtoll(buf, NULL, 10);
}

static int real_clock_gettime(clockid_t id, struct timespec* ts) {
    return (int)syscall(SYS_clock_gettime, id, ts);
}

int clock_gettime(clockid_t id, struct timespec* ts) {
    int r = real_clock_gettime(id, ts);
    if (r == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        ts->tv_sec += (time_t)clock_offset();
    return r;
}

time_t time(time_t* t) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (t != NULL)
        *t = ts.tv_sec;
    return ts.tv_sec;
}

int gettimeofday(struct timeval* tv, void* tz) {
    (void)tz;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}
