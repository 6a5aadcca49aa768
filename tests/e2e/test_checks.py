"""The policy checks of the real quelld acting on real logins.

Each scenario below sets up test users logged in on pseudo-terminals and a
configuration under which one check acts.  Limits are in minutes, so logins
and device times are placed in the past instead of waited for.
"""

import os

import sandbox
from sandbox import LOGOUT_NOTICE, ago, because, warning_rx

QUIET = 0.3  # seconds a terminal is read to show that nothing arrived


def idle_text(minutes, grace):
    return (f"\r\nThis terminal has been idle {minutes} minutes. If it remains idle\r\n"
            f"for {grace} more seconds it will be logged out by the system.\r\n\r\n\a").encode()


class CheckCase(sandbox.SandboxTestCase):
    def assert_logged_out(self, s, reason, text):
        """``s`` gets the warning ``text``, then the logout notice; its process ends."""
        out = s.expect(warning_rx(text), timeout=15)
        out = s.expect(LOGOUT_NOTICE, timeout=20)
        self.assertTrue(out.endswith(text + LOGOUT_NOTICE), out)
        s.wait_exit()
        sandbox.wait_for_log(because(s.user, s.path, reason))

    def assert_untouched(self, *sessions):
        """Nothing arrived on the sessions' terminals and their processes run."""
        for s in sessions:
            self.assertEqual(s.read(timeout=QUIET), b"", s.path)
            self.assertTrue(s.alive(), f"{s.path} ended with {s.status}")
            self.assertNotIn(f" on {s.path} because", sandbox.read_log())


# --- Scenarios: each returns its configuration, the login acted on and the others


def idle_scenario():
    sandbox.add_user("ann")
    s = sandbox.login("ann", login_time=ago(600))
    s.set_idle(600)
    return "timeout default 1\nwarn 3\nsleep 1\n", s, []


def session_scenario():
    sandbox.add_user("ann")
    s = sandbox.login("ann", login_time=ago(600))
    return "threshold session 1\nsession login ann 1\nwarn 3\nsleep 1\n", s, []


def multiple_scenario():
    """ann twice; the later login, the one acted on, stands first in utmp."""
    sandbox.add_user("ann")
    late = sandbox.login("ann", login_time=ago(60))
    early = sandbox.login("ann", login_time=ago(600))
    return "threshold multiple 1\nmultiples 1\nsleep 1\n", late, [early]


def refuse_scenario():
    sandbox.add_user("ann")
    s = sandbox.login("ann", host="example.org")
    return "refuse login ann\nsleep 1\n", s, []


def group_scenario():
    """ann (primary group crew) and bob (crew as a supplementary group), bob last in
    utmp though logged in first: bob's login is acted on."""
    sandbox.add_group("crew")
    sandbox.add_user("ann", group="crew")
    sandbox.add_user("bob", groups=["crew"])
    ann = sandbox.login("ann", login_time=ago(60))
    bob = sandbox.login("bob", login_time=ago(600))
    return "maxuser group crew 1\nsleep 1\n", bob, [ann]


class PolicyTest(CheckCase):
    def test_idle_login_logged_out_and_one_typing_in_the_grace_kept(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        bob = sandbox.login("bob", login_time=ago(600))  # checked before ann in each pass
        ann = sandbox.login("ann", login_time=ago(600))
        for s in (ann, bob):
            s.set_idle(600)
        sandbox.start_daemon(config="timeout default 1\nwarn 6\nsleep 60\n")
        text = idle_text(1, 6)
        bob.expect(warning_rx(text))
        sandbox.set_tty_times(bob.path, mtime=ago(600))  # bob types
        self.assert_logged_out(ann, "idle", text)
        self.assertTrue(warning_rx(text).fullmatch(bob.read(timeout=QUIET)))
        self.assertTrue(bob.alive())
        self.assertNotIn(" bob on ", sandbox.read_log())

    def test_over_long_session_logged_out_and_its_user_refused_on_return(self):
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        ann = sandbox.login("ann", login_time=ago(600))
        bob = sandbox.login("bob", login_time=ago(600))  # no session limit of his own
        sandbox.start_daemon(config="threshold session 1\nsession login ann 1\n"
                                    "session refuse 5\nwarn 3\nsleep 2\n")
        self.assert_logged_out(ann, "session", b"\r\nThis terminal has been in use 1 minutes.\r\n"
                               b"In 3 seconds it will be logged out by the system.\r\n\r\n\a")
        sandbox.end_login(ann.utmp_index)

        again = sandbox.login("ann")
        self.assert_logged_out(again, "refused", b"\r\nYour terminal session is about to be "
                               b"terminated by the system.\r\n\r\n\a")
        self.assert_untouched(bob)

    def test_refused_group_member_logged_out_others_kept(self):
        sandbox.add_user("ann", groups=["late"])
        sandbox.add_user("bob")
        ann = sandbox.login("ann")
        bob = sandbox.login("bob")
        sandbox.start_daemon(config="refuse group late\nsleep 60\n")
        self.assert_logged_out(ann, "refused", b"\r\nYour terminal session is about to be "
                               b"terminated by the system.\r\n\r\n\a")
        self.assert_untouched(bob)

    def test_later_of_two_logins_of_a_user_logged_out(self):
        config, late, (early,) = multiple_scenario()
        sandbox.add_user("bob")
        bob = sandbox.login("bob")
        sandbox.start_daemon(config=config.replace("sleep 1", "sleep 2"))
        self.assert_logged_out(late, "multiple", (
            b"\r\nThis user id is logged on too many times.  Please end\r\n"
            b"some logins to reduce your total number of logins to no\r\n"
            b"more than  1.  Please do so in the next 2 seconds\r\n"
            b"or you will be logged out by the system.\r\n\r\n\a"))
        self.assert_untouched(early, bob)

    def test_group_over_its_limit_loses_its_last_login(self):
        config, bob, (ann,) = group_scenario()
        sandbox.start_daemon(config=config.replace("sleep 1", "sleep 2"))
        self.assert_logged_out(bob, "maxuser", (
            b"\r\nYou are only allowed 1 simultaneous logins\r\n"
            b"with your current account.  Please wait for other users in\r\n"
            b"your group to log-off and try again.\r\n"
            b"\r\nThis session will end in 2 seconds.\r\n\r\n\a"))
        self.assert_untouched(ann)

    # Each scenario acts at the first pass; an exemption or a switch stops it.
    # (scenario, configuration line(s) added, command-line switches)
    STOPPED = [
        (idle_scenario, "exempt login ann idle", ()),
        (idle_scenario, "", ("-i",)),
        (session_scenario, "exempt group ann session", ()),
        (session_scenario, "", ("-s",)),
        (multiple_scenario, lambda s: f"exempt tty {s.line} multiple", ()),
        (multiple_scenario, "", ("-m",)),
        (refuse_scenario, "exempt host example.org refuse", ()),
        (refuse_scenario, "", ("-r",)),
        (group_scenario, "exempt login bob all", ()),
    ]

    def test_exemptions_and_switches_stop_each_check(self):
        for scenario, extra, args in self.STOPPED:
            sandbox.reset()
            config, target, others = scenario()
            if callable(extra):
                extra = extra(target)
            with self.subTest(scenario=scenario.__name__, exempt=extra, args=args):
                daemon = sandbox.start_daemon(*args, config=config + extra + "\n")
                sandbox.wait_scans(3)
                self.assert_untouched(target, *others)
                self.assertNotIn("because", sandbox.read_log())
                self.assertTrue(daemon.alive())


class ConsoleTest(CheckCase):
    """The console session is judged by the keyboard, the mouse and the console device."""

    CONFIG = "timeout tty console 1\nwarn 8\nsleep 1\n"

    def console_login(self, kbd, mouse):
        """ann on /dev/console, idle for 10 minutes; kbd and mouse: seconds since
        their last use, or None for no such device.  Returns the PtySession."""
        sandbox.add_user("ann")
        s = sandbox.open_pty("ann")
        s.path = sandbox.bind_tty("console", s)
        s.set_idle(600)
        for name, idle in (("kbd", kbd), ("mouse", mouse)):
            if idle is not None:
                path = sandbox.dev_path(name)
                with open(path, "w"):
                    pass
                os.utime(path, (ago(idle), ago(idle)))
        sandbox.add_login("ann", "console", login_time=ago(600), pid=s.pid)
        return s

    def test_used_keyboard_or_mouse_keeps_the_console(self):
        for kbd, mouse in ((0, None), (600, 0), (None, 0)):
            with self.subTest(kbd=kbd, mouse=mouse):
                sandbox.reset()
                s = self.console_login(kbd, mouse)
                sandbox.start_daemon(config=self.CONFIG)
                sandbox.wait_scans(3)
                self.assert_untouched(s)

    def test_idle_console_logged_out(self):
        s = self.console_login(600, None)
        sandbox.start_daemon(config=self.CONFIG)
        self.assert_logged_out(s, "idle", idle_text(1, 8))

    def test_keyboard_used_in_the_grace_keeps_the_console(self):
        s = self.console_login(600, 600)
        sandbox.start_daemon(config=self.CONFIG)
        text = idle_text(1, 8)
        s.expect(warning_rx(text))
        os.utime("/dev/kbd")
        # The grace ends 3 seconds after the warning (8 less the 5 of slack);
        # a pass each second.
        sandbox.wait_scans(6)
        self.assertTrue(warning_rx(text).fullmatch(s.read(timeout=QUIET)))
        self.assertTrue(s.alive())
        self.assertNotIn("because", sandbox.read_log())
