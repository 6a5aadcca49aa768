"""Group rules for users and groups of a real directory (slapd, nslcd), with enumeration off."""

import os
import subprocess
import unittest

import directory
import sandbox

# Directory users: dora is a student; dirk is a student and lab staff.
USERS = {"dora": (63001, 63001), "dirk": (63002, 63002)}
GROUPS = {"dora": (63001, []), "dirk": (63002, []),
          "students": (63100, ["dora", "dirk"]), "labstaff": (63101, ["dirk"])}
CONFIG = ("timeout group students 1\n"
          "exempt group labstaff idle\n"
          "warn 60\n"
          "sleep 60\n")


class DirectoryUserTest(sandbox.SandboxTestCase):
    def setUp(self):
        sandbox.required("QUELLD_E2E_NEED_LDAP", directory.missing())
        super().setUp()
        self.dir = directory.Directory(USERS, GROUPS)
        self.addCleanup(self.dir.close)

    def ids(self, user):
        uid, gid = USERS[user]
        return uid, gid, [g for g, members in GROUPS.values() if user in members]

    def test_group_rules_apply_to_directory_users(self):
        # The name service knows the directory's groups by name, but a walk
        # of the group database does not list them.
        self.assertEqual(self.dir.getent("group", "students")[0][:len("students:*:63100:")],
                         "students:*:63100:")
        self.assertFalse([g for g in self.dir.getent("group") if g.startswith("students:")])

        # dirk first: the pass that warns dora has already judged him.
        dirk = sandbox.login("dirk", login_time=sandbox.ago(3600), ids=self.ids("dirk"))
        dora = sandbox.login("dora", login_time=sandbox.ago(3600), ids=self.ids("dora"))
        for s in (dora, dirk):
            s.set_idle(600)
        sandbox.start_daemon(config=CONFIG, env=directory.env())
        dora.expect(b"This terminal has been idle 1 minutes.")
        self.assertEqual(dirk.read(timeout=0.5), b"")

        check = os.path.join(os.path.dirname(sandbox.QUELLD_BIN), "quelld-check")
        r = subprocess.run([check, "-u", "dirk", "-l", dirk.line], env=directory.env(),
                           capture_output=True, text=True, timeout=sandbox.TIMEOUT, cwd="/")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("  groups          dirk(63002) students(63100) labstaff(63101)\n", r.stdout)
        self.assertIn(f"{sandbox.CONF_PATH}:2: exempt group labstaff idle", r.stdout)


if __name__ == "__main__":
    unittest.main()
