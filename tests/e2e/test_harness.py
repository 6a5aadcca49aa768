"""Checks of the end-to-end harness itself, against independent readers (who, ps, /proc)."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import sandbox


class HarnessTest(sandbox.SandboxTestCase):
    def test_utmp_records_are_read_by_glibc(self):
        long_user = b"u" * 32  # fills the field: no terminator
        sandbox.write_utmp([
            sandbox.UtmpRecord(sandbox.BOOT_TIME, b"reboot", b"~", time=1000),
            sandbox.UtmpRecord(user="alice", line="pts/7", host="example.org", time=1_700_000_000),
            sandbox.UtmpRecord(sandbox.DEAD_PROCESS, line="pts/8"),
            sandbox.UtmpRecord(user=long_user, line=b"pts/9\x07"),
        ])
        who = subprocess.run(["who"], capture_output=True, check=True).stdout.splitlines()
        self.assertEqual(len(who), 2, who)
        self.assertRegex(who[0], rb"^alice +pts/7 +2023-11-1[45] \d\d:\d\d \(example\.org\)$")
        self.assertTrue(who[1].startswith(long_user + b" "), who[1])

        sandbox.end_login(1)
        idx = sandbox.add_login("bob", "pts/8")  # reuses the dead entry of its line
        records = sandbox.read_utmp()
        self.assertEqual(idx, 2)
        self.assertEqual([(r.type, r.user, r.line) for r in records[1:3]],
                         [(sandbox.DEAD_PROCESS, b"", b"pts/7"),
                          (sandbox.USER_PROCESS, b"bob", b"pts/8")])

    def test_pty_process_runs_as_the_test_user(self):
        uid = sandbox.add_user("carol", groups=["staff", "wheel2"])
        _, gid, extra = sandbox.user_ids("carol")
        s = sandbox.login("carol", argv=("sh", "-c", "id -un; exec sleep 100000"))
        s.expect(b"carol\n")
        status = sandbox.proc_status(s.pid)
        self.assertEqual(status["Uid"].split()[0], str(uid))
        self.assertEqual(status["Gid"].split()[0], str(gid))
        self.assertEqual(sorted(map(int, status["Groups"].split())), sorted(extra))
        self.assertEqual(os.stat(s.path).st_rdev, sandbox.proc_stat(s.pid)["tty_nr"])
        ps = subprocess.run(["ps", "-t", s.line, "-o", "pid="], capture_output=True,
                            text=True, check=True)
        self.assertEqual(ps.stdout.split(), [str(s.pid)])

        os.write(os.open(s.path, os.O_WRONLY | os.O_NOCTTY), b"\a\r\nhello\r\n")
        s.expect(b"\a\r\nhello\r\n")  # raw: bytes arrive unchanged
        s.set_idle(600)
        self.assertAlmostEqual(os.stat(s.path).st_atime, os.stat(s.path).st_mtime)
        self.assertGreater(time.time() - os.stat(s.path).st_atime, 599)
        self.assertEqual(s.utmp_index, 0)
        self.assertEqual(sandbox.read_utmp()[0].pid, s.pid)

    def test_nested_run_leaves_its_host_untouched(self):
        # A full scenario run in a sandbox inside this one: what it sees as the
        # host's files are this sandbox's, which must come out unchanged.
        sandbox.add_user("dave")
        sandbox.write_utmp([sandbox.UtmpRecord(user="dave", line="pts/1")])
        with open(sandbox.LOG_PATH, "w") as f:
            f.write("outer log\n")
        before = sandbox.host_fingerprint()
        env = {k: v for k, v in os.environ.items() if k != sandbox.SANDBOX_ENV}
        env["QUELLD_E2E_SCENARIO"] = "1"
        run = subprocess.run([sys.executable, "-m", "unittest", "test_harness.Scenario"],
                             env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("Ran 1 test", run.stderr)
        self.assertNotIn("skipped", run.stderr)
        self.assertEqual(sandbox.host_fingerprint(), before)

    def test_file_replaced_outside_is_never_written(self):
        # As useradd does to /etc/passwd, a program outside renames a new file
        # over a bound target, which drops the bind mount here; the path then
        # shows the host's new file.  Scratch files stand in for /etc's.
        scratch = tempfile.mkdtemp(prefix="quelld-harness-", dir="/var/tmp")
        self.addCleanup(shutil.rmtree, scratch)
        target = scratch + "/passwd"
        with open(target, "w") as f:
            f.write("host 1\n")
        private = sandbox.PrivateFile(target, "private 1\n")
        self.addCleanup(private.release)
        private.write("private 2\n")
        with open(target) as f:
            self.assertEqual(f.read(), "private 2\n")

        def replace_by_rename():
            with open(target + ".new", "w") as f:
                f.write("host 2\n")
            os.rename(target + ".new", target)
        sandbox.on_host(replace_by_rename)

        with self.assertRaisesRegex(sandbox.PrivateFileEscaped, "no longer the private copy"):
            private.write("private 3\n")
        with open(target) as f:  # the path leads to the host's file now
            self.assertEqual(f.read(), "host 2\n")
        self.assertEqual(private.read(), "private 2\n")

        def host_file_untouched():
            with open(target) as f:
                assert f.read() == "host 2\n"
        sandbox.on_host(host_file_untouched)

    def test_private_files_and_mounts_are_checked(self):
        sandbox.check_private()
        sandbox.add_user("fay")
        with open("/etc/passwd") as f:
            self.assertIn("fay:x:", f.read())
        # A mount that is no longer the sandbox's fails the check.
        saved = sandbox._private_mounts["/usr/local/etc"]
        sandbox._private_mounts["/usr/local/etc"] = -1
        try:
            with self.assertRaises(sandbox.PrivateFileEscaped):
                sandbox.write_config("sleep 60\n")
        finally:
            sandbox._private_mounts["/usr/local/etc"] = saved


# Only there for the nested-run test, which asks for it: in any other run it
# would show as a skipped test.
class Scenario(sandbox.SandboxTestCase):
    def test_touch_everything(self):
        sandbox.add_user("erin", groups=["eg"])
        s = sandbox.login("erin", host="remote")
        d = sandbox.start_daemon()
        self.assertEqual(d.stop(), 1)
        s.close()


def load_tests(loader, tests, pattern):
    """The scenario is only for the nested-run test, which names it: in any
    other run it would show as a skipped test."""
    if os.environ.get("QUELLD_E2E_SCENARIO"):
        return tests
    return loader.loadTestsFromTestCase(HarnessTest)

if __name__ == "__main__":
    unittest.main()
