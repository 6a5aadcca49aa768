"""quelld-check -c: can any login stay idle longer than N minutes?"""

import os
import subprocess
import unittest

import sandbox
from sandbox import CONF_PATH, ago

CHECK_BIN = os.environ.get("QUELLD_CHECK_BIN") or os.path.join(
    os.path.dirname(sandbox.QUELLD_BIN), "quelld-check")

# A sample site: 10 minutes for all, but crew exempt and the console at an hour.
SAMPLE = ("timeout default 10\n"
          "warn 60\n"
          "exempt group crew idle\n"
          "timeout tty console 60\n"
          "timeout login ann 5\n"
          "sleep 60\n")


def compliance(minutes):
    return subprocess.run([CHECK_BIN, "-c", str(minutes)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=sandbox.TIMEOUT, cwd="/")


class ComplianceTest(sandbox.SandboxTestCase):
    def test_names_the_classes_over_the_bound_until_they_are_fixed(self):
        sandbox.add_user("ann")
        sandbox.add_user("sam", groups=("crew",))
        s = sandbox.login("sam", login_time=ago(60))
        sandbox.write_config(SAMPLE)
        r = compliance(15)
        self.assertEqual(r.returncode, 1, r.stderr)
        over = [line for line in r.stdout.splitlines() if line.startswith("over ")]
        self.assertEqual([line.split()[1:3] for line in over],
                         [["group", "crew"], ["tty", "console"], ["login", "sam"]], r.stdout)
        self.assertIn(f"exempt {CONF_PATH}:3: exempt group crew idle", " ".join(over[0].split()))
        self.assertIn(f"60 minutes + 1 minute grace {CONF_PATH}:4: timeout tty console 60",
                      " ".join(over[1].split()))
        self.assertIn(f"ok login ann 5 minutes + 1 minute grace {CONF_PATH}:5: timeout login ann 5",
                      " ".join(r.stdout.split()))
        self.assertTrue(r.stdout.endswith(
            "Yes: 2 of 4 classes and 1 of 1 current logins can stay idle longer than "
            "15 minutes.\n"), r.stdout)
        self.assertEqual(r.stderr, "")

        # The crew get 15 minutes with the grace, the console 10.
        sandbox.write_config(SAMPLE.replace("exempt group crew idle", "timeout group crew 14")
                             .replace("console 60", "console 10"))
        r = compliance(15)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("over ", r.stdout)
        self.assertTrue(r.stdout.endswith(
            "No: 0 of 4 classes and 0 of 1 current logins can stay idle longer than "
            "15 minutes.\n"), r.stdout)


if __name__ == "__main__":
    unittest.main()
