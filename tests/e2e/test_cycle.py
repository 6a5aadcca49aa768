"""The polling cycle of the real quelld over real utmp records.

No configuration here sets a limit, so no check ever warns anyone.  Passes are
counted by the line the configuration reload writes in every pass once the
file is gone ("Ignoring, and maintaining old settings."): the settings of the
one good read stay in force meanwhile.
"""

import os
import time

import sandbox
from events import KEEP, MARK, MARKED, READING, TOO_MANY, count, events, no_info, stamps, wait_count
from sandbox import CONF_PATH, DEAD_PROCESS, USER_PROCESS, UtmpRecord

T0 = 1_700_000_000  # a login time of the tests' logins


def start_counting(config="sleep 1\n"):
    """Starts the daemon with ``config``, then removes the file so that every
    later pass logs one KEEP line.  Returns the Daemon."""
    d = sandbox.start_daemon(config=config + MARK)
    wait_count(MARKED, 1)
    os.remove(CONF_PATH)
    wait_count(KEEP, 1)
    return d


def wait_passes(n):
    """Waits until ``n`` passes that began after this call have finished their scan.

    The KEEP line opens a pass: the pass whose line comes next starts after
    this call, and the one after it proves that its scan is over.
    """
    wait_count(KEEP, count(KEEP) + n + 1, timeout=sandbox.TIMEOUT + 2 * n)


def dead(i):
    return UtmpRecord(DEAD_PROCESS, line=f"pts/{i}")


class PassTest(sandbox.SandboxTestCase):
    def test_a_login_is_taken_once(self):
        # The unknown-user line is written when a login is first seen; it
        # shows which utmp changes make a new login.
        sandbox.add_user("alice")
        records = [UtmpRecord(sandbox.BOOT_TIME, "reboot", "~", time=T0 - 100),
                   UtmpRecord(user="alice", line="pts/1", time=T0),
                   UtmpRecord(user="ghost", line="pts/2", time=T0)]
        sandbox.write_utmp(records)
        d = start_counting()
        ghost = 2  # its index in records

        def empty_name_before(r):
            r.insert(ghost, UtmpRecord(USER_PROCESS, "", "pts/9", time=T0))

        def drop_empty_name(r):
            del r[ghost]

        def dead_before(r):
            r.insert(ghost, dead(8))

        def new_time(r):
            r[-1].time = T0 + 60

        def same_second(r):
            r[-1].usec = 500_000

        # (what changes, the number of ghost lines logged once it is seen)
        steps = [
            ("nothing", None, 1),
            ("microseconds of its login time", same_second, 1),
            ("an empty-name entry before it takes no slot", empty_name_before, 1),
            ("that entry gone again", drop_empty_name, 1),
            ("same user and line, new login time", new_time, 2),
            ("a dead entry before it changes nothing", dead_before, 2),
        ]
        for name, change, expected in steps:
            with self.subTest(change=name):
                if change is not None:
                    change(records)
                    sandbox.write_utmp(records)
                wait_passes(1 if change else 3)
                self.assertEqual(count(no_info("ghost")), expected, sandbox.read_log())
        self.assertEqual(count(no_info("alice")), 0)
        self.assertTrue(d.alive())

    def test_fields_without_terminator(self):
        # Every text field full: the name is cut to 18 characters for the
        # record, so the login is the same one at every pass.
        name = b"u" * 32
        sandbox.write_utmp([
            UtmpRecord(user=name, line=b"pts/" + b"7" * 28, host=b"h" * 256, time=T0),
            UtmpRecord(user=b"v" * 32, line=b"x" * 32, host=b"", time=T0),
        ])
        d = start_counting()
        wait_passes(3)
        got = [line for line in events() if line.startswith("Error:")]
        self.assertEqual(sorted(got), [no_info("u" * 18), no_info("v" * 18)])
        self.assertTrue(d.alive())

    def test_dead_entries_take_no_slot(self):
        # A host that once had hundreds of terminals keeps a dead entry for
        # each; the logins after them are policed all the same.
        sandbox.add_user("ann")
        sandbox.add_user("bob")
        sandbox.write_utmp([UtmpRecord(DEAD_PROCESS, line=f"old{i}") for i in range(499)])
        ann, bob = sandbox.login("ann", login_time=T0), sandbox.login("bob", login_time=T0)
        self.assertEqual((ann.utmp_index, bob.utmp_index), (499, 500))
        ann.set_idle(600)
        bob.set_idle(600)
        sandbox.start_daemon(config="timeout default 1\nwarn 0\nsleep 60\n")
        for s in (ann, bob):
            s.wait_exit()
            sandbox.wait_for_log(sandbox.because(s.user, s.path, "idle"))
        self.assertNotIn(TOO_MANY, events())


def cpu_and_switches(pid):
    """(user + system CPU ticks, voluntary, involuntary context switches) of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    status = sandbox.proc_status(pid)
    return (int(fields[11]) + int(fields[12]), int(status["voluntary_ctxt_switches"]),
            int(status["nonvoluntary_ctxt_switches"]))


class RestTest(sandbox.SandboxTestCase):
    # Configurations and the passes expected in a 3-second window after the
    # read: a set interval is slept whole; without one (or with 0 or less) the
    # daemon still rests a second between passes rather than spin.
    CASES = [
        ("sleep 5\n", range(0, 1)),
        ("", range(2, 5)),
        ("sleep 0\n", range(2, 5)),
        ("sleep -5\n", range(2, 5)),
    ]
    WINDOW = 3.0

    def test_empty_database_does_not_spin(self):
        for config, expected_passes in self.CASES:
            with self.subTest(config=config):
                sandbox.reset()
                d = sandbox.start_daemon(config=config + MARK)
                wait_count(MARKED, 1)
                os.remove(CONF_PATH)
                before = cpu_and_switches(d.pid)
                time.sleep(self.WINDOW)  # the measurement itself: no condition to wait for
                after = cpu_and_switches(d.pid)
                cpu, voluntary, involuntary = (b - a for a, b in zip(before, after))
                self.assertIn(count(KEEP), expected_passes, sandbox.read_log())
                self.assertLessEqual(cpu, 3, "CPU ticks (1/100 s) used while resting")
                self.assertLessEqual(voluntary + involuntary, 20)
                self.assertTrue(d.alive())
                if config == "sleep 5\n":
                    # The next pass comes when the interval is over.
                    wait_count(KEEP, 1)
                    read, woke = stamps(r"   Reading")[0], stamps(r":  Cannot stat")[0]
                    self.assertTrue(4 <= woke - read <= 6, (read, woke))
