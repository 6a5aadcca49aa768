"""The audit trail: warnings, logouts and configuration failures in a real syslog daemon."""

import os
import re
import signal
import socket
import subprocess
import unittest

import sandbox
import syslogd
from sandbox import LOGOUT_NOTICE, ago, because


class AuditTrailTest(sandbox.SandboxTestCase):
    def setUp(self):
        sandbox.required("QUELLD_E2E_NEED_RSYSLOG", syslogd.missing())
        super().setUp()
        self.log = syslogd.Syslogd()
        self.addCleanup(self.log.close)

    def test_warning_and_logout_reach_syslog_as_key_value_pairs(self):
        sandbox.add_user("ann")
        s = sandbox.login("ann", host="lab 7", login_time=ago(600))
        s.set_idle(600)
        daemon = sandbox.start_daemon(
            config="syslog authpriv\ntimeout login ann 2\nwarn 3\nsleep 60\n")
        s.expect(LOGOUT_NOTICE, timeout=20)
        sandbox.wait_for_log(because("ann", s.path, "idle"))
        # The host's space is escaped: every value is one word.
        fields = (f"user=ann tty={s.path} host=lab\\0407 reason=idle limit=120 "
                  f"rule={sandbox.CONF_PATH}:2")
        head = f"authpriv.notice quelld[{daemon.pid}]: "
        self.assertEqual(self.log.wait_for("event=logout"), [head + "event=logout " + fields])
        self.assertEqual(self.log.lines("event=warn"), [head + "event=warn " + fields])
        check = os.path.join(os.path.dirname(sandbox.QUELLD_BIN), "quelld-check")
        r = subprocess.run([check, "-u", "ann"], capture_output=True, text=True, cwd="/",
                           timeout=sandbox.TIMEOUT)
        self.assertIn(f"  audit trail     syslog authpriv          {sandbox.CONF_PATH}:1\n",
                      r.stdout)
        self.assertEqual(len(self.log.lines("quelld")), 2, self.log.lines())

    def test_hosts_a_user_chooses_stay_apart_and_a_group_may_be_called_syslog(self):
        # "lab 7" and "lab\0407" must not read the same; a host's name is the
        # user's to choose (utempter writes what it is given).
        sandbox.add_user("ann")
        sandbox.add_user("ben")
        sandbox.add_user("cy", groups=("syslog",))
        logins = {u: sandbox.login(u, host=h, login_time=ago(600))
                  for u, h in (("ann", "lab 7"), ("ben", "lab\\0407"), ("cy", "lab"))}
        for s in logins.values():
            s.set_idle(600)
        sandbox.start_daemon(config="syslog authpriv\ntimeout default 2\nwarn 3\nsleep 60\n"
                                    "exempt group syslog all\n")
        for u in ("ann", "ben"):
            logins[u].expect(LOGOUT_NOTICE, timeout=20)
        self.log.wait_for("event=logout", count=2)
        hosts = sorted(re.search(r" host=(\S+) ", line).group(1)
                       for line in self.log.lines("event=logout"))
        self.assertEqual(hosts, ["lab\\0407", "lab\\\\0407"])
        self.assertTrue(logins["cy"].alive())
        self.assertNotIn("cy", sandbox.read_log())

    def test_first_read_failure_goes_out_with_the_facility_it_sets(self):
        daemon = sandbox.start_daemon(config="syslog local3\nsleep 60\ntimeout lgoin x 5\n")
        self.assertEqual(daemon.wait_exit(), 1)
        got = self.log.wait_for("event=config", count=3)
        # The event log's lines, numbered as it numbers them.
        self.assertEqual(got, [
            f"local3.err quelld[{daemon.pid}]: event=config_error file={sandbox.CONF_PATH} "
            "line=3 message=syntax\\040error",
            f"local3.err quelld[{daemon.pid}]: event=config_error file={sandbox.CONF_PATH} "
            "line=4 message=Malformed\\040timeout\\040command.",
            f"local3.err quelld[{daemon.pid}]: event=config_failed file={sandbox.CONF_PATH} "
            "outcome=exit"])

    def test_full_log_socket_never_holds_up_a_logout(self):
        # rsyslogd stopped with its queue full: every send would wait.
        self.log.proc.send_signal(signal.SIGSTOP)
        pid = self.log.proc.pid
        sandbox.wait_until(lambda: all(
            sandbox.proc_stat(f"{pid}/task/{t}")["state"] == "T"
            for t in os.listdir(f"/proc/{pid}/task")), what="rsyslogd to stop")
        # A sender's own buffer can fill before the log's queue does: fresh
        # senders until a fresh one cannot send a single message.
        filled = 0
        senders = []
        while len(senders) < 100:
            filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            filler.setblocking(False)
            senders.append(filler)
            sent = 0
            try:
                while True:
                    filler.sendto(b"<13>filler: x", syslogd.SOCKET)
                    sent += 1
            except BlockingIOError:
                pass
            filled += sent
            if sent == 0:
                break
        for filler in senders:
            filler.close()
        self.assertLess(len(senders), 100)

        sandbox.add_user("ann")
        sandbox.add_user("bob")
        a = sandbox.login("ann", login_time=ago(600))
        daemon = sandbox.start_daemon(config="syslog daemon\nrefuse login ann\n"
                                             "refuse login bob\nsleep 1\n")
        a.expect(LOGOUT_NOTICE, timeout=20)
        sandbox.wait_for_log(because("ann", a.path, "refused"))
        # The pass that logged ann out, its message to the log included, is
        # over once the next one has begun.
        sandbox.wait_scans(2)
        self.assertTrue(daemon.alive())

        self.log.proc.send_signal(signal.SIGCONT)
        sandbox.wait_until(lambda: len(self.log.lines("filler")) == filled,
                           what="the queued messages")
        # The next message delivered owns up to the one lost.
        b = sandbox.login("bob", login_time=ago(600))
        b.expect(LOGOUT_NOTICE, timeout=20)
        got = self.log.wait_for("event=logout user=bob")
        self.assertTrue(re.search(r" rule=\S+:3 dropped=1$", got[0]), got)


if __name__ == "__main__":
    unittest.main()
