"""Reading and re-reading the configuration through the real, detached quelld.

The configurations here set no limit that could expire, so no check ever warns
or logs anyone out: everything is judged from the event log and from the
daemon's life and exit status.
"""

import os
import socket
import time

import sandbox
from events import (ABORT, DIE, KEEP, MARK, MARKED, NO_OPEN, NO_STAT, READING, count,
                    events, wait_count)
from sandbox import CONF_DIR, CONF_PATH


def err(line, message, path=CONF_PATH):
    return f"{path}: line {line}: {message}"


def read_times(n, timeout):
    """Times (seconds on the wall clock) of the daemon's next ``n`` reads of utmp.

    Every pass reads utmp once; a read shows as the file's access time moving
    past its modification time (the mounts use relatime), which this sets
    back after each read it sees.  Nothing else may read utmp meanwhile.
    """
    times = []
    deadline = time.monotonic() + timeout
    for _ in range(n):
        st = os.stat(sandbox.UTMP_PATH)
        mark = st.st_mtime_ns - 1_000_000_000
        os.utime(sandbox.UTMP_PATH, ns=(mark, st.st_mtime_ns))
        sandbox.wait_until(lambda: os.stat(sandbox.UTMP_PATH).st_atime_ns > mark,
                           max(deadline - time.monotonic(), 0.1), what=f"{n} reads of utmp")
        times.append(os.stat(sandbox.UTMP_PATH).st_atime_ns / 1e9)
    return times


def gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


class FirstReadTest(sandbox.SandboxTestCase):
    """The first read decides whether the detached daemon lives at all."""

    def _mkfifo(self):
        os.mkfifo(CONF_PATH)

    def _socket(self):
        s = socket.socket(socket.AF_UNIX)
        s.bind(CONF_PATH)  # stat works, open fails (ENXIO), even for root
        self.addCleanup(s.close)

    # Configurations the daemon cannot live with: what to place at CONF_PATH
    # (text, or a function making it) and the lines after the start line.
    FATAL = [
        ("missing", None, [NO_STAT, DIE]),
        ("a directory", lambda self: os.mkdir(CONF_PATH), [READING, NO_OPEN, DIE]),
        ("a FIFO", _mkfifo, [READING, NO_OPEN, DIE]),
        ("a socket", _socket, [READING, NO_OPEN, DIE]),
        # Every report is written before the end of the file ends the daemon;
        # the second bad line comes in quiet recovery, so it gets no
        # "syntax error" of its own.
        ("syntax errors", "sleep 5\nsleep x\nwarn y\nthreshold multiple 2\n",
         [READING, err(2, "syntax error"), err(3, "Malformed sleep command."),
          err(4, "Malformed warn command."), ABORT]),
        ("an illegal character", "# comment\n\nsleep 5 $\nwarn 5\n",
         [READING, err(3, "Illegal character '$'."), ABORT]),
        ("a missing list file", f"sleep 5\ntimeout file {CONF_DIR}/nosuch 5\nwarn 5\n",
         [READING, err(3, f"Could not open file '{CONF_DIR}/nosuch'"), ABORT]),
    ]

    def test_unusable_first_configuration_ends_the_detached_daemon(self):
        for name, make, expected in self.FATAL:
            with self.subTest(config=name):
                sandbox.reset()
                if isinstance(make, str):
                    sandbox.write_config(make)
                elif make is not None:
                    make(self)
                d = sandbox.start_daemon(config=None)
                # Start-up said nothing: the configuration is read after detaching.
                self.assertEqual((d.started.stdout, d.started.stderr), ("", ""))
                self.assertEqual(d.wait_exit(), 1)
                self.assertEqual(events(), expected)
                self.assertEqual(sandbox.find_daemons(), [])

    # First configurations that are read in spite of what they log: extra
    # files, the configuration, and the lines its read writes.
    SURVIVABLE = [
        # The unfinished last line is reported after the end-of-input test.
        ("last line without a line feed", {}, "sleep 1\nsleep 5", [err(1, "syntax error")]),
        # Name look-ups are warnings, not configuration errors.
        ("unknown names", {},
         "sleep 1\nexempt login ghost all\nexempt login alice idle\n"
         "maxuser group ghosts 3\nmaxuser group alice 3\nexempt group nosuchgroup idle\n",
         ["Warning parsing conf file:  unknown login name 'ghost'.",
          "Error parsing conf file:  unknown group name 'ghosts'.",
          "Error parsing conf file:  unknown group name 'nosuchgroup'."]),
        # Logins from list files are not looked up; maxuser groups are.
        ("list files", {"users": "ghost\nalice\n", "groups": "alice\nghosts\n"},
         f"sleep 1\nexempt file {CONF_DIR}/users all\nmaxuser file {CONF_DIR}/groups 2\n",
         ["Error parsing conf file:  unknown group name 'ghosts'."]),
    ]

    def test_first_configuration_read_despite_warnings(self):
        for name, files, text, lines in self.SURVIVABLE:
            with self.subTest(config=name):
                sandbox.reset()
                sandbox.add_user("alice")
                for fname, content in files.items():
                    with open(os.path.join(CONF_DIR, fname), "w") as f:
                        f.write(content)
                d = sandbox.start_daemon(config=text)
                wait_count(lines[-1], 1)  # logged while the file is open
                # Once the file is gone, "Ignoring" (not "Must die") shows that
                # the read finished and counts as the first one.
                os.remove(CONF_PATH)
                got = wait_count(KEEP, 1)
                self.assertTrue(d.alive())
                self.assertEqual(got[:len(lines) + 3], [READING, *lines, NO_STAT, KEEP])
                self.assertNotIn(ABORT, got)


class RereadTest(sandbox.SandboxTestCase):
    """Re-reads: only a later modification time counts; failures keep what is in force."""

    def test_later_broken_edit_keeps_what_was_accepted(self):
        d = sandbox.start_daemon(config="sleep 1\n" + MARK)
        wait_count(MARKED, 1)
        # The sleep line is taken, the bad line reported, and parsing goes on.
        sandbox.write_config("sleep 3\nwarn x\nexempt login ghost idle\n")
        wait_count("Warning parsing conf file:  unknown login name 'ghost'.", 1)
        got = events()
        self.assertEqual(got[got.index(READING, 1):],
                         [READING, err(2, "syntax error"), err(3, "Malformed warn command."),
                          "Warning parsing conf file:  unknown login name 'ghost'."])
        # Passes are now 3 seconds apart, not 1.
        g = gaps(read_times(3, timeout=15))
        self.assertTrue(all(2.5 <= x <= 4.5 for x in g), g)
        self.assertTrue(d.alive())
        self.assertNotIn(ABORT, events())

    def test_sleep_sets_the_time_between_passes(self):
        sandbox.start_daemon(config="sleep 5\n")
        g = gaps(read_times(3, timeout=20))
        self.assertTrue(all(4.5 <= x <= 6.5 for x in g), g)
        self.assertEqual(count(READING), 1)

    def test_unreadable_file_after_a_good_read_is_ignored_each_pass(self):
        d = sandbox.start_daemon(config="sleep 1\n" + MARK)
        wait_count(MARKED, 1)
        # Each failure repeats in every pass for as long as it lasts.
        steps = [
            ("removed", lambda: os.remove(CONF_PATH), [NO_STAT, KEEP]),
            ("a directory", lambda: os.mkdir(CONF_PATH), [READING, NO_OPEN, KEEP]),
        ]
        for name, change, block in steps:
            with self.subTest(change=name):
                before = len(events())
                change()
                wait_count(KEEP, count(KEEP) + 3)
                got = events()[before:]
                # The pass under way may still have seen the previous state.
                start = next(i for i in range(len(got)) if got[i:i + len(block)] == block)
                body = got[start:len(got) - (len(got) - start) % len(block)]
                self.assertGreaterEqual(len(body), 2 * len(block))
                self.assertEqual(body, block * (len(body) // len(block)), got)
                self.assertTrue(d.alive())

        # A readable file again: read once, then quiet.  It has no sleep
        # line, so the one-second interval stays.
        os.rmdir(CONF_PATH)
        sandbox.write_config("warn 5\n")

        sandbox.wait_scans(3)
        reads = count(READING)
        sandbox.wait_scans(4)
        got = events()
        self.assertEqual((count(READING), got[-1]), (reads, READING), got)

    def test_a_later_time_or_an_earlier_file_is_read(self):
        t0 = int(time.time()) - 100
        sandbox.write_config("sleep 1\n" + MARK, mtime=t0)
        d = sandbox.start_daemon(config=None)
        wait_count(MARKED, 1)

        def put(mtime):
            # Put in place whole, already dated, as a copy would be; content
            # that would be reported if it were read.
            sandbox.write_config("sleep 1\nbad line\n", path=CONF_PATH + ".new", mtime=mtime)
            os.rename(CONF_PATH + ".new", CONF_PATH)

        put(t0)  # the same time: taken for the file read
        sandbox.wait_scans(3)
        self.assertEqual(count(READING), 1)
        put(t0 - 50)  # an older copy is another file (as after the clock was set back)
        wait_count(err(2, "syntax error"), 1)
        sandbox.wait_scans(3)
        self.assertEqual(count(READING), 2)
        os.utime(CONF_PATH, (t0 + 1, t0 + 1))  # touch: the time moves forward
        got = wait_count(READING, 3)
        wait_count(err(2, "syntax error"), 2)
        self.assertTrue(d.alive())
        self.assertNotIn(ABORT, got)

    def test_relative_path_is_taken_from_the_start_directory(self):
        os.mkdir("/tmp/etc")
        sandbox.write_config("sleep 1\n" + MARK, path="/tmp/etc/q.cf")
        d = sandbox.start_daemon("-f", "etc/q.cf", config=None, cwd="/tmp")
        self.assertEqual(d.started.stdout, "Using configuration file 'etc/q.cf'.\n")
        wait_count(MARKED, 1)
        self.assertEqual(os.readlink(f"/proc/{d.pid}/cwd"), "/tmp")
        # Still found there after detaching, at every read.
        sandbox.write_config("sleep 1\nbad\n", path="/tmp/etc/q.cf")
        wait_count(err(2, "syntax error", path="etc/q.cf"), 1)
        self.assertEqual(count(READING), 2)
        self.assertTrue(d.alive())
