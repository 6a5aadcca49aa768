"""Graces and the wall clock of the real quelld.

A warning's grace is kept whatever else runs a pass meanwhile; a step of the
daemon's wall clock (made with the clockshim preloaded into the daemon alone,
never on the host's clock) neither logs anyone out nor delays a due logout.
"""

import os
import re
import time

import sandbox
from sandbox import LOGOUT_NOTICE, STAMP19, ago, because, warning_rx

SHIM = os.environ.get("QUELLD_CLOCKSHIM", "")
OFFSET_FILE = "/tmp/clock-offset"
QUIET = 0.3


def multiple_text(seconds):
    return (b"\r\nThis user id is logged on too many times.  Please end\r\n"
            b"some logins to reduce your total number of logins to no\r\n"
            b"more than  1.  Please do so in the next %d seconds\r\n"
            b"or you will be logged out by the system.\r\n\r\n\a" % seconds)


def stepped_rx(seconds):
    """The log line of a step, allowing a second either way for the clocks' rounding."""
    alts = "|".join(f"{seconds + d:+d}" for d in (-1, 0, 1))
    return rf"^{STAMP19} : clock stepped (?:{alts}) seconds\.$".replace("+", r"\+")


class GraceTest(sandbox.SandboxTestCase):
    def test_surplus_login_kept_for_the_announced_time(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        late = sandbox.login("ann", login_time=ago(60))
        early = sandbox.login("ann", login_time=ago(600))
        bob = sandbox.login("bob", login_time=ago(600))
        bob.set_idle(600)
        # bob's idle warning and logout bring passes 3 s apart within ann's grace.
        sandbox.start_daemon(config="threshold multiple 1\nmultiples 1\n"
                                    "timeout login bob 1\nwarn 3\nsleep 20\n")
        late.expect(warning_rx(multiple_text(20)), timeout=15)
        warned = time.monotonic()
        bob.expect(LOGOUT_NOTICE, timeout=15)
        sandbox.wait_for_log(because("bob", bob.path, "idle"))
        sandbox.add_user("cy")
        cy = sandbox.login("cy")  # a new login meanwhile
        self.assertNotIn(LOGOUT_NOTICE, late.read(timeout=QUIET))
        late.expect(LOGOUT_NOTICE, timeout=30)
        # Announced 20 s; the usual slack is 5 s, and a second goes to rounding.
        self.assertGreaterEqual(time.monotonic() - warned, 20 - 5 - 1)
        sandbox.wait_for_log(because("ann", late.path, "multiple"))
        self.assertTrue(early.alive())
        self.assertTrue(cy.alive())


class ClockStepTest(sandbox.SandboxTestCase):
    def setUp(self):
        super().setUp()
        if not SHIM:
            self.skipTest("QUELLD_CLOCKSHIM names no clock shim")
        self.step(0)

    def step(self, seconds):
        with open(OFFSET_FILE + ".new", "w") as f:
            f.write(f"{seconds}\n")
        os.rename(OFFSET_FILE + ".new", OFFSET_FILE)

    def start(self, config):
        env = dict(os.environ, LD_PRELOAD=SHIM, QUELLD_CLOCK_OFFSET=OFFSET_FILE,
                   ASAN_OPTIONS="verify_asan_link_order=0")
        d = sandbox.start_daemon(config=config, env=env)
        sandbox.wait_scans(2)
        return d

    def test_a_day_forward_logs_out_and_warns_nobody(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        ann = sandbox.login("ann", login_time=ago(60))
        bob = sandbox.login("bob", login_time=ago(60))
        bob.set_idle(30)
        d = self.start("threshold session 1\nsession default 120\ntimeout default 60\n"
                       "warn 5\nsleep 2\n")
        self.step(86400)
        sandbox.wait_scans(3)
        for s in (ann, bob):
            self.assertEqual(s.read(timeout=QUIET), b"", s.path)
            self.assertTrue(s.alive())
        self.assertNotIn("because", sandbox.read_log())
        sandbox.wait_for_log(stepped_rx(86400))
        self.assertEqual(len(re.findall("clock stepped", sandbox.read_log())), 1)
        self.assertTrue(d.alive())

    def test_a_day_back_still_logs_out_on_time(self):
        sandbox.add_user("ann")
        ann = sandbox.login("ann", login_time=ago(45))
        start = time.monotonic()
        self.start("threshold session 1\nsession login ann 1\nwarn 3\nsleep 2\n")
        self.step(-86400)
        ann.expect(LOGOUT_NOTICE, timeout=40)
        # Due 15 s after the start, then 3 s of grace: not a day later.
        self.assertLess(time.monotonic() - start, 35)
        sandbox.wait_for_log(because("ann", ann.path, "session"))
        sandbox.wait_for_log(stepped_rx(-86400))
