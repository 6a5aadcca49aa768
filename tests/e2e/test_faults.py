"""Faults while the daemon runs: each must leave it running and enforcing.

The event log vanishing or becoming unwritable, the configuration removed,
unreadable, older or broken, a terminal that never drains, a login whose
terminal goes away before its warning, the process table unreadable,
a user deleted from the password database while logged in.
"""

import os
import re
import stat
import time

import sandbox
from logins import (POLICY, assert_log_lines, children, expect_notice, fill_output, idle_login,
                    line_patterns, logged_out)
from sandbox import CONF_PATH, LOG_PATH, STAMP19

READING = rf"^{STAMP19}   Reading in configuration file\.$"


def because(session, reason="idle"):
    return sandbox.because(session.user, session.path, reason)


def log_out_for_good(test, session, reason="idle"):
    """Waits for the session's logout, then ends its utmp entry as a login program would."""
    logged_out(test, session, because(session, reason))
    sandbox.end_login(session.utmp_index)


class EventLogFaultTest(sandbox.SandboxTestCase):
    def test_log_removed_or_unwritable_while_running(self):
        for name in ("alice", "bob", "carol", "mallory"):
            sandbox.add_user(name)
        d = sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log(READING)

        os.remove(LOG_PATH)
        alice = idle_login("alice")
        log_out_for_good(self, alice)
        # Made afresh, with the lines written since and its usual mode.
        self.assertEqual(stat.S_IMODE(os.stat(LOG_PATH).st_mode), 0o644)
        assert_log_lines(self, line_patterns(f"@ : alice on {alice.path} because idle"))

        # Unwritable: the logout goes ahead and its line is lost.
        os.remove(LOG_PATH)
        sandbox.remount_readonly("/var/log")
        bob = idle_login("bob")
        expect_notice(bob)
        sandbox.wait_until(lambda: not bob.alive(), what="bob's process to end")
        # The logout's child has tried its line and ended.
        children = f"/proc/{d.pid}/task/{d.pid}/children"
        sandbox.wait_until(lambda: open(children).read().strip() == "",
                           what="the logout's child to end")
        sandbox.end_login(bob.utmp_index)
        self.assertFalse(os.path.exists(LOG_PATH))

        # Writable again: the next line makes a fresh file.
        sandbox.remount_writable("/var/log")
        carol = idle_login("carol")
        log_out_for_good(self, carol)
        assert_log_lines(self, line_patterns(f"@ : carol on {carol.path} because idle"))
        self.assertTrue(d.alive())
        self.assertEqual(d.stop(), 1)


class ConfigurationFaultTest(sandbox.SandboxTestCase):
    def setUp(self):
        super().setUp()
        for name in ("alice", "mallory"):
            sandbox.add_user(name)

    def start(self):
        d = sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log(READING)
        # The line comes before the file is opened: a change before the read
        # is over would be read with the first file's time.
        sandbox.wait_scans(1)
        return d

    def still_enforces(self, d):
        """The rules read first are in force: an idle login goes, a refused one too."""
        alice = idle_login("alice")
        log_out_for_good(self, alice)
        mallory = sandbox.login("mallory")
        mallory.expect(b"about to be terminated", timeout=20)
        log_out_for_good(self, mallory, "refused")
        self.assertTrue(d.alive())

    def test_removed(self):
        d = self.start()
        os.remove(CONF_PATH)
        sandbox.wait_for_log(rf"^{STAMP19}:  Cannot stat conf file\.\n"
                             r"Ignoring, and maintaining old settings\.$")
        self.still_enforces(d)

    def test_replaced_by_a_directory(self):
        d = self.start()
        os.remove(CONF_PATH)
        os.mkdir(CONF_PATH)
        os.utime(CONF_PATH, (time.time() + 5, time.time() + 5))
        sandbox.wait_for_log(rf"{READING}\n^{STAMP19}:  Cannot open configuration file\.\n"
                             r"Ignoring, and maintaining old settings\.$")
        self.still_enforces(d)

    def test_replaced_by_an_older_copy(self):
        d = self.start()
        first = os.stat(CONF_PATH).st_mtime
        # Older, but not the file read (as after an edit once the clock was
        # set back): read once, and the daemon goes on with it.
        sandbox.write_config(POLICY + "# an older copy\n", mtime=first - 100)
        sandbox.wait_for_log(READING, count=2)
        self.still_enforces(d)
        self.assertEqual(len(re.findall(READING, sandbox.read_log(), re.MULTILINE)), 2)

    def test_replaced_by_a_broken_one(self):
        d = self.start()
        # The daemon lives with whatever parsed: the rules around the errors.
        sandbox.write_config("timeout default 1\nwarn 2\nsleep 5\ntimeout\n"
                             "bogus %\nrefuse login mallory\n")
        sandbox.wait_for_log(rf"{READING}\n{re.escape(CONF_PATH)}: line 5: syntax error\n"
                             rf"{re.escape(CONF_PATH)}: line 5: Malformed timeout command\.\n"
                             rf"{re.escape(CONF_PATH)}: line 5: Illegal character '%'\.$")
        self.still_enforces(d)


class TerminalFaultTest(sandbox.SandboxTestCase):
    def test_terminal_that_never_drains(self):
        for name in ("stuck", "alice"):
            sandbox.add_user(name)
        stuck = idle_login("stuck")
        fill_output(stuck)
        alice = idle_login("alice")
        d = sandbox.start_daemon(config=POLICY)
        # The daemon does not wait for the warning child stuck on the full
        # terminal: it goes on to alice.
        log_out_for_good(self, alice)
        self.assertTrue(d.alive())
        # The stuck session is logged out all the same: its notice cannot
        # block the kills.
        sandbox.wait_until(lambda: not stuck.alive(), timeout=30, what="stuck's process to end")
        sandbox.wait_for_log(because(stuck))
        self.assertTrue(d.alive())
        self.assertEqual(d.stop(), 1)

    def test_login_gone_before_its_warning(self):
        for name in ("mallory", "stuck", "alice"):
            sandbox.add_user(name)
        # mallory is refused; the refusal check acts on what the scan found.
        gone = sandbox.login("mallory")
        gone_path = gone.path
        stuck = idle_login("stuck")
        fill_output(stuck)
        # Opened now, so that it cannot take the number of mallory's terminal.
        alice = sandbox.open_pty("alice")
        # mallory's terminal goes away before the daemon gets to it; the utmp
        # entry stays.
        gone.close()
        sandbox.wait_until(lambda: not os.path.exists(gone_path), what=f"{gone_path} to go")
        d = sandbox.start_daemon(config=POLICY)
        # Its process is gone: the record is stale, and nothing is tried on it.
        sandbox.wait_for_log(
            rf"^{STAMP19} : stale record of mallory on {gone_path}, left alone$", timeout=20)
        # The daemon goes on: a later login is logged out, the gone one is
        # reported once and left alone.
        alice.set_idle(120)
        alice.utmp_index = sandbox.add_login("alice", alice.line, "", int(time.time()) - 600,
                                             alice.pid)
        log_out_for_good(self, alice)
        self.assertTrue(d.alive())
        log = sandbox.read_log()
        self.assertEqual(log.count("stale record"), 1, log)
        self.assertNotIn("Cannot open", log)
        self.assertNotIn("because refused", log)


class ProcessListFaultTest(sandbox.SandboxTestCase):
    def test_process_table_unreadable(self):
        sandbox.add_user("alice")
        sandbox.add_user("mallory")
        alice = idle_login("alice")
        d = sandbox.start_daemon(config=POLICY)
        # An empty directory where the process table belongs, as in a
        # chroot without /proc: nothing is killed, and the logout is told as
        # failed, not done.
        sandbox._mount("tmpfs", "/proc", "tmpfs", 0, "mode=555")
        mounted = True
        try:
            expect_notice(alice)
            sandbox.wait_for_log(rf"^{STAMP19} : alice on {re.escape(alice.path)} still logged "
                                 rf"in after logout for idle: no process table$")
            assert_log_lines(self, line_patterns(
                f"@ : cannot read /proc for {alice.line}: Wrong medium type",
                f"@ : alice on {alice.path} still logged in after logout for idle: "
                "no process table"))
            self.assertTrue(d.alive())
            self.assertTrue(alice.alive())
            # With the table back, the next pass logs the login out.
            sandbox.unmount("/proc")
            mounted = False
            logged_out(self, alice, because(alice))
            self.assertEqual(sandbox.read_log().count("because idle"), 1)
            self.assertTrue(d.alive())
        finally:
            if mounted:
                sandbox.unmount("/proc")


class PasswordFaultTest(sandbox.SandboxTestCase):
    def test_user_deleted_while_logged_in(self):
        sandbox.add_user("bob")
        sandbox.add_user("mallory")
        bob = sandbox.login("bob", login_time=int(time.time()) - 600)
        bob.set_idle(50)  # idle for a minute in about ten seconds
        # A login after bob's whose user is unknown: its line shows that the
        # scan has looked bob up.
        sandbox.add_login("nobody-here", "pts/99", "", int(time.time()) - 600)
        d = sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log("supposed user nobody-here")
        sandbox.remove_user("bob")
        logged_out(self, bob, because(bob))
        self.assertTrue(d.alive())
        assert_log_lines(self, line_patterns(
            "Error getting user information for bob in zap.  Will attempt kill",
            "\twithout uid changing.",
            f"@ : bob on {bob.path} because idle",
            "Error:  could not get info on supposed user nobody-here."))
        # Known when the login was first seen: no complaint then.
        self.assertNotIn("supposed user bob", sandbox.read_log())
