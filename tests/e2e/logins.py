"""Helpers for end-to-end tests that watch the daemon enforce: idle logins,
their logout, and checks of the whole event log."""

import os
import re
import time

import sandbox
from sandbox import STAMP19, STAMP24

#: Idle terminals get a minute, then two seconds of grace; "mallory" is refused.
POLICY = "timeout default 1\nwarn 2\nsleep 5\nrefuse login mallory\n"
NOTICE = b"Logged out by the system."


def idle_login(user, host="", utmp_user=None, line=None, argv=("sleep", "100000")):
    """A session of ``user`` idle for two minutes, logged in ten minutes ago.

    utmp names ``utmp_user`` (default: the user) on ``line`` (default: the
    pty's own line), both str or raw bytes.
    """
    s = sandbox.open_pty(user, argv)
    s.set_idle(120)
    s.utmp_index = sandbox.add_login(user if utmp_user is None else utmp_user,
                                     s.line if line is None else line, host,
                                     int(time.time()) - 600, s.pid)
    return s


def line_patterns(*texts):
    """Regexes for log lines: each text is a line, STAMP19 where '@' stands."""
    return [re.escape(t).replace("@", STAMP19) for t in texts]


def assert_log_lines(test, patterns):
    """Every log line matches one of ``patterns`` (whole-line regexes), and each pattern
    matches some line; the start line and configuration reads are always allowed."""
    allowed = [rf"{STAMP24}  {re.escape(sandbox.VERSION)} started\.",
               rf"{STAMP24}  quelld killed\.",
               rf"{STAMP19}   Reading in configuration file\."] + list(patterns)
    lines = sandbox.log_lines()
    for line in lines:
        test.assertTrue(any(re.fullmatch(p, line) for p in allowed),
                        f"unexpected log line {line!r} in:\n" + "\n".join(lines))
    for p in patterns:
        test.assertTrue(any(re.fullmatch(p, line) for line in lines),
                        f"no log line matches {p!r} in:\n" + "\n".join(lines))


def expect_notice(session):
    """Waits for the logout notice on the session's terminal; a failure shows the
    log and every process of the sandbox."""
    try:
        session.expect(NOTICE, timeout=20)
    except AssertionError as e:
        session.alive()
        raise AssertionError(f"{e}\nstatus {session.status}\nthe log is:\n"
                             f"{sandbox.read_log()}processes:\n{processes()}") from None


def logged_out(test, session, because):
    """Waits for the session's logout: its notice, its process gone, the log line."""
    expect_notice(session)
    sandbox.wait_until(lambda: not session.alive(), what=f"{session.path}'s process to end")
    sandbox.wait_for_log(because)
    test.assertTrue(session.status < 0, f"ended by a signal, not {session.status}")


def fill_output(session):
    """Fills the terminal's output queue, so that a write to it blocks until the
    test reads the master side (which it then must not do)."""
    fd = os.open(session.path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        # The kernel moves queued output on in the background: full only
        # once writes have kept failing for a while.
        refused = 0
        while refused < 10:
            try:
                os.write(fd, b"x" * 1024)
                refused = 0
            except BlockingIOError:
                refused += 1
                time.sleep(0.05)
    finally:
        os.close(fd)


def children(pid):
    """Pids of the processes whose parent is ``pid``."""
    found = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                if sandbox.proc_stat(int(p))["ppid"] == pid:
                    found.append(int(p))
            except OSError:
                pass
    return found


def processes():
    """What every process of the sandbox is doing, for failure messages."""
    out = []
    for p in sorted(int(p) for p in os.listdir("/proc") if p.isdigit()):
        try:
            st = sandbox.proc_stat(p)
            with open(f"/proc/{p}/wchan") as f:
                wchan = f.read()
            with open(f"/proc/{p}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        out.append(f"{p} ppid {st['ppid']} {st['state']} {wchan} {cmd}")
    return "\n".join(out)
