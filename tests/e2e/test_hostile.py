"""Hostile login records: what users and login programs can put into utmp.

Every record here is one the daemon must survive: names with control
characters, fields at and past their widths without terminators, line names
that a shell would act on or that climb out of /dev, and lines naming files
and devices that are not terminals.  The daemon must never write to anything
but a terminal, never create or truncate a file, keep every log line whole,
and go on logging out an ordinary idle login beside them.
"""

import os
import stat
import time

import sandbox
from logins import POLICY, assert_log_lines, idle_login, line_patterns, logged_out


class ControlCharacterTest(sandbox.SandboxTestCase):
    def test_names_are_escaped_and_each_line_stays_whole(self):
        sandbox.add_user("carrier")
        sandbox.add_user("mallory")
        forged = b"x\nquelld killed."  # a name whose second half looks like a line
        s = idle_login("carrier", utmp_user=forged, host=b"h\n\x1b[2Jost\x7f")
        esc_user = "x\\nquelld killed."
        # A refused login on a line with control characters: its terminal is gone.
        sandbox.add_login("mallory", b"pts/77\n\x01\x1b", "", int(time.time()) - 600)
        # Bytes from 0x80 up are no control characters: written as they are.
        u = idle_login("carrier", utmp_user="j\u00f6rg")
        d = sandbox.start_daemon(config=POLICY)

        logged_out(self, s, r"x\\nquelld killed\. on /dev/pts/\d+ because idle$")
        logged_out(self, u, "j\u00f6rg on ")
        sandbox.wait_for_log("Error in warn--Cannot open")
        self.assertTrue(d.alive())
        assert_log_lines(self, line_patterns(
            f"Error:  could not get info on supposed user {esc_user}.",
            "Error:  could not get info on supposed user j\u00f6rg.",
            f"Error getting user information for {esc_user} in zap.  Will attempt kill",
            "Error getting user information for j\u00f6rg in zap.  Will attempt kill",
            "\twithout uid changing.",
            f"@ : {esc_user} on {s.path} because idle",
            f"@ : j\u00f6rg on {u.path} because idle",
            "@: Error in warn--Cannot open /dev/pts/77\\n\\001\\033 for mallory.",
        ))
        # Nothing in the log ever reads as a line of the daemon's own.
        self.assertNotIn("quelld killed.", [line.strip() for line in sandbox.log_lines()])
        self.assertEqual(d.stop(), 1)


class FieldWidthTest(sandbox.SandboxTestCase):
    def test_names_at_and_past_their_widths(self):
        at18 = "a" * 18
        sandbox.add_user(at18)
        sandbox.add_user("mallory")
        sandbox.add_user("carrier")
        full_line = "L" * 32  # fills ut_line: no terminator
        s18 = idle_login(at18)
        # 19 characters: cut to 18, which the password database does not know.
        s19 = idle_login("carrier", utmp_user="c" * 19)
        s32 = idle_login("carrier", utmp_user=b"b" * 32)
        sl = idle_login("carrier")
        sandbox.bind_tty(full_line, sl)
        sandbox.put_utmp(sl.utmp_index, sandbox.UtmpRecord(
            sandbox.USER_PROCESS, "carrier", full_line.encode(), "", int(time.time()) - 600,
            sl.pid))
        sh = idle_login("carrier", host=b"h" * 256)
        d = sandbox.start_daemon(config=POLICY)

        logged_out(self, s18, rf"{at18} on {s18.path} because idle")
        logged_out(self, s19, "c" * 18 + " on")
        logged_out(self, s32, "b" * 18 + " on")
        # The whole line name reaches the open and the process listing.
        logged_out(self, sl, f"carrier on /dev/{full_line} because idle")
        logged_out(self, sh, f"carrier on {sh.path} because idle")
        self.assertTrue(d.alive())
        assert_log_lines(self, line_patterns(
            *(f"Error:  could not get info on supposed user {n * 18}." for n in "cb"),
            *(f"Error getting user information for {n * 18} in zap.  Will attempt kill"
              for n in "cb"),
            "\twithout uid changing.",
            f"@ : {at18} on {s18.path} because idle",
            f"@ : {'c' * 18} on {s19.path} because idle",
            f"@ : {'b' * 18} on {s32.path} because idle",
            f"@ : carrier on /dev/{full_line} because idle",
            f"@ : carrier on {sh.path} because idle",
        ))
        # The user at the width was found: its process was killed as that user.
        self.assertNotIn(f"information for {at18}", sandbox.read_log())


def _snapshot(paths):
    """Contents and times of the given paths (None for a missing one)."""
    shot = {}
    for p in paths:
        try:
            st = os.lstat(p)
        except FileNotFoundError:
            shot[p] = None
            continue
        data = None
        if stat.S_ISREG(st.st_mode):
            with open(p, "rb") as f:
                data = f.read()
        shot[p] = (stat.S_IFMT(st.st_mode), st.st_size, st.st_mtime_ns, st.st_ctime_ns, data)
    return shot


class NotATerminalTest(sandbox.SandboxTestCase):
    def test_lines_that_name_no_terminal_are_never_written(self):
        mallory = sandbox.add_user("mallory")
        sandbox.add_user("alice")
        sandbox.add_user("bystander")
        # Live sessions that a hostile line reaches by a path the daemon must refuse.
        via_dotdot = sandbox.open_pty("bystander")
        via_link = sandbox.open_pty("bystander")
        os.symlink(via_link.path, sandbox.dev_path("link"))
        with open("/tmp/victim", "wb") as f:
            f.write(b"precious\n")
        with open(sandbox.dev_path("regfile"), "wb") as f:
            f.write(b"also precious\n")
        os.mkfifo(sandbox.dev_path("fifo"))
        # Files of mallory's own reach the open, which must refuse them; a line
        # naming what belongs to someone else is a stale record, left alone
        # before anything is opened.
        for p in ("/tmp/victim", "/dev/regfile", "/dev/fifo"):
            os.chown(p, mallory, -1)
        fifo_reader = os.open("/dev/fifo", os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, fifo_reader)
        old = time.time() - 3600
        for p in ("/tmp/victim", "/dev/regfile", "/dev/fifo", "/dev/null", "/dev/zero",
                  "/dev/full", "/dev/tty"):
            os.utime(p, (old, old))
        pwned = "/tmp/pwned"
        lines = [
            # Devices and files that are no terminal, and one that does not exist.
            "null", "zero", "full", "tty", "regfile", "fifo", "pts", "link", "nosuch",
            # Out of /dev, onto a file, the event log, and a live terminal.
            "../tmp/victim", "../var/log/quelld.log", "pts/../" + via_dotdot.line,
            "../tmp/newfile",
            # What a shell or ps would take for more than one name.
            "pts/0;touch " + pwned, "$(touch " + pwned + ")", "`touch " + pwned + "`",
            "pts/0 pts/1", "pts/0,pts/1", "|touch " + pwned,
        ]
        records = [sandbox.UtmpRecord(sandbox.USER_PROCESS, "mallory", line.encode(), "",
                                      int(time.time()) - 600 - i)
                   for i, line in enumerate(lines)]
        sandbox.write_utmp(records)
        watched = ["/tmp/victim", "/dev/regfile", "/dev/fifo", "/dev/null", "/dev/zero",
                   "/dev/full", "/dev/tty", "/dev/pts", "/dev/link", "/dev/nosuch",
                   "/tmp/newfile", pwned, via_dotdot.path, via_link.path]
        before = _snapshot(watched)
        dev_before = sorted(os.listdir("/dev"))
        # The ordinary login after all of them is still logged out.
        alice = idle_login("alice")
        d = sandbox.start_daemon(config=POLICY)

        others = {"null", "zero", "full", "tty", "pts", "link", "../var/log/quelld.log",
                  "pts/../" + via_dotdot.line}
        opened = [line for line in lines if line not in others]
        logged_out(self, alice, rf"alice on {alice.path} because idle")
        sandbox.wait_for_log("Error in warn--Cannot open", count=len(opened))
        sandbox.wait_for_log("stale record", count=len(others))
        # Some more cycles: nothing is tried again, and nothing more logged.
        mark = sandbox.read_log()
        sandbox.wait_scans(3)
        self.assertTrue(d.alive())
        self.assertEqual(sandbox.read_log(), mark)

        assert_log_lines(self, line_patterns(
            *(f"@: Error in warn--Cannot open /dev/{line} for mallory." for line in opened),
            *(f"@ : stale record of mallory on /dev/{line}, left alone" for line in others),
            f"@ : alice on {alice.path} because idle",
        ))
        self.assertEqual(_snapshot(watched), before)
        self.assertEqual(sorted(os.listdir("/dev")), dev_before)
        self.assertEqual(os.read(fifo_reader, 100), b"")  # no writer ever came
        for s in (via_dotdot, via_link):
            self.assertEqual(s.read(timeout=0.5), b"")
            self.assertTrue(s.alive(), f"{s.path} ended: {s.status}\n" + sandbox.read_log())
        self.assertEqual(d.stop(), 1)
