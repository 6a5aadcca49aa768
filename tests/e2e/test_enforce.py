"""Warnings and forced logouts of the real quelld on real pseudo-terminals.

Limits are in minutes, so logins and terminal times are placed in the past
rather than waited for; grace periods are a few seconds (``warn N``).
"""

import os
import re
import termios
import time
import tty

import sandbox
from sandbox import LOGOUT_NOTICE, STAMP19, WARNING_PREFIX, ago, because, warning_rx

IDLE_BODY = (b"\r\nThis terminal has been idle 2 minutes. If it remains idle\r\n"
             b"for 6 more seconds it will be logged out by the system.\r\n\r\n\a")
REFUSAL_BODY = b"\r\nYour terminal session is about to be terminated by the system.\r\n\r\n\a"


def cannot_open(user, path):
    return rf"^{STAMP19}: Error in warn--Cannot open {re.escape(path)} for {re.escape(user)}\.$"


def tty_node(name, session):
    """Makes /dev/NAME another name of ``session``'s terminal, idle for 10 minutes."""
    path = sandbox.bind_tty(name, session)
    session.set_idle(600)
    return path


def login_with_companion(user, other, login_time):
    """Logs ``user`` in on a new pty whose session also holds a process of ``other``.

    The user's shell stand-in (a sleep) leads the session; before dropping its
    privileges it forks a sleep that runs as ``other`` and ignores SIGHUP, as
    a process started there with su would.  Returns the PtySession and the
    companion's pid.
    """
    ids = sandbox.user_ids(user)
    other_uid, other_gid, _ = sandbox.user_ids(other)
    master, slave = os.openpty()
    path = os.ttyname(slave)
    tty.setraw(slave)
    os.chown(path, ids[0], sandbox.tty_gid())
    os.chmod(path, 0o620)
    pid, companion = sandbox.spawn_session(
        slave, ids, members=[((other_uid, other_gid, []), sandbox.SLEEP, True)])
    os.close(slave)
    s = sandbox.PtySession(pid, master, path, user)
    sandbox._sessions.append(s)
    s.utmp_index = sandbox.add_login(user, s.line, "", login_time, pid)
    return s, companion


def alive(pid):
    try:
        return sandbox.proc_stat(pid)["state"] != "Z"
    except OSError:
        return False


class LogoutTest(sandbox.SandboxTestCase):
    def test_idle_warning_then_logout(self):
        sandbox.add_user("ann")
        sandbox.add_user("eve")
        s, companion = login_with_companion("ann", "eve", ago(600))
        s.set_idle(600)
        # Output stopped by the user (^S): the warning must resume it.
        slave = os.open(s.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, slave)
        termios.tcflow(slave, termios.TCOOFF)

        sandbox.start_daemon(config="timeout login ann 2\nwarn 6\nsleep 60\n")
        rx = warning_rx(IDLE_BODY)
        out = s.expect(rx)
        warned_at = time.time()
        m = rx.fullmatch(out)
        self.assertIsNotNone(m, out)  # the warning and nothing else, byte for byte
        self.assertLess(abs(sandbox.parse_stamp(m.group(1).decode()) - warned_at), 10)

        out = s.expect(LOGOUT_NOTICE, timeout=20)
        self.assertEqual(out[m.end():], LOGOUT_NOTICE)
        self.assertTrue(2 <= time.time() - warned_at <= 20)
        s.wait_exit()
        sandbox.wait_for_log(because("ann", s.path, "idle"))
        # Killed with the user's identity: another user's process there stays
        # (given a second to die, as a signal is taken after kill returns).
        with self.assertRaises(AssertionError):
            sandbox.wait_until(lambda: not alive(companion), timeout=1)
        log = sandbox.read_log()
        self.assertEqual(log.count(" ann "), 1, log)
        self.assertIn(f" : left 1 processes of other users on {s.line} alone\n", log)
        self.assertNotIn("couldn't open", log)

    def test_refused_login_gets_notice_pause_and_logout(self):
        sandbox.add_user("ann")
        s = sandbox.login("ann")
        sandbox.start_daemon(config="refuse login ann\nsleep 60\n")
        rx = warning_rx(REFUSAL_BODY)
        out = s.expect(rx)
        noticed_at = time.time()
        self.assertIsNotNone(rx.fullmatch(out), out)
        out = s.expect(LOGOUT_NOTICE, timeout=20)
        self.assertGreaterEqual(time.time() - noticed_at, 3)  # the 5-second pause
        self.assertEqual(out[rx.search(out).end():], LOGOUT_NOTICE)
        s.wait_exit()
        sandbox.wait_for_log(because("ann", s.path, "refused"))

    def test_console_with_idle_limit_0_is_logged_out_at_once(self):
        sandbox.add_user("ann")
        s = sandbox.open_pty("ann")
        console = tty_node("console", s)
        os.utime(console)  # in use right now: only the second idle source counts
        sandbox.add_login("ann", "console", login_time=ago(600), pid=s.pid)
        sandbox.start_daemon(config="timeout tty console 0\nsleep 60\n")
        out = s.expect(LOGOUT_NOTICE)
        self.assertEqual(out[:len(LOGOUT_NOTICE)], LOGOUT_NOTICE)  # no warning first
        self.assertNotIn(b"idle", out)
        s.wait_exit()
        sandbox.wait_for_log(because("ann", console, "xlock"))


class TerminalTest(sandbox.SandboxTestCase):
    """Terminals that cannot be written, and line names that are not terminals."""

    def test_missing_terminal_is_reported_once_per_login(self):
        # A refused login is acted on once, whatever its terminal does; a new
        # login on the same line is a new record, tried and reported again.
        sandbox.add_user("ann")
        index = sandbox.add_login("ann", "ttyQ9", login_time=ago(600))
        daemon = sandbox.start_daemon(config="refuse login ann\nsleep 1\n")
        line = cannot_open("ann", "/dev/ttyQ9")
        sandbox.wait_for_log(line)
        sandbox.wait_scans(3)
        self.assertEqual(len(sandbox.wait_for_log(line)), 1)

        sandbox.put_utmp(index, sandbox.UtmpRecord(user="ann", line="ttyQ9", time=ago(60)))
        sandbox.wait_for_log(line, count=2)
        sandbox.wait_scans(3)
        self.assertEqual(len(sandbox.wait_for_log(line)), 2)
        self.assertNotIn("because", sandbox.read_log())
        self.assertTrue(daemon.alive())

    def test_undrained_terminal_does_not_hold_the_daemon(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        stuck = sandbox.login("ann", login_time=ago(600))
        fd = os.open(stuck.path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        # Fill the terminal's output while the test never reads it, until it
        # takes no more: the kernel moves what was written on in steps, and
        # each step makes room again.
        while True:
            written = 0
            with self.assertRaises(BlockingIOError):
                while True:
                    written += os.write(fd, b"x" * 512)
            if written == 0:
                break
            time.sleep(0.5)
        later = sandbox.login("bob", login_time=ago(600))  # after ann in utmp order
        for s in (stuck, later):
            s.set_idle(600)

        daemon = sandbox.start_daemon(config="timeout default 2\nwarn 60\nsleep 60\n")
        later.expect(warning_rx(b"\r\nThis terminal has been idle 2 minutes."), timeout=20)
        self.assertTrue(daemon.alive())
        # Of the warning, what found room: its beginning, and nothing after.
        out = stuck.read(timeout=1).lstrip(b"x")
        self.assertEqual(out[:len(WARNING_PREFIX)], WARNING_PREFIX[:len(out)])

    def test_line_with_shell_metacharacters_runs_nothing(self):
        sandbox.add_user("ann")
        s = sandbox.open_pty("ann")
        names = ["x;touch /tmp/pwned1", "`touch /tmp/pwned2`", "$(touch /tmp/pwned3)",
                 "a|touch /tmp/pwned4"]
        paths = [tty_node(name, s) for name in names]
        sandbox.write_utmp([sandbox.UtmpRecord(user="ann", line=name, time=ago(600), pid=s.pid)
                            for name in names])
        # No grace: the first look logs each one out, which lists the line's processes.
        daemon = sandbox.start_daemon(config="timeout default 1\nwarn 0\nsleep 60\n")
        for path in paths:
            sandbox.wait_for_log(because("ann", path, "idle"))
        self.assertEqual([f for f in os.listdir("/tmp") if f.startswith("pwned")], [])
        self.assertTrue(daemon.alive())

    def test_lines_that_are_not_terminals_touch_no_file(self):
        victim = "/tmp/victim"
        with open(victim, "w") as f:
            f.write("precious\n")
        os.utime(victim, (1_000_000, 1_000_000))
        os.symlink(victim, sandbox.dev_path("link"))
        with open(sandbox.dev_path("plain"), "w") as f:
            f.write("plain\n")
        os.utime("/dev/plain", (1_000_000, 1_000_000))
        # Out of /dev, to a file and to none; a link to the file; a regular
        # file; a character device that is not a terminal.
        lines = ["../tmp/victim", "../tmp/absent", "link", "plain", "null"]
        before = {path: (os.stat(path).st_size, os.stat(path).st_mtime_ns)
                  for path in (victim, "/dev/plain")}

        uid = sandbox.add_user("ann")
        # Owned by ann, so that the open itself must refuse them; /dev/null
        # belongs to root, which proves the record stale before any open.
        for path in (victim, "/dev/plain"):
            os.chown(path, uid, -1)
        sandbox.write_utmp([sandbox.UtmpRecord(user="ann", line=name, time=ago(600))
                            for name in lines])
        daemon = sandbox.start_daemon(config="refuse login ann\nsleep 1\n")
        for name in lines[:-1]:
            sandbox.wait_for_log(cannot_open("ann", "/dev/" + name))
        sandbox.wait_for_log(rf"^{STAMP19} : stale record of ann on /dev/null, left alone$")
        sandbox.wait_scans(3)

        self.assertFalse(os.path.lexists("/tmp/absent"))
        for path, (size, mtime) in before.items():
            st = os.stat(path)
            self.assertEqual((st.st_size, st.st_mtime_ns), (size, mtime), path)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious\n")
        self.assertEqual(sandbox.read_log().count("Error in warn"), len(lines) - 1)
        self.assertEqual(sandbox.read_log().count("stale record"), 1)
        self.assertTrue(daemon.alive())
