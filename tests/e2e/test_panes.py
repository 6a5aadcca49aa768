"""tmux panes under the multiple-login limit: a real tmux server writes a
login record for each pane through libutempter's helper, inside a real
login on a pseudo-terminal."""

import grp
import os
import re
import shutil
import subprocess

import sandbox
from sandbox import ago, because

UTEMPTER = os.path.join("/usr/lib", sandbox.multiarch(), "utempter/utempter")
SOCKET = "/tmp/ann.tmux"
LIMIT = "threshold multiple 1\nmultiples 1\nsleep 1\n"


class PaneTest(sandbox.SandboxTestCase):
    def setUp(self):
        sandbox.required("QUELLD_E2E_NEED_TMUX",
                         None if shutil.which("tmux") and os.path.exists(UTEMPTER)
                         else f"tmux and libutempter's helper ({UTEMPTER}) are needed")
        super().setUp()

    def start_tmux(self):
        """ann's login running tmux with two panes; returns the login and the panes' records.

        The login's shell outlives tmux, which ends with its last pane."""
        sandbox.add_user("ann")
        # The helper is setgid utmp: the sandbox's utmp must be the group's to write.
        os.chown(sandbox.UTMP_PATH, 0, grp.getgrnam("utmp").gr_gid)
        s = sandbox.login("ann", login_time=ago(600), argv=(
            "/bin/sh", "-c", f"TERM=xterm tmux -S {SOCKET} new-session 'sleep 100000'; sleep 100000"))
        uid, gid, _ = sandbox.user_ids("ann")
        sandbox.wait_until(lambda: len(self.panes()) == 1, what="the first pane's record")
        subprocess.run(["tmux", "-S", SOCKET, "split-window", "sleep 100000"], user=uid,
                       group=gid, extra_groups=[], check=True, timeout=sandbox.TIMEOUT)
        return s, sandbox.wait_until(lambda: len(self.panes()) == 2 and self.panes(),
                                     what="the second pane's record")

    def panes(self):
        """The records the tmux server wrote: their process is the one the host names."""
        return [r for r in sandbox.read_utmp() if r.type == sandbox.USER_PROCESS and
                r.host.startswith(f"tmux({r.pid}).".encode())]

    def test_each_pane_is_a_login_by_default(self):
        s, panes = self.start_tmux()
        sandbox.start_daemon(config=LIMIT)
        for p in panes:
            sandbox.wait_for_log(because("ann", "/dev/" + p.line.decode(), "multiple"))
        sandbox.wait_until(lambda: not self.panes(), what="tmux to remove the panes' records")
        self.assertTrue(s.alive())
        self.assertNotIn(f" on {s.path} because", sandbox.read_log())

    def test_joined_panes_survive_and_a_forged_host_counts(self):
        s, panes = self.start_tmux()
        server = panes[0].pid
        self.assertEqual([p.host for p in panes], [f"tmux({server}).%0".encode(),
                                                   f"tmux({server}).%1".encode()])
        # A remote login whose host name reads like a pane of the very server.
        forged = sandbox.login("ann", host=f"tmux({server}).%0", login_time=ago(60))
        sandbox.write_config(LIMIT + "panes join\n")
        check = subprocess.run([os.path.join(os.path.dirname(sandbox.QUELLD_BIN), "quelld-check"),
                                "-n"], capture_output=True, text=True, timeout=sandbox.TIMEOUT)
        self.assertEqual(len(re.findall(rf"^  pane of +{s.line} +panes join", check.stdout,
                                        re.MULTILINE)), 2, check.stdout)
        sandbox.start_daemon(config=None)
        sandbox.wait_for_log(because("ann", forged.path, "multiple"))
        forged.wait_exit()
        sandbox.wait_scans(3)
        self.assertEqual(sandbox.read_log().count(" because "), 1, sandbox.read_log())
        self.assertEqual(self.panes(), panes)
        self.assertTrue(s.alive())
