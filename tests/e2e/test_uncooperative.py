"""Enforcement against a local user who does not cooperate: decoy processes,
a crowd on the login's own terminal, terminals that never drain, and the
login database's lock held.  "Logged out" must mean the session is gone, and
nothing one user does may put off another's logout.
"""

import fcntl
import os
import re
import time

import sandbox
from logins import POLICY, fill_output, idle_login, logged_out
from sandbox import STAMP19
from test_kill import running, start_on, twin_terminal


def set_last_pid(pid):
    """The next process of the sandbox gets the first free pid after ``pid``."""
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write(str(pid))


def crowd_on(path, count, user, low_pid=None):
    """A session of ``user`` on the terminal at ``path``: a leader and ``count``
    sleeps of its own, all holding the terminal.  With ``low_pid`` the sleeps get
    pids from there up, below the leader's (as after pids wrap).  Returns the
    leader's pid."""
    ids = sandbox.user_ids(user)
    if low_pid is not None:
        set_last_pid(low_pid + 100000)
    pid = sandbox.spawn_session(path, ids, members=[(ids, sandbox.SLEEP, False)] * count,
                                members_from_pid=low_pid)[0]
    sandbox.wait_until(lambda: running(pid), what="the crowd's leader")
    return pid


def processes_of(uid):
    """The live processes whose real uid is ``uid``."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/status") as f:
                status = f.read()
        except OSError:
            continue
        if re.search(rf"^Uid:\t{uid}\t", status, re.M) and not re.search(
                r"^State:\tZ", status, re.M):
            found.append(int(pid))
    return found


class UncooperativeTest(sandbox.SandboxTestCase):
    def test_decoys_on_another_instance_do_not_hide_the_login(self):
        sandbox.add_user("alice")
        # The login's processes after the decoys in the process table, as
        # when the decoys were started first.
        set_last_pid(60000)
        alice = idle_login("alice")
        set_last_pid(300)
        # The user's own devpts instance, with a terminal of the same number.
        decoys = start_on(twin_terminal(self, "mypts", int(alice.line.split("/")[1])), [0] * 300)

        sandbox.start_daemon(config=POLICY)
        logged_out(self, alice, sandbox.because("alice", alice.path, "idle"))
        self.assertEqual([p for p in decoys if not running(p)], [])

    def idle_terminal(self, uid):
        """A new pty of ``uid``'s, idle for two minutes; returns its path."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        path = os.ttyname(slave)
        os.close(slave)
        os.chown(path, uid, sandbox.tty_gid())
        sandbox.set_tty_times(path, sandbox.ago(120), sandbox.ago(120))
        return path

    def test_a_crowd_with_lower_pids_does_not_hide_the_shell(self):
        uid = sandbox.add_user("alice")
        path = self.idle_terminal(uid)
        leader = crowd_on(path, 1100, "alice", low_pid=2000)
        sandbox.add_login("alice", path[5:], "", sandbox.ago(600), leader)
        sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log(sandbox.because("alice", path, "idle"), timeout=30)
        # The whole session: the kernel takes the terminal from the crowd as
        # soon as its leader has gone.
        self.assertEqual(processes_of(uid), [])

    def test_a_session_that_forks_on_is_ended_whole(self):
        uid = sandbox.add_user("alice")
        path = self.idle_terminal(uid)
        # Every process forks on and ignores SIGHUP and SIGTERM; the user's
        # process limit keeps the tree from the host's.
        loop = ("trap '' HUP TERM; f() { while :; do (trap '' HUP TERM; f) & sleep 0.05; "
                "done; }; f")
        leader = start_on(path, [uid], argv=("bash", "-c", loop), nproc=1000)[0]
        sandbox.wait_until(lambda: len(processes_of(uid)) > 500, what="the tree to grow")
        sandbox.add_login("alice", path[5:], "", sandbox.ago(600), leader)
        sandbox.start_daemon(config=POLICY)
        sandbox.wait_for_log(sandbox.because("alice", path, "idle"), timeout=30)
        self.assertEqual(processes_of(uid), [])

    def test_refusals_hold_against_a_terminal_that_does_not_drain(self):
        sandbox.add_user("mallory")
        sandbox.add_user("night")
        mallory = sandbox.login("mallory", login_time=sandbox.ago(10))
        night = sandbox.login("night", login_time=sandbox.ago(10))
        for s in (mallory, night):
            fill_output(s)
        # A window three days off: closed now in any time zone.
        day = time.strftime("%a", time.gmtime(time.time() + 3 * 86400)).lower()
        sandbox.start_daemon(config=POLICY + f"hours {day} 00:00-24:00 login night\n")
        for s, reason in ((mallory, "refused"), (night, "hours")):
            sandbox.wait_for_log(sandbox.because(s.user, s.path, reason), timeout=30)
            sandbox.wait_until(lambda: not s.alive(), what=f"{s.user}'s session to end")

    def test_stuck_terminals_do_not_put_off_another_users_logout(self):
        sandbox.add_user("alice")
        sandbox.add_user("mallory")
        stuck = [idle_login("mallory") for _ in range(4)]
        for s in stuck:
            fill_output(s)
        alice = idle_login("alice")
        started = time.time()
        sandbox.start_daemon(config="timeout default 1\nwarn 2\nsleep 5\n")
        logged_out(self, alice, sandbox.because("alice", alice.path, "idle"))
        # Warned at the first pass, logged out when the grace is over.
        self.assertLess(time.time() - started, 12)

    def test_lock_held_across_a_grace(self):
        sandbox.add_user("alice")
        alice = idle_login("alice")
        sandbox.start_daemon(config="timeout default 1\nwarn 8\nsleep 2\n")
        warning = b"This terminal has been idle"
        alice.expect(warning, timeout=20)
        with open(sandbox.UTMP_PATH, "rb+") as utmp:
            fcntl.lockf(utmp, fcntl.LOCK_EX)
            sandbox.wait_for_log(rf"^{STAMP19} : cannot read the login database: its lock is "
                                 rf"held; its logins are kept$", timeout=20)
            time.sleep(10)  # past the grace's end
            self.assertTrue(alice.alive())
        sandbox.wait_for_log(rf"^{STAMP19} : login database read again\.$", timeout=20)
        # Logged out once, with no second warning.
        seen = alice.read(until=b"Logged out by the system.", timeout=20)
        self.assertEqual(seen.count(warning), 1)
        sandbox.wait_for_log(sandbox.because("alice", alice.path, "idle"))
        self.assertEqual(len(re.findall(r"because idle", sandbox.read_log())), 1)
