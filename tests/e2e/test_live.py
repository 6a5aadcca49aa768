"""Login records that outlive their login, and terminal times set by their user.

A record whose login died without recording its end must never be acted on:
whoever holds that line next is somebody else.  A user may set their own
terminal's times; a time in the future counts as use when the daemon first
sees it, and no later.
"""

import os
import signal
import time

import sandbox
from sandbox import STAMP19, WARNING_PREFIX, ago, because
from logins import NOTICE


def hold_line(path, user):
    """Starts a process of ``user`` with ``path`` as its controlling terminal,
    as the next login on the line would; returns its pid (a child of the test)."""
    ids = sandbox.user_ids(user)
    os.chown(path, ids[0], sandbox.tty_gid())
    return sandbox.spawn_session(path, ids)[0]


class StaleRecordTest(sandbox.SandboxTestCase):
    def test_line_taken_by_another_user_after_the_login_died(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        ann = sandbox.login("ann", login_time=ago(600))
        ann.set_idle(600)
        # ann's login dies without recording its end; bob now holds the line.
        ann.signal(signal.SIGKILL)
        ann.wait_exit()
        bob = hold_line(ann.path, "bob")
        ann.set_idle(600)

        # Idle past its limit with no grace, and refused: two checks would act.
        d = sandbox.start_daemon(config="timeout default 1\nwarn 0\nrefuse login ann\nsleep 1\n")
        stale = rf"^{STAMP19} : stale record of ann on {ann.path}, left alone$"
        sandbox.wait_for_log(stale)
        sandbox.wait_scans(4)
        self.assertEqual(len(sandbox.wait_for_log(stale)), 1)
        self.assertEqual(os.waitpid(bob, os.WNOHANG), (0, 0))  # bob's process lives
        self.assertEqual(ann.read(timeout=0.5), b"")  # nothing written on the line
        log = sandbox.read_log()
        self.assertNotIn("because", log)
        self.assertNotIn("Cannot open", log)
        self.assertTrue(d.alive())


class FutureStampTest(sandbox.SandboxTestCase):
    def test_future_terminal_time_counts_as_use_when_first_seen(self):
        # Both users push their terminal's last input a day ahead (touch -a);
        # one sets it back once the daemon has seen it.  Either way the next
        # look comes one idle limit later, and finds the session idle.
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        left = sandbox.login("ann", login_time=ago(600))
        put_back = sandbox.login("bob", login_time=ago(600))
        ahead = int(time.time()) + 86400
        for s in (left, put_back):
            sandbox.set_tty_times(s.path, ahead, ago(600))

        seen = time.time()
        d = sandbox.start_daemon(config="timeout default 1\nwarn 5\nsleep 5\n")
        sandbox.wait_scans(2)  # a whole pass has seen both stamps
        sandbox.set_tty_times(put_back.path, ago(600), ago(600))

        for s in (left, put_back):
            s.expect(WARNING_PREFIX, timeout=80)
            # One limit after the first look: the check is due within the
            # slack (5 seconds), at a pass 5 seconds apart.
            self.assertGreater(time.time() - seen, 60 - 5 - 1, s.user)
            self.assertLess(time.time() - seen, 60 + 5 + 10, s.user)
        for s in (left, put_back):
            s.expect(NOTICE, timeout=20)
            sandbox.wait_until(lambda: not s.alive(), what=f"{s.path}'s process to end")
            sandbox.wait_for_log(because(s.user, s.path, "idle"))
        self.assertTrue(d.alive())
