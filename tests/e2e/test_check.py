"""quelld-check, the real binary, in the sandbox: golden configurations with
their problems and exit statuses (each also fed to the daemon, which must
start exactly when quelld-check says it would), the policy of a login, and
the dry run over real utmp records and pseudo-terminals.

Run with QUELLD_UPDATE_GOLDEN=1 to rewrite check_cases/N.out, then review the
diff.
"""

import os
import re
import shutil
import subprocess
import time

import sandbox
from sandbox import LOG_PATH

CHECK_BIN = os.environ.get("QUELLD_CHECK_BIN") or os.path.join(
    os.path.dirname(sandbox.QUELLD_BIN), "quelld-check")
CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_cases")
WORK = "/tmp/cases"


def check(*args, cwd=WORK):
    return subprocess.run([CHECK_BIN, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=sandbox.TIMEOUT, cwd=cwd)


def visible(text):
    """The daemon's text as quelld-check shows it: control bytes escaped."""
    out = ""
    for ch in text:
        c = ord(ch) - 0xDC00 if 0xDC80 <= ord(ch) <= 0xDCFF else ord(ch)  # surrogateescape
        if ch == "\r":
            out += "\\r"
        elif ch == "\t":
            out += "\\t"
        elif c < 0x20 or c >= 0x7F:
            out += "\\x%02x" % c
        else:
            out += ch
    return out


def accounts():
    sandbox.add_user("alice")
    sandbox.add_user("bob", groups=("students",))
    sandbox.add_user("carol", groups=("students",))


class GoldenTest(sandbox.SandboxTestCase):
    def setUp(self):
        super().setUp()
        accounts()
        shutil.copytree(CASES, WORK)

    def daemon_starts(self, conf):
        """True when the daemon keeps running after its first read of conf."""
        d = sandbox.start_daemon("-f", conf, config=None, cwd=WORK)
        sandbox.wait_for_log(r"Reading in configuration file\.$")
        try:
            d.wait_exit(timeout=1.5)
        except AssertionError:
            d.stop()
            return True
        self.assertEqual(d.status, 1)
        self.assertRegex(sandbox.read_log(), r"(?m)^Aborting due to conf file syntax errors\.$")
        return False

    def test_cases(self):
        update = os.environ.get("QUELLD_UPDATE_GOLDEN")
        for name in sorted(n for n in os.listdir(WORK) if n.endswith(".cf")):
            with self.subTest(case=name):
                sandbox.kill_all()
                if os.path.exists(LOG_PATH):
                    os.remove(LOG_PATH)
                r = check("-f", name)
                got = r.stderr + f"-- exit {r.returncode}\n"
                self.assertEqual(r.stdout, "")
                self.assertFalse(os.path.exists(LOG_PATH), "quelld-check wrote the event log")
                golden = os.path.join(CASES, name[:-3] + ".out")
                if update:
                    with open(golden, "w") as f:
                        f.write(got)
                with open(golden) as f:
                    self.assertEqual(got, f.read())

                # The daemon agrees: it starts exactly when the status is 0,
                # and logs the same messages.
                self.assertEqual(self.daemon_starts(name), r.returncode == 0)
                with open(LOG_PATH, "rb") as f:  # not sandbox.read_log: keep the CRs
                    log = f.read().decode("utf-8", "surrogateescape")
                logged = [visible(m) for m in re.findall(r"(?m)^[^ ]+: line \d+: (.*)$", log)]
                reported = re.findall(r"(?m)^[^ ]+:\d+: (?!warning: )(?!Error parsing)"
                                      r"(?!Warning parsing)(.*)$", r.stderr)
                self.assertEqual(reported, logged)

    def test_statuses(self):
        r = check("-f", "absent.cf")
        self.assertEqual((r.returncode, r.stderr),
                         (1, "absent.cf: Cannot stat conf file: No such file or directory\n"))
        self.assertEqual(check("-f", "1.cf", "-x").returncode, 2)
        self.assertEqual(check("-f", "1.cf", "-n", "-u", "alice").returncode, 2)
        self.assertEqual(check("-f", "1.cf", "-l", "pts/1").returncode, 2)
        self.assertEqual(check("-f", "1.cf", "extra").returncode, 2)
        # Without -f: the default configuration path.
        sandbox.write_config("sleep 60\nwarn 1\n")
        r = check(cwd="/")
        self.assertEqual((r.returncode, r.stderr), (0, ""))


class PolicyTest(sandbox.SandboxTestCase):
    def test_login_policy_from_the_real_databases(self):
        accounts()
        sandbox.write_config("sleep 60\nwarn 60\n"
                             "timeout default 30\n"
                             "timeout group students 20\n"
                             "timeout tty pts/7 5\n"
                             "exempt group students multiple\n")
        r = check("-u", "bob", "-l", "/dev/pts/1", "-h", "far.example.org", cwd="/")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        uid, gid, groups = sandbox.user_ids("bob")
        self.assertEqual(r.stdout.splitlines()[:3], [
            f"bob on pts/1 from far.example.org, under {sandbox.CONF_PATH}:",
            f"  groups          bob({gid}) students({groups[0]})",
            f"  idle limit      20 minutes               {sandbox.CONF_PATH}:4: timeout group "
            "students 20",
        ])
        self.assertIn(f"  exempt          multiple                 {sandbox.CONF_PATH}:6: exempt "
                      "group students multiple\n", r.stdout)
        r = check("-u", "bob", "-l", "pts/7", cwd="/")
        self.assertIn(f"{sandbox.CONF_PATH}:5: timeout tty pts/7 5", r.stdout)


class DryRunTest(sandbox.SandboxTestCase):
    def test_dry_run_over_real_logins(self):
        accounts()
        sandbox.write_config("sleep 60\nwarn 60\n"
                             "timeout default 10\n"
                             "refuse login carol\n")
        hour_ago = int(time.time()) - 3600
        idle = sandbox.login("alice", login_time=hour_ago)
        busy = sandbox.login("bob", login_time=hour_ago)
        refused = sandbox.login("carol", login_time=hour_ago)
        idle.set_idle(11 * 60)
        sandbox.set_tty_times(busy.path)
        sandbox.set_tty_times(refused.path)
        sandbox.end_login(sandbox.add_login("dave", "pts/99"))  # a dead entry takes a slot

        r = check("-n", cwd="/")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        blocks = {b.split(" ", 1)[0]: b for b in r.stdout.split("\n\n")[1:]}
        self.assertEqual(sorted(blocks), ["alice", "bob", "carol"])
        self.assertRegex(r.stdout.split("\n", 1)[0], r": 3 user logins; console user: none$")
        self.assertIn(f"alice on {idle.line} from localhost", blocks["alice"])
        self.assertRegex(blocks["alice"], r"idle time       0:11:0\d \(input\)\n"
                                          r"  now             warn \(idle: idle 0:11:0\d, limit "
                                          r"10 minutes; logged out 1 minute later")
        self.assertRegex(blocks["bob"], r"  now             nothing\n?$")
        self.assertIn("  now             log out (refused: the refusal notice, then the logout "
                      "5 seconds later)", blocks["carol"])

        # Nothing happened to anyone: no text on the terminals, every process
        # alive, no event log.
        for s in (idle, busy, refused):
            self.assertEqual(s.read(timeout=0.3), b"", s.user)
            self.assertTrue(s.alive(), s.user)
        self.assertFalse(os.path.exists(LOG_PATH))
