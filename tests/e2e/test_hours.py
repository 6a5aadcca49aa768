"""Hours of the real quelld: a window's end warns and then logs out a live
login, and a login made after it is refused.

The daemon's wall clock is put a few seconds before the end with the clock
shim (preloaded into the daemon alone, never the host's clock), and its time
zone is UTC, so that the test knows which local time it reads.
"""

import os
import re
import time

import sandbox
from sandbox import LOGOUT_NOTICE, STAMP19, because, warning_rx

SHIM = os.environ.get("QUELLD_CLOCKSHIM", "")
OFFSET_FILE = "/tmp/clock-offset"
REFUSAL_BODY = b"\r\nYour terminal session is about to be terminated by the system.\r\n\r\n\a"


def hours_rx(at):
    """The hours warning for an end at ``at``, whatever number of seconds it gives."""
    return re.compile(re.escape(sandbox.WARNING_PREFIX) + STAMP19.encode() +
                      re.escape(b"\r\nThis terminal session will be ended by the system at " +
                                at + b",\r\nin ") +
                      rb"\d+ more seconds" +
                      re.escape(b", when its hours are over.\r\n\r\n\a"))


class HoursTest(sandbox.SandboxTestCase):
    def setUp(self):
        super().setUp()
        if not SHIM:
            self.skipTest("QUELLD_CLOCKSHIM names no clock shim")

    def clock_at(self, seconds_to_end):
        """Puts the daemon's clock ``seconds_to_end`` before 22:00 UTC; returns the offset."""
        now = int(time.time())
        offset = now - now % 86400 + 22 * 3600 - seconds_to_end - now
        with open(OFFSET_FILE + ".new", "w") as f:
            f.write(f"{offset}\n")
        os.rename(OFFSET_FILE + ".new", OFFSET_FILE)
        return offset

    def start(self, config):
        env = dict(os.environ, LD_PRELOAD=SHIM, QUELLD_CLOCK_OFFSET=OFFSET_FILE, TZ="UTC",
                   ASAN_OPTIONS="verify_asan_link_order=0")
        sandbox.start_daemon(config=config, env=env)

    def test_end_warns_then_logs_out_without_polling(self):
        sandbox.add_user("ann")
        offset = self.clock_at(12)
        # Logged in a minute before, on the daemon's clock.
        ann = sandbox.login("ann", login_time=int(time.time()) + offset - 60)
        started = time.monotonic()
        # Passes every 10 minutes: only the wake for the end can bring these.
        self.start("hours 08:00-22:00 default\nwarn 5\nsleep 600\n")
        ann.expect(hours_rx(b"22:00"), timeout=20)
        warned = time.monotonic()
        self.assertGreaterEqual(warned - started, 12 - 5 - 2)
        out = ann.expect(LOGOUT_NOTICE, timeout=20)
        self.assertGreaterEqual(time.monotonic() - warned, 3)  # at the end, not at once
        self.assertLess(time.monotonic() - started, 30)
        self.assertTrue(out.endswith(LOGOUT_NOTICE))
        ann.wait_exit()
        sandbox.wait_for_log(because("ann", ann.path, "hours"))

    def test_login_after_the_end_is_refused(self):
        sandbox.add_user("ann")
        sandbox.add_user("cy")
        offset = self.clock_at(-30)
        self.start("hours mon-sun 08:00-22:00 default\nexempt login cy hours\nwarn 5\nsleep 2\n")
        sandbox.wait_scans(1)
        ann = sandbox.login("ann", login_time=int(time.time()) + offset)
        cy = sandbox.login("cy", login_time=int(time.time()) + offset)
        ann.expect(warning_rx(REFUSAL_BODY), timeout=20)
        ann.expect(LOGOUT_NOTICE, timeout=20)
        ann.wait_exit()
        sandbox.wait_for_log(because("ann", ann.path, "hours"))
        self.assertEqual(cy.read(timeout=0.3), b"")
        self.assertTrue(cy.alive())
