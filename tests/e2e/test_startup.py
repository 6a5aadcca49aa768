"""Start-up of the real quelld: options, start line, detaching, signals, the event log."""

import os
import re
import signal
import stat
import subprocess
import time

import sandbox
from sandbox import CONF_PATH, LOG_PATH, STAMP24, VERSION

START_LINE = rf"^({STAMP24})  {re.escape(sandbox.VERSION)} started\.$"
KILLED_LINE = rf"^({STAMP24})  quelld killed\.$"
CANNOT_OPEN = "quelld: Cannot open log file: /var/log/quelld.log\n"
NO_F_ARG = "quelld: flag -f specified without naming config file\n"


def using(path):
    return f"Using configuration file '{path}'.\n"


class OptionTest(sandbox.SandboxTestCase):
    # Command lines that end during start-up: status 0, no log, no daemon.
    EXITS = [
        (["-V"], VERSION + "\n", ""),
        (["-x", "-V"], VERSION + "\n", "quelld: bad flag -x\n"),
        (["-V", "-x", "-f"], VERSION + "\n", ""),
        (["-f", "/tmp/c", "-xy", "-V"], using("/tmp/c") + VERSION + "\n", "quelld: bad flag -xy\n"),
        (["-i", "-m", "-r", "-s"], "", "quelld: nothing to do.  exiting.\n"),
        (["-s", "-s", "-r", "-m", "-i", "-f"], "", NO_F_ARG + "quelld: nothing to do.  exiting.\n"),
        (["-i", "-m", "-r", "-s", "-V"], VERSION + "\n", ""),
    ]

    def test_command_lines_that_exit_at_once(self):
        for args, out, err in self.EXITS:
            with self.subTest(args=args):
                sandbox.reset()
                r = sandbox.run_quelld(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, out, err))
                self.assertEqual(sandbox.find_daemons(), [])
                self.assertFalse(os.path.lexists(LOG_PATH))

    def test_messages_come_in_argument_order(self):
        r = sandbox.run_quelld("-x", "-f", "/tmp/c", "-V", stderr=subprocess.STDOUT)
        self.assertEqual(r.stdout, "quelld: bad flag -x\n" + using("/tmp/c") + VERSION + "\n")

    # Command lines that start the daemon: what they print, and the
    # configuration the daemon must read (relative paths: from /tmp, the cwd).
    STARTS = [
        ([], "", "", CONF_PATH),
        (["-i", "-m", "-r"], "", "", CONF_PATH),
        (["-f"], "", NO_F_ARG, CONF_PATH),
        (["-f", "/tmp/a", "-f", "/tmp/b"], using("/tmp/a") + using("/tmp/b"), "", "/tmp/b"),
        (["-f", "-i"], using("-i"), "", "/tmp/-i"),
        (["-f", "-V"], using("-V"), "", "/tmp/-V"),
        (["-xy", "foo"], "", "quelld: bad flag -xy\nquelld: bad flag -oo\n", CONF_PATH),
        (["-", ""], "", "quelld: bad flag -\nquelld: bad flag -\n", CONF_PATH),
        (["-v", "-I", "-imrs"], "",
         "quelld: bad flag -v\nquelld: bad flag -I\nquelld: bad flag -imrs\n", CONF_PATH),
    ]

    def test_command_lines_that_start(self):
        for args, out, err, conf in self.STARTS:
            with self.subTest(args=args):
                sandbox.reset()
                # Only the expected path holds a configuration: a daemon
                # reading another would die at its first cycle.
                sandbox.write_config(sandbox.DEFAULT_CONFIG, conf)
                d = sandbox.start_daemon(*args, config=None, cwd="/tmp")
                self.assertEqual((d.started.stdout, d.started.stderr), (out, err))
                self.assertEqual(d.stop(), 1)
                log = sandbox.read_log()
                self.assertNotIn("Must die", log)
                self.assertRegex(log.splitlines()[0], START_LINE)
                self.assertRegex(log.splitlines()[-1], KILLED_LINE)


class DaemonTest(sandbox.SandboxTestCase):
    def test_start_line_and_detaching(self):
        spare = os.open("/dev/null", os.O_RDONLY)
        os.dup2(spare, 300)
        self.addCleanup(os.close, 300)
        self.addCleanup(os.close, spare)
        # A configuration dated before the daemon's "never read" mark is never
        # read, so standard input is never reopened on it and stays as started.
        sandbox.write_config(sandbox.DEFAULT_CONFIG, mtime=1)
        before = int(time.time())
        d = sandbox.start_daemon(config=None, pass_fds=(spare, 300))
        after = time.time()

        # Written by the starting process, before it exited.
        lines = sandbox.log_lines()
        self.assertRegex(lines[0], START_LINE)
        self.assertEqual(sum("started." in line for line in lines), 1)
        self.assertTrue(before - 1 <= sandbox.parse_stamp(lines[0][:24]) <= after + 1, lines[0])

        self.assertEqual((d.started.stdout, d.started.stderr), ("", ""))
        self.assertTrue(d.alive())
        # The login database is opened only during a pass and closed after it.
        sandbox.wait_until(lambda: d.fds() == [0], what="descriptors other than 0 closed")
        self.assertEqual(os.readlink(f"/proc/{d.pid}/fd/0"), "/dev/null")
        st = sandbox.proc_stat(d.pid)
        self.assertEqual((st["session"], st["tty_nr"]), (d.pid, 0))

    def test_termination(self):
        # A second SIGTERM while the first is handled must not log twice.
        for sigs in ([signal.SIGTERM], [signal.SIGALRM], [signal.SIGTERM, signal.SIGTERM]):
            with self.subTest(signals=sigs):
                sandbox.reset()
                d = sandbox.start_daemon()
                before = int(time.time())
                for sig in sigs:
                    d.signal(sig)
                self.assertEqual(d.wait_exit(), 1)
                lines = sandbox.log_lines()
                self.assertEqual(sum("killed" in line for line in lines), 1, lines)
                self.assertRegex(lines[-1], KILLED_LINE)
                self.assertGreaterEqual(sandbox.parse_stamp(lines[-1][:24]), before - 1)

    def test_ignored_signals(self):
        d = sandbox.start_daemon()
        ignored = {signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTTOU, signal.SIGTSTP}
        self.assertEqual(d.ignored_signals() & (ignored | {signal.SIGTERM}), ignored)
        for sig in sorted(ignored):
            d.signal(sig)
        # Had any of them its default action, the daemon would die by it
        # (they have lower numbers, so they are taken before SIGTERM).
        self.assertEqual(d.stop(), 1)
        self.assertRegex(sandbox.log_lines()[-1], KILLED_LINE)


class EventLogTest(sandbox.SandboxTestCase):
    def test_unopenable_log_stops_start_up(self):
        cases = {
            "a directory": lambda: os.mkdir(LOG_PATH),
            "read-only /var/log": lambda: sandbox.remount_readonly("/var/log"),
            "a dangling symlink": lambda: os.symlink("/var/log/none/quelld.log", LOG_PATH),
        }
        for name, make_unopenable in cases.items():
            with self.subTest(log=name):
                sandbox.reset()
                make_unopenable()
                sandbox.write_config(sandbox.DEFAULT_CONFIG)
                r = sandbox.run_quelld("-f", CONF_PATH)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (1, using(CONF_PATH), CANNOT_OPEN))
                self.assertEqual(sandbox.find_daemons(), [])  # no fork: nothing to reap

    def test_log_created_0644_whatever_the_umask(self):
        for umask in (0, 0o077):
            with self.subTest(umask=oct(umask)):
                sandbox.reset()
                d = sandbox.start_daemon(umask=umask)
                self.assertEqual(d.stop(), 1)
                st = os.stat(LOG_PATH)
                self.assertTrue(stat.S_ISREG(st.st_mode))
                self.assertEqual(stat.S_IMODE(st.st_mode), 0o644)

    def test_existing_log_is_appended_and_keeps_its_mode(self):
        with open(LOG_PATH, "w") as f:
            f.write("earlier line\n")
        os.chmod(LOG_PATH, 0o600)
        sandbox.start_daemon().stop()
        lines = sandbox.log_lines()
        self.assertEqual(lines[0], "earlier line")
        self.assertRegex(lines[1], START_LINE)
        self.assertEqual(stat.S_IMODE(os.stat(LOG_PATH).st_mode), 0o600)

    def test_log_changed_while_running(self):
        # The log is opened for every line: a removed log is made afresh; an
        # unwritable one loses the line and the daemon still ends normally.
        for change in ("remove", "read-only"):
            with self.subTest(change=change):
                sandbox.reset()
                d = sandbox.start_daemon()
                if change == "remove":
                    os.remove(LOG_PATH)
                else:
                    sandbox.remount_readonly("/var/log")
                self.assertEqual(d.stop(), 1)
                lines = sandbox.log_lines()
                if change == "remove":
                    self.assertNotIn("started", "".join(lines))
                    self.assertRegex(lines[-1], KILLED_LINE)
                    self.assertEqual(stat.S_IMODE(os.stat(LOG_PATH).st_mode), 0o644)
                else:
                    self.assertNotIn("killed", "".join(lines))
