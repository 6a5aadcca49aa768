// Opening a session's terminal.  The path comes from the login-accounting
// database, which other programs write, and the daemon opens it as root: it
// must never create, truncate or follow its way into anything but a terminal.
#ifndef QUELLD_ENFORCE_TERMINAL_H
#define QUELLD_ENFORCE_TERMINAL_H

// Whether path may name a terminal: "/dev/" and then one or more plain
// components (none empty, none "." and none beginning with '-'), with no
// ".." anywhere.  Returns 1 or 0.
int terminal_name_ok(const char* path);

// Opens path with access mode O_RDONLY, O_WRONLY or O_RDWR, close-on-exec,
// without making it the controlling terminal and in blocking mode.  Only a
// character device that is a terminal, reached under /dev without a
// symbolic link in any component, is accepted: a name terminal_name_ok
// refuses (EINVAL), a symbolic link (ELOOP, or ENOTTY for the last
// component where the kernel cannot refuse it during the walk), a regular
// file, a FIFO or any other device fails.  Never creates or truncates.
// Returns the descriptor, owned by the caller, or -1 with errno set.
int terminal_open(const char* path, int mode);

// Writes len bytes of buf to fd, resuming after partial writes.  Errors end
// it quietly: the caller has no use for them.
void terminal_write(int fd, const char* buf, long len);

#endif  // QUELLD_ENFORCE_TERMINAL_H
