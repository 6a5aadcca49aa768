#include "base/signals.h"

#include <unistd.h>

#include "base/event_log.h"
#include "os/platform.h"

volatile sig_atomic_t terminate_requested = 0;

static sigset_t mask_before;

void terminate_handler(int /*sig*/) {
    terminate_requested = 1;
}

// Lets sigsuspend in wait_process return when the child ends; otherwise
// SIGCHLD keeps its default effect.
static void child_handler(int /*sig*/) {}

void signals_init() {
    signal(SIGHUP, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);

    struct sigaction sa {};
    sa.sa_handler = terminate_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGALRM, &sa, nullptr);
    sa.sa_handler = child_handler;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGALRM);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &mask_before);
}

void terminate_now() {
    signal(SIGTERM, SIG_IGN);
    char stamp[26];
    log_line("%24.24s  quelld killed.", log_stamp(platform->now(), stamp));
    _exit(1);
}

void terminate_if_requested() {
    if (terminate_requested)
        terminate_now();
}

void signals_unblock_in_child() {
    signal(SIGCHLD, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}
