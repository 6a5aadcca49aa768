"""What an administrator gets from the build: the staged install, the manual
pages, the service files and the Debian package.

CTest runs each class as a test and sets QUELLD_BUILD_DIR and the
installation directories of that build in the environment.  Whatever writes
outside a temporary directory (the package's dpkg -i and -r, the manual and
unit checks that need the files at their installed paths) runs in a private
mount namespace, with overlay file systems over the directories it writes;
the host's files never change.
"""

import gzip
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QUELLD_BUILD_DIR", "")
SOURCE = os.environ.get("QUELLD_SOURCE_DIR", "")
PREFIX = os.environ.get("QUELLD_PREFIX", "/usr/local")
SBINDIR = os.environ.get("QUELLD_SBINDIR", PREFIX + "/sbin")
SYSCONFDIR = os.environ.get("QUELLD_SYSCONFDIR", PREFIX + "/etc")
MANDIR = os.environ.get("QUELLD_MANDIR", PREFIX + "/share/man")
LAYOUT = os.environ.get("QUELLD_LAYOUT", "linux")
CONFDIR = SYSCONFDIR + "/quelld"
SAMPLE = CONFDIR + "/quelld.cf.sample"
VERSION = "quelld version %s\n" % os.environ.get("QUELLD_VERSION", "")
PAGES = ("man8/quelld.8.gz", "man8/quelld-check.8.gz", "man5/quelld.cf.5.gz")
#: A maintainer as a site would name itself, for the package builds.
MAINTAINER = "quelld CI <ci@quelld.invalid>"


def expected_files(prefix=PREFIX, sysconfdir=SYSCONFDIR, layout=LAYOUT):
    """The absolute paths of every file the install puts down."""
    sbin, mandir = prefix + "/sbin", prefix + "/share/man"
    files = {sbin + "/quelld", sbin + "/quelld-check", sysconfdir + "/quelld/quelld.cf.sample"}
    files |= {mandir + "/" + p for p in PAGES}
    if layout == "freebsd":
        files |= {sysconfdir + "/rc.d/quelld", sysconfdir + "/newsyslog.conf.d/quelld.conf"}
    else:
        files |= {prefix + "/lib/systemd/system/quelld.service", sysconfdir + "/logrotate.d/quelld"}
    return files


def read_text(path):
    """A file's text, a compressed manual page's uncompressed."""
    with (gzip.open(path, "rt") if path.endswith(".gz") else open(path)) as f:
        return f.read()


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
            self.assertNotIn("@QUELLD", read_text(dest + path), path)
        for page in PAGES[:2]:
            self.assertIn(CONFDIR + "/quelld.cf", read_text(dest + MANDIR + "/" + page), page)
        # Compressed as gzip -9n: no name or time in the header, so that the
        # same page makes the same file.
        for page in PAGES:
            with open(dest + MANDIR + "/" + page, "rb") as f:
                header = f.read(10)
            self.assertEqual((header[:4], header[4:8], header[8]), (b"\x1f\x8b\x08\x00", bytes(4), 2),
                             page)


class ManLintTest(TempDirTest):
    def test_mandoc_lint_is_clean(self):
        if shutil.which("mandoc") is None:
            self.skipTest("mandoc is not installed")
        dest = os.path.join(self.tmp, "root")
        stage(dest)
        # mandoc reads only the first of several compressed pages right:
        # lint them uncompressed.
        pages = []
        for p in PAGES:
            pages.append(os.path.join(self.tmp, os.path.basename(p)[:-3]))
            with open(pages[-1], "w") as f:
                f.write(read_text(dest + MANDIR + "/" + p))
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
        if LAYOUT == "freebsd":
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
# running systemd from them.  After the purge, whatever the overlays still
# hold under quelld's name was left behind.
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
/usr/sbin/quelld -V
/usr/sbin/quelld-check -f /etc/quelld/quelld.cf.sample; echo "check $?"
dpkg -r quelld >>"$WORK/dpkg.log" 2>&1; echo "remove $?"
report removed
dpkg -P quelld >>"$WORK/dpkg.log" 2>&1; echo "purge $?"
report purged
for d in usr etc var; do
    (cd "$T/$d.up" && find . -name '*quelld*') | sed "s|^\.|left /$d|"
done
"""

#: What the Debian package installs: the Linux layout under /usr, and the
#: copyright file and changelog that every Debian package carries.
PACKAGE_FILES = expected_files("/usr", "/etc", "linux") | {
    "/usr/share/doc/quelld/copyright", "/usr/share/doc/quelld/changelog.gz"}


class PackageTest(unittest.TestCase):
    """The package as the package preset builds it (prefix /usr), in a tree
    of its own, whatever the build tree that runs the test."""

    @classmethod
    def setUpClass(cls):
        if not SOURCE:
            raise unittest.SkipTest("QUELLD_SOURCE_DIR is not set (run through ctest)")
        if os.environ.get("QUELLD_SANITIZE"):
            raise unittest.SkipTest("the package is built without sanitizers, by the release run")
        for tool in ("cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps", "gzip"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(tool + " is not installed")
        cls.tmp = tempfile.mkdtemp(prefix="quelld-package-")
        tree = os.path.join(cls.tmp, "build")
        for cmd in (["cmake", "--preset", "package", "-B", tree, "-DQUELLD_MAINTAINER=" + MAINTAINER],
                    ["cmake", "--build", tree, "-j", "2"],
                    ["cpack", "--config", os.path.join(tree, "CPackConfig.cmake"), "-B", cls.tmp]):
            r = run(*cmd, cwd=SOURCE)
            if r.returncode != 0:
                shutil.rmtree(cls.tmp, True)
                raise AssertionError(" ".join(cmd) + " failed:\n" + r.stdout + r.stderr)
        cls.deb = os.path.join(cls.tmp, "quelld_%s_amd64.deb" % VERSION.split()[-1])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def test_lintian_is_clean(self):
        if shutil.which("lintian") is None:
            if os.environ.get("QUELLD_NEED_LINTIAN"):
                self.fail("lintian is not installed")
            self.skipTest("lintian is not installed")
        r = run("lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", self.deb)
        tags = [l for l in r.stdout.splitlines() if not l.startswith(("I:", "P:", "X:", "N:"))]
        self.assertEqual((tags, r.returncode), ([], 0), r.stdout + r.stderr)

    def test_metadata(self):
        fields = run("dpkg-deb", "-f", self.deb, "Package", "Version", "Maintainer", "Depends").stdout
        self.assertIn("Package: quelld\nVersion: %s\n" % VERSION.split()[-1], fields)
        self.assertIn("Maintainer: %s\n" % MAINTAINER, fields)
        self.assertNotIn("procps", fields)
        self.assertRegex(fields, r"Depends: .*libc6 \(>= [0-9.]+\)")
        listed = {line.split()[-1][1:] for line in run("dpkg-deb", "-c", self.deb).stdout.splitlines()
                  if not line.startswith("d")}
        self.assertEqual(listed, PACKAGE_FILES)
        conffiles = run("dpkg-deb", "-I", self.deb, "conffiles").stdout.split()
        self.assertEqual(conffiles, ["/etc/quelld/quelld.cf.sample", "/etc/logrotate.d/quelld"])
        # The licence's text, in Debian's form, and the newest NEWS entry,
        # signed by the maintainer, head the two documents.
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.deb], capture_output=True,
                             check=True).stdout
        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["tar", "-x", "-C", unpacked], input=tar, check=True)
            copyright_text = read_text(unpacked + "/usr/share/doc/quelld/copyright")
            changelog = read_text(unpacked + "/usr/share/doc/quelld/changelog.gz")
        with open(os.path.join(SOURCE, "LICENSE")) as f:
            clause = f.read().split("\n\n")[3]
        self.assertIn("License: BSD-2-clause\n", copyright_text)
        self.assertIn("\n .\n " + clause.replace("\n", "\n ") + "\n .\n", copyright_text)
        self.assertRegex(changelog, r"^quelld \(%s\) unstable; urgency=medium\n\n  \* " %
                         re.escape(VERSION.split()[-1]))
        self.assertRegex(changelog, r"\n -- %s  [A-Z][a-z]{2}, \d+ [A-Z][a-z]{2} \d{4} 00:00:00 \+0000\n\n"
                         % re.escape(MAINTAINER))

    def test_installs_and_purges_without_a_trace(self):
        why = can_unshare()
        if why:
            self.skipTest(why)
        with open("/proc/filesystems") as f:
            if "overlay" not in f.read():
                self.skipTest("no overlay file system")
        work = tempfile.mkdtemp(prefix="quelld-dpkg-")
        self.addCleanup(shutil.rmtree, work, True)
        host_before = run("dpkg-query", "-W", "quelld").returncode
        existed = {p for p in PACKAGE_FILES if os.path.lexists(p)}
        os.makedirs(os.path.join(work, "ovl"))
        files = sorted(PACKAGE_FILES)
        r = in_namespace(PACKAGE_SCRIPT, WORK=work, DEB=self.deb, FILES=" ".join(files))
        with open(os.path.join(work, "dpkg.log")) as f:
            dpkg_log = f.read()
        present = [f"present {f}" for f in files]
        conffile_only = ["present /etc/logrotate.d/quelld", "present /etc/quelld/quelld.cf.sample"]
        self.assertEqual(r.stdout.splitlines(), [
            "install 0", "== installed install ok installed", *present,
            VERSION.strip(), "check 0",
            "remove 0", "== removed deinstall ok config-files", *conffile_only,
            "purge 0", "== purged ",
        ], r.stderr + dpkg_log)
        self.assertEqual(r.stderr, "")
        # The host saw none of it.
        self.assertEqual(run("dpkg-query", "-W", "quelld").returncode, host_before)
        self.assertEqual({p for p in PACKAGE_FILES if os.path.lexists(p)}, existed)


PORT = os.path.join(SOURCE, "dist", "freebsd", "port")


def port_makefile():
    """The port Makefile's variables, continued lines joined."""
    with open(os.path.join(PORT, "Makefile")) as f:
        text = f.read().replace("\\\n", " ")
    return dict(re.findall(r"^([A-Z_]+)=\s*(.*?)\s*$", text, re.M))


class PortTest(unittest.TestCase):
    """The FreeBSD port against the install rules it builds with."""

    def setUp(self):
        if not SOURCE:
            self.skipTest("QUELLD_SOURCE_DIR is not set (run through ctest)")
        self.tmp = tempfile.mkdtemp(prefix="quelld-port-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_plist_lists_what_the_port_stages(self):
        # The tree the port configures, at the ports' prefix, built without
        # optimisation: only the installed file names count here.
        tree, dest = os.path.join(self.tmp, "build"), os.path.join(self.tmp, "stage")
        args = port_makefile()["CMAKE_ARGS"].split()
        for cmd in (["cmake", "-S", SOURCE, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
                     "-DCMAKE_INSTALL_PREFIX=/usr/local", *args],
                    ["cmake", "--build", tree, "-j", "2"]):
            r = run(*cmd)
            self.assertEqual(r.returncode, 0, " ".join(cmd) + "\n" + r.stdout + r.stderr)
        r = run("cmake", "--install", tree, env=dict(os.environ, DESTDIR=dest))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        staged = set()
        for d, _, names in os.walk(dest):
            staged |= {os.path.join(d, n)[len(dest + "/usr/local/"):] for n in names}

        listed = []
        with open(os.path.join(PORT, "pkg-plist")) as f:
            for line in f.read().splitlines():
                keyword, _, path = line.rpartition(" ")
                self.assertIn(keyword, ("", "@sample"), line)
                self.assertEqual(keyword == "@sample", path.endswith(".sample"), line)
                listed.append(path)
        self.assertEqual(sorted(set(listed)), sorted(staged))
        self.assertEqual(len(listed), len(staged), "a file is listed twice")

    def test_makefile_and_rc_script(self):
        variables = port_makefile()
        self.assertEqual(variables["PORTVERSION"], VERSION.split()[-1])
        self.assertEqual(variables["USE_RC_SUBR"], "quelld")
        self.assertEqual(variables["LICENSE"], "BSD2CLAUSE")
        self.assertIn("cmake", variables["USES"].split())
        self.assertIn("compiler:c++20-lang", variables["USES"].split())
        # USE_RC_SUBR's copy is the project's script with the ports' PREFIX.
        with open(os.path.join(SOURCE, "dist", "freebsd", "quelld.in")) as f:
            ours = f.read()
        with open(os.path.join(PORT, "files", "quelld.in")) as f:
            port = f.read()
        self.assertEqual(port, ours.replace("@QUELLD_SBIN@", "%%PREFIX%%/sbin")
                         .replace("@QUELLD_CONF@", "%%PREFIX%%/etc/quelld/quelld.cf"))


if __name__ == "__main__":
    unittest.main()
