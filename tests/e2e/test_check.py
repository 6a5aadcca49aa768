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
from sandbox import LOG_PATH, LOGOUT_NOTICE, ago, because

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

    def test_dry_run_names_what_the_daemon_then_does(self):
        """The warnings and logouts -n shows are the ones the daemon then carries out."""
        accounts()
        sandbox.add_user("dave")
        sandbox.write_config("sleep 1\nwarn 3\ntimeout default 10\n"
                             "threshold multiple 1\nmultiples 1\nrefuse login carol\n")
        idle = sandbox.login("alice", login_time=ago(3600))
        idle.set_idle(11 * 60)
        busy = sandbox.login("bob", login_time=ago(3600))
        refused = sandbox.login("carol", login_time=ago(3600))
        late = sandbox.login("dave", login_time=ago(60))
        early = sandbox.login("dave", login_time=ago(600))
        for s in (busy, refused, late, early):
            sandbox.set_tty_times(s.path)

        r = check("-n", cwd="/")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        shown = {}
        for block in r.stdout.split("\n\n")[1:]:
            head = re.match(r"(\S+) on (\S+) from ", block)
            acts = re.findall(r"(?m)^  (?:now )?\s+(warn|log out) \((\w+):", block)
            shown[(head.group(1), head.group(2))] = acts
        self.assertEqual(shown, {("alice", idle.line): [("warn", "idle")],
                                 ("bob", busy.line): [],
                                 ("carol", refused.line): [("log out", "refused")],
                                 ("dave", late.line): [("warn", "multiple")],
                                 ("dave", early.line): []})

        sandbox.start_daemon(config=None)
        # Warned logins are logged out once the grace is over, so every
        # login -n named ends up in a "because" line, and no other.
        named = {(u, line): acts[0][1] for (u, line), acts in shown.items() if acts}
        for (user, line), reason in named.items():
            sandbox.wait_for_log(because(user, "/dev/" + line, reason), timeout=30)
        for s in (idle, late):
            out = s.expect(LOGOUT_NOTICE, timeout=20)
            self.assertIn(b"\a", out[:-len(LOGOUT_NOTICE)], s.user)  # the warning came first
        logged = {(u, p[len("/dev/"):]): why for u, p, why in
                  re.findall(r"(?m) : (\S+) on (\S+) because (\w+)$", sandbox.read_log())}
        self.assertEqual(logged, named)
        for s in (busy, early):
            self.assertTrue(s.alive(), s.user)
