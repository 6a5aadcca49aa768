"""What an administrator gets from the build: the staged install, the manual
pages, the service files and the Debian package.

CTest runs each class as a test and sets QUELLD_BUILD_DIR and the
installation directories of that build in the environment.  Whatever writes
outside a temporary directory (the package's dpkg -i and -r, the manual and
unit checks that need the files at their installed paths) runs in a private
mount namespace, with overlay file systems over the directories it writes;
the host's files never change.
"""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QUELLD_BUILD_DIR", "")
PREFIX = os.environ.get("QUELLD_PREFIX", "/usr/local")
SBINDIR = os.environ.get("QUELLD_SBINDIR", PREFIX + "/sbin")
SYSCONFDIR = os.environ.get("QUELLD_SYSCONFDIR", PREFIX + "/etc")
MANDIR = os.environ.get("QUELLD_MANDIR", PREFIX + "/share/man")
OS = os.environ.get("QUELLD_OS", "linux")
CONFDIR = SYSCONFDIR + "/quelld"
SAMPLE = CONFDIR + "/quelld.cf.sample"
VERSION = "quelld version 0.02\n"
PAGES = ("man8/quelld.8", "man8/quelld-check.8", "man5/quelld.cf.5")


def expected_files():
    """The absolute paths of every file the install puts down."""
    files = {SBINDIR + "/quelld", SBINDIR + "/quelld-check", SAMPLE}
    files |= {MANDIR + "/" + p for p in PAGES}
    if OS == "freebsd":
        files |= {SYSCONFDIR + "/rc.d/quelld", SYSCONFDIR + "/newsyslog.conf.d/quelld.conf"}
    else:
        files |= {PREFIX + "/lib/systemd/system/quelld.service", SYSCONFDIR + "/logrotate.d/quelld"}
    return files


def run(*cmd, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run(cmd, text=True, **kwargs)


def stage(destdir):
    """cmake --install of the build into destdir; fails the test on error."""
    r = run("cmake", "--install", BUILD, env=dict(os.environ, DESTDIR=destdir))
    if r.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)


def can_unshare():
    """None when a private mount namespace can be made here, else why not."""
    if os.geteuid() != 0:
        return "needs root for a private mount namespace"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is missing"
    if run("unshare", "--mount", "true").returncode != 0:
        return "cannot make a mount namespace here"
    return None


def in_namespace(script, **env):
    """Runs a shell script in a private mount namespace; returns the CompletedProcess."""
    return run("unshare", "--mount", "--propagation", "private", "sh", "-c", script,
               env=dict(os.environ, **env))


class TempDirTest(unittest.TestCase):
    def setUp(self):
        if not BUILD:
            self.skipTest("QUELLD_BUILD_DIR is not set (run through ctest)")
        self.tmp = tempfile.mkdtemp(prefix="quelld-install-")
        self.addCleanup(shutil.rmtree, self.tmp, True)


class StagedTest(TempDirTest):
    def test_files_and_modes(self):
        dest = os.path.join(self.tmp, "root")
        # An administrator's configuration is there already: it must stay.
        mine = dest + CONFDIR + "/quelld.cf"
        os.makedirs(os.path.dirname(mine))
        with open(mine, "w") as f:
            f.write("timeout default 5\n")
        stage(dest)

        found = set()
        for d, _, names in os.walk(dest):
            found |= {os.path.join(d, n)[len(dest):] for n in names}
        self.assertEqual(found, expected_files() | {CONFDIR + "/quelld.cf"})
        with open(mine) as f:
            self.assertEqual(f.read(), "timeout default 5\n")
        for path in expected_files():
            mode = stat.S_IMODE(os.stat(dest + path).st_mode)
            executable = path.startswith(SBINDIR) or "/rc.d/" in path
            self.assertEqual(mode, 0o755 if executable else 0o644, path)

    def test_installed_programs_accept_the_sample(self):
        dest = os.path.join(self.tmp, "root")
        stage(dest)
        r = run(dest + SBINDIR + "/quelld", "-V")
        self.assertEqual((r.returncode, r.stdout), (0, VERSION))
        # The sample is clean: no problem, no warning.
        r = run(dest + SBINDIR + "/quelld-check", "-f", dest + SAMPLE)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        with open(dest + SAMPLE) as f:
            self.assertNotIn("@", f.read())

    def test_configured_paths(self):
        dest = os.path.join(self.tmp, "root")
        stage(dest)
        for path in expected_files() - {SBINDIR + "/quelld", SBINDIR + "/quelld-check"}:
            with open(dest + path) as f:
                text = f.read()
            self.assertNotIn("@QUELLD", text, path)
        for page in PAGES[:2]:
            with open(dest + MANDIR + "/" + page) as f:
                self.assertIn(CONFDIR + "/quelld.cf", f.read(), page)


class ManLintTest(TempDirTest):
    def test_mandoc_lint_is_clean(self):
        if shutil.which("mandoc") is None:
            self.skipTest("mandoc is not installed")
        dest = os.path.join(self.tmp, "root")
        stage(dest)
        pages = [dest + MANDIR + "/" + p for p in PAGES]
        why = can_unshare()
        if why is None:
            # mandoc looks up the pages named by .Xr in /usr/share/man: show
            # ours there, on an overlay, so that the cross references resolve.
            up, work = os.path.join(self.tmp, "up"), os.path.join(self.tmp, "work")
            for p in PAGES:
                os.makedirs(os.path.join(up, os.path.dirname(p)), exist_ok=True)
                shutil.copy(dest + MANDIR + "/" + p, os.path.join(up, p))
            os.makedirs(work)
            r = run("unshare", "--mount", "--propagation", "private", "sh", "-c",
                    'mount -t overlay overlay -o "lowerdir=/usr/share/man,upperdir=$1,workdir=$2" '
                    '/usr/share/man && shift 2 && exec mandoc -T lint "$@"', "sh", up, work, *pages)
            messages = r.stderr
        else:
            r = run("mandoc", "-T", "lint", *pages)
            messages = "".join(l + "\n" for l in r.stderr.splitlines()
                               if "referenced manual not found: Xr quelld" not in l)
        # A missing database entry for a system page is the host's, not ours.
        messages = "".join(l + "\n" for l in messages.splitlines() if "mandoc.db" not in l)
        self.assertEqual(messages, "")
        if why is None:
            self.assertEqual(r.returncode, 0)


class RcScriptTest(TempDirTest):
    def test_rc_script(self):
        script = os.path.join(BUILD, "dist", "quelld.rc")
        for shell in ("sh", "dash"):
            if shutil.which(shell):
                r = run(shell, "-n", script)
                self.assertEqual((r.returncode, r.stderr), (0, ""), shell)
        with open(script) as f:
            text = f.read()
        # rc.subr's conventions: the variables, the command, its last line.
        for needed in ('name="quelld"', 'rcvar="quelld_enable"', ': ${quelld_enable:="NO"}',
                       ': ${quelld_config:="%s/quelld.cf"}' % CONFDIR,
                       'command="%s/quelld"' % SBINDIR, 'command_args="-f ${quelld_config}"',
                       "quelld_flags", "load_rc_config $name", "# PROVIDE: quelld"):
            self.assertIn(needed, text)
        self.assertTrue(text.rstrip().endswith('run_rc_command "$1"'))


class SystemdUnitTest(TempDirTest):
    def test_unit_verifies(self):
        if OS == "freebsd":
            self.skipTest("no systemd on FreeBSD")
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        why = can_unshare()
        if why:
            self.skipTest(why)
        if not os.path.isdir(SBINDIR):
            self.skipTest(SBINDIR + " does not exist to mount the programs on")
        dest = os.path.join(self.tmp, "root")
        stage(dest)
        unit = dest + PREFIX + "/lib/systemd/system/quelld.service"
        # The unit names the programs and the manual pages at their installed
        # paths: show the staged ones there for the check.
        man = "yes" if shutil.which("man") and os.path.isdir(MANDIR) else "no"
        r = run("unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" "$1" && '
                '{ [ "$4" = no ] || mount --bind "$2" "$3"; } && '
                'exec systemd-analyze verify --man="$4" "$5"',
                dest + SBINDIR, SBINDIR, dest + MANDIR, MANDIR, man, unit)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        with open(unit) as f:
            text = f.read()
        self.assertIn("Type=forking\n", text)
        self.assertIn("ExecStartPre=%s/quelld-check -f ${QUELLD_CONFIG}\n" % SBINDIR, text)


# The package's life in a sandbox: overlays over /usr, /etc and /var take
# every write of dpkg and the maintainer scripts, and an empty /run hides any
# running systemd from them.
PACKAGE_SCRIPT = r"""
T=$WORK/ovl
mount -t tmpfs tmpfs "$T" || exit 90
for d in usr etc var; do
    mkdir -p "$T/$d.up" "$T/$d.work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$T/$d.up,workdir=$T/$d.work" "/$d" || exit 91
done
mount -t tmpfs tmpfs /run || exit 92
report() {
    echo "== $1 $(dpkg-query -W -f='${Status}' quelld 2>/dev/null)"
    for f in $FILES; do [ -e "$f" ] && echo "present $f"; done
}
dpkg -i "$DEB" >"$WORK/dpkg.log" 2>&1; echo "install $?"
report installed
"$SBIN/quelld" -V
"$SBIN/quelld-check" -f "$SAMPLE"; echo "check $?"
dpkg -r quelld >>"$WORK/dpkg.log" 2>&1; echo "remove $?"
report removed
dpkg -P quelld >>"$WORK/dpkg.log" 2>&1; echo "purge $?"
report purged
"""


class PackageTest(TempDirTest):
    def setUp(self):
        super().setUp()
        for tool in ("cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps"):
            if shutil.which(tool) is None:
                self.skipTest(tool + " is not installed")

    def build_package(self):
        r = run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", self.tmp)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        debs = [n for n in os.listdir(self.tmp) if n.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        return os.path.join(self.tmp, debs[0])

    def test_package_builds_installs_and_removes(self):
        deb = self.build_package()
        fields = run("dpkg-deb", "-f", deb, "Package", "Maintainer", "Depends").stdout
        self.assertIn("Package: quelld\n", fields)
        self.assertRegex(fields, r"Maintainer: .+ <.+@.+>\n")
        self.assertNotIn("procps", fields)
        self.assertRegex(fields, r"Depends: .*libc6 \(>= [0-9.]+\)")
        listed = {line.split()[-1][1:] for line in run("dpkg-deb", "-c", deb).stdout.splitlines()
                  if not line.startswith("d")}
        self.assertEqual(listed, expected_files())
        conffiles = run("dpkg-deb", "-I", deb, "conffiles").stdout.split()
        self.assertIn(SAMPLE, conffiles)

        why = can_unshare()
        if why:
            self.skipTest(why)
        if "overlay" not in open("/proc/filesystems").read():
            self.skipTest("no overlay file system")
        host_before = run("dpkg-query", "-W", "quelld").returncode
        existed = {p for p in expected_files() if os.path.lexists(p)}
        os.makedirs(os.path.join(self.tmp, "ovl"))
        files = sorted(expected_files())
        r = in_namespace(PACKAGE_SCRIPT, WORK=self.tmp, DEB=deb, SBIN=SBINDIR, SAMPLE=SAMPLE,
                         FILES=" ".join(files))
        with open(os.path.join(self.tmp, "dpkg.log")) as f:
            dpkg_log = f.read()
        present = lambda: [f"present {f}" for f in files]
        conffile_only = [f"present {f}" for f in files if f == SAMPLE or "/logrotate.d/" in f]
        self.assertEqual(r.stdout.splitlines(), [
            "install 0", "== installed install ok installed", *present(),
            VERSION.strip(), "check 0",
            "remove 0", "== removed deinstall ok config-files", *conffile_only,
            "purge 0", "== purged ",
        ], r.stderr + dpkg_log)
        self.assertEqual(r.stderr, "")
        # The host saw none of it.
        self.assertEqual(run("dpkg-query", "-W", "quelld").returncode, host_before)
        self.assertEqual({p for p in expected_files() if os.path.lexists(p)}, existed)


if __name__ == "__main__":
    unittest.main()
