"""Which processes a forced logout ends, and how.

Only the very terminal's: pseudo-terminals of another devpts instance carry
the same numbers.  The console's session.  SIGHUP first, with time to act on
it.  No terminal reached through a symbolic link.
"""

import fcntl
import os
import re
import struct
import time

import sandbox
from logins import POLICY, expect_notice, idle_login, logged_out
from sandbox import STAMP19

TIOCGPTN, TIOCSPTLCK = 0x80045430, 0x40045431


def because(session, reason="idle"):
    return sandbox.because(session.user, session.path, reason)


def start_on(path, uids, argv=("sleep", "100000"), nproc=None):
    """A session with the terminal at ``path`` as controlling terminal and standard
    streams: ``argv`` (a sleep) for each uid, the first leading it, each with at
    most ``nproc`` processes of its uid when given.  Returns their pids."""
    ids = [(uid, uid, []) for uid in uids]
    pids = sandbox.spawn_session(path, ids[0], argv, members=[(i, argv, False) for i in ids[1:]],
                                 nproc=nproc)
    sandbox.wait_until(lambda: all(running(p, argv[0]) for p in pids), what=f"sleeps {pids}")
    return pids


def twin_terminal(test, name, number):
    """A terminal numbered ``number`` on a devpts instance of its own (a
    container's /dev/pts, or one a user made in a user namespace) mounted at
    /dev/``name``: the same device number as the host's pts/``number``.
    Returns its path; it stays open until the test ends."""
    other = sandbox.dev_path(name)
    os.mkdir(other)
    sandbox._mount("devpts", other, "devpts", 0, "newinstance,ptmxmode=0666,mode=620")
    test.addCleanup(sandbox.unmount, other)
    masters = []
    test.addCleanup(lambda: [os.close(m) for m in masters])
    while True:
        m = os.open(other + "/ptmx", os.O_RDWR | os.O_NOCTTY)
        masters.append(m)
        n = struct.unpack("I", fcntl.ioctl(m, TIOCGPTN, b"\0" * 4))[0]
        if n == number:
            break
        test.assertLess(n, number)
    fcntl.ioctl(masters[-1], TIOCSPTLCK, struct.pack("i", 0))
    return f"{other}/{number}"


def running(pid, comm="sleep"):
    """True when ``pid`` runs ``comm`` (not a zombie)."""
    try:
        st = sandbox.proc_stat(pid)
    except OSError:
        return False
    return st["comm"] == comm and st["state"] != "Z"


class KillTest(sandbox.SandboxTestCase):
    def test_same_number_in_another_devpts_instance_survives(self):
        sandbox.add_user("alice")
        bob_uid = sandbox.add_user("bob")
        alice = idle_login("alice")
        # A container's /dev/pts: its own instance, numbered from 0.
        twin = twin_terminal(self, "otherpts", int(alice.line.split("/")[1]))
        self.assertEqual(os.stat(twin).st_rdev, os.stat(alice.path).st_rdev)
        others = start_on(twin, [0, bob_uid])

        sandbox.start_daemon(config=POLICY)
        logged_out(self, alice, because(alice))
        self.assertEqual([p for p in others if not running(p)], [])
        sandbox.wait_for_log(rf"^{STAMP19} : left 2 processes with the number of "
                             rf"{re.escape(alice.line)} alone: their sessions do not hold it "
                             rf"open$")

    def test_console_login_is_logged_out(self):
        sandbox.add_user("alice")
        alice = idle_login("alice", line="console")
        console = sandbox.bind_tty("console", alice)
        sandbox.start_daemon(config=POLICY)
        logged_out(self, alice, sandbox.because("alice", console, "idle"))

    def test_hangup_handler_gets_to_finish(self):
        sandbox.add_user("alice")
        done, ready = "/tmp/saved", "/tmp/ready"
        script = (
            "import os, signal, time\n"
            "def hup(*_):\n"
            f"    with open({done!r}, 'w') as f:\n"
            "        for i in range(5):\n"
            "            f.write(f'part {i}\\n'); f.flush(); time.sleep(0.06)\n"
            "        f.write('complete\\n')\n"
            "    os._exit(0)\n"
            "signal.signal(signal.SIGHUP, hup)\n"
            f"open({ready!r}, 'w').close()\n"
            "while True: signal.pause()\n")
        alice = idle_login("alice", argv=("python3", "-c", script))
        sandbox.wait_until(lambda: os.path.exists(ready), what="the handler to be in place")
        sandbox.start_daemon(config=POLICY)
        expect_notice(alice)
        self.assertEqual(alice.wait_exit(), 0)
        sandbox.wait_for_log(because(alice))
        with open(done) as f:
            self.assertEqual(f.read(), "".join(f"part {i}\n" for i in range(5)) + "complete\n")

    def test_no_terminal_through_a_symbolic_link(self):
        sandbox.add_user("alice")
        os.symlink("pts", sandbox.dev_path("ptslink"))
        alice = sandbox.open_pty("alice")
        alice.set_idle(120)
        alice.utmp_index = sandbox.add_login("alice", "ptslink/" + alice.line.split("/")[1],
                                             "", int(time.time()) - 600, alice.pid)
        sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log(rf"^{STAMP19}: Error in warn--Cannot open "
                             rf"/dev/ptslink/\d+ for alice\.$", timeout=20)
        sandbox.wait_scans(2)
        self.assertTrue(alice.alive())
        self.assertNotIn(b"Logged out", alice.read(timeout=0.2))
