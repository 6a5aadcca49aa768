"""End-to-end test harness: runs the real quelld binary as root in a sandbox.

Importing this module from a test module puts the whole test run inside a
private mount and pid namespace (``unshare --mount --pid --fork --mount-proc``):
the test process becomes pid 1 there, so a detached daemon is reparented to it
and its exit status can be collected with waitpid.  Inside, the paths quelld
touches are private:

* ``/var/log``, ``/run`` (glibc's utmp), ``/usr/local/etc`` (with ``quelld/``)
  and ``/tmp`` are fresh tmpfs mounts, remounted empty before every test;
* ``/dev`` is a tmpfs with the basic device nodes and a private devpts
  instance, so pseudo-terminals opened by a test live only here; a test adds
  entries of its own with ``dev_path`` and ``bind_tty``;
* ``/etc/passwd`` and ``/etc/group`` are private copies of the host's files,
  to which tests add their own users and groups (ids from 61000 on).

Nothing is ever written through a path that could lead back to the host.  A
bind mount is not a wall: when a process outside replaces a bound file by
rename (useradd, vipw, a package adding a system user), the kernel drops the
mount in every other namespace and the path shows the host's new file.  So
the private copies are written only through descriptors opened on the copies
themselves, and before every write (and after every test) ``check_private``
makes sure each private file and mount is still what the sandbox made;
otherwise it fails the test and writes nothing.

The process outside the namespace only waits: it fingerprints the host's files
that quelld could touch before and after the run, and fails the run when any of
them changed.  Without root, or where namespaces cannot be made, the run stays
outside and every ``SandboxTestCase`` is skipped with the reason.

Test modules subclass ``SandboxTestCase``; ``setUp`` resets the sandbox and
every helper below works on the sandbox's files.  All waiting is done by
polling for a condition with a generous timeout, never by fixed sleeps.
"""

import ctypes
import dataclasses
import errno
import fcntl
import hashlib
import os
import re
import resource
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import time
import tty
import unittest

# --- Paths and defaults -------------------------------------------------------

LOG_PATH = "/var/log/quelld.log"
CONF_DIR = "/usr/local/etc/quelld"
CONF_PATH = CONF_DIR + "/quelld.cf"
UTMP_PATH = "/var/run/utmp"

#: A valid configuration that keeps the daemon quietly alive.
DEFAULT_CONFIG = "sleep 60\n"
#: Seconds any wait gives a condition before the test fails.
TIMEOUT = 10.0
#: First uid and gid given to test users and groups.
FIRST_TEST_ID = 61000

_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def multiarch():
    """Debian's name for this machine's library directory (x86_64-linux-gnu ...)."""
    try:
        return subprocess.run(["gcc", "-print-multiarch"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        import sysconfig
        return sysconfig.get_config_var("MULTIARCH") or ""


def required(switch, reason):
    """Skips the calling test for ``reason`` (None: nothing is missing), unless
    the environment variable ``switch`` is 1: then the test must run, and fails."""
    if reason is None:
        return
    if os.environ.get(switch) == "1":
        raise AssertionError(f"{reason} ({switch}=1: this test must run)")
    raise unittest.SkipTest(reason)


def _project_version():
    """The version project() in CMakeLists.txt gives the programs."""
    with open(os.path.join(_REPO, "CMakeLists.txt")) as f:
        return re.search(r"project\(quelld VERSION (\S+)", f.read()).group(1)


VERSION = "quelld version " + _project_version()
QUELLD_BIN = os.environ.get("QUELLD_BIN") or os.path.join(_REPO, "build/default/quelld")

#: Regexes of the 19- and 24-character local-time stamps of the event log.
STAMP19 = (r"(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
           r" [ 123]\d \d\d:\d\d:\d\d")
STAMP24 = STAMP19 + r" \d{4}"

#: Set to "1" in the environment of the sandboxed run.
SANDBOX_ENV = "QUELLD_E2E_SANDBOX"
_TMPFS_DIRS = ("/var/log", "/run", "/usr/local/etc", "/tmp")
_DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty")

skip_reason = None  # why the sandbox could not be entered, when it could not
_libc = ctypes.CDLL(None, use_errno=True)

# --- Entering the sandbox -----------------------------------------------------


def in_sandbox():
    """True in the sandboxed test process (pid 1 of the private namespace)."""
    return os.environ.get(SANDBOX_ENV) == "1" and os.getpid() == 1


def _cannot_sandbox():
    """Returns why this run cannot enter a sandbox, or None when it can."""
    if os.geteuid() != 0:
        return "end-to-end tests must run as root (they mount file systems)"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    probe = subprocess.run(
        ["unshare", "--mount", "--pid", "--fork", "--mount-proc", "true"],
        capture_output=True, text=True)
    if probe.returncode != 0:
        return "cannot create mount and pid namespaces: " + probe.stderr.strip()
    return None


_HOST_FILES = ("/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow", UTMP_PATH, LOG_PATH)
_HOST_DIRS = ("/var/log", "/usr/local/etc")


def host_fingerprints():
    """Hashes of what a test could wrongly change on the host, one per path."""
    prints = {}
    for path in _HOST_FILES:
        try:
            with open(path, "rb") as f:
                prints[path] = hashlib.sha256(f.read()).hexdigest()
        except OSError as e:
            prints[path] = f"error {e.errno}"
    for d in _HOST_DIRS:
        prints[d + "/"] = repr(sorted(os.listdir(d)))
    return prints


def host_fingerprint():
    """One hash of everything ``host_fingerprints`` looks at."""
    return hashlib.sha256(repr(sorted(host_fingerprints().items())).encode()).hexdigest()


def _run_sandboxed():
    """Runs this same command again inside new namespaces; returns its status."""
    before = host_fingerprints()
    # The run inside may act in this mount namespace (see on_host); it gets
    # the namespace as an open descriptor.
    host_ns = os.open("/proc/self/ns/mnt", os.O_RDONLY | os.O_CLOEXEC)
    env = dict(os.environ, **{SANDBOX_ENV: "1", "QUELLD_BIN": QUELLD_BIN,
                              HOST_NS_ENV: str(host_ns)})
    PR_SET_PDEATHSIG = 1
    cmd = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc",
           "--propagation", "private", "--", sys.executable, *sys.orig_argv[1:]]
    # If this waiting process is killed (a test timeout), take the namespace down too.
    rc = subprocess.call(cmd, env=env, pass_fds=(host_ns,),
                         preexec_fn=lambda: _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
    os.close(host_ns)
    after = host_fingerprints()
    changed = [path for path in before if after[path] != before[path]]
    if changed:
        # Also when another program changed them meanwhile: the run cannot
        # tell that from its own doing, and either way the host must be looked at.
        print("sandbox: FAILED: host files changed during the run: " + ", ".join(changed),
              file=sys.stderr)
        rc = rc or 1
    return rc


#: Names the descriptor of the host's mount namespace in the sandboxed run.
HOST_NS_ENV = "QUELLD_E2E_HOST_MNTNS"
CLONE_NEWNS = 0x00020000


def on_host(fn, timeout=TIMEOUT):
    """Runs ``fn()`` in a child that has joined the host's mount namespace.

    For tests of the harness itself, which must act on scratch files as
    another program on the host would.  The child ends with status 0 when
    ``fn`` returns, 1 when it raises (its traceback goes to stderr); a
    failure is raised here as AssertionError.
    """
    fd = int(os.environ[HOST_NS_ENV])
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            if _libc.setns(fd, CLONE_NEWNS) != 0:
                raise OSError(ctypes.get_errno(), "setns to the host's mount namespace")
            fn()
            code = 0
        except BaseException:  # noqa: B036 - reported, then the child ends
            import traceback
            traceback.print_exc()
        finally:
            os._exit(code)
    child = _Child(pid)
    if child.wait_exit(timeout) != 0:
        raise AssertionError(f"on_host: {fn!r} failed in the host's mount namespace")


def enter():
    """Moves the run into the sandbox; called once when this module is imported.

    Outside, it re-runs the same command under unshare and ends this process
    with that run's status; when that is impossible it records ``skip_reason``
    and returns.  Inside, it builds the sandbox's mounts once.
    """
    global skip_reason
    if in_sandbox():
        _build()
        return
    skip_reason = _cannot_sandbox()
    if skip_reason is not None:
        return
    if not os.access(QUELLD_BIN, os.X_OK):
        skip_reason = f"QUELLD_BIN is not an executable: {QUELLD_BIN}"
        return
    sys.stdout.flush()
    sys.stderr.flush()
    # os._exit: unittest's discovery would swallow SystemExit.
    os._exit(_run_sandboxed())


# --- Mounts -------------------------------------------------------------------

MS_RDONLY, MS_REMOUNT, MS_BIND = 1, 32, 4096
MNT_DETACH = 2


def _mount(source, target, fstype, flags=0, data=""):
    if _libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None,
                   ctypes.c_ulong(flags), data.encode()) != 0:
        e = ctypes.get_errno()
        raise OSError(e, f"mount {target}: {os.strerror(e)}")


def _umount(target):
    if _libc.umount2(target.encode(), MNT_DETACH) != 0:
        e = ctypes.get_errno()
        raise OSError(e, f"umount {target}: {os.strerror(e)}")


def remount_readonly(path):
    """Makes one of the sandbox's tmpfs mounts (e.g. /var/log) read-only until the next reset.

    The kernel refuses (EBUSY) while a file there is open for writing, as the
    event log is for the instant the daemon writes a line: try again then.
    """
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            _mount("none", path, None, MS_REMOUNT | MS_RDONLY)
            return
        except OSError as e:
            if e.errno != errno.EBUSY or time.monotonic() > deadline:
                raise
            time.sleep(0.01)


def remount_writable(path):
    """Makes a mount that ``remount_readonly`` made read-only writable again."""
    _mount("none", path, None, MS_REMOUNT)


class PrivateFileEscaped(AssertionError):
    """A private file or mount of the sandbox no longer stands where it was put."""


class PrivateFile:
    """A private copy of a file, bound over ``target`` in the sandbox only.

    The copy lives on a tmpfs of its own that no path reaches once the bind
    is made; it is read and written only through a descriptor opened on it,
    so no write can reach the file that ``target`` names outside, whatever
    happened to the mount.  ``check`` tells whether ``target`` still shows the
    copy (same device and inode); ``write`` checks first and writes nothing
    when it does not.
    """

    def __init__(self, target, text):
        store = f"/tmp/.private-{os.path.basename(target)}-{os.getpid()}-{id(self)}"
        os.mkdir(store, 0o700)
        _mount("tmpfs", store, "tmpfs", 0, "mode=700")
        try:
            copy = store + "/" + os.path.basename(target)
            self.fd = os.open(copy, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
            os.fchmod(self.fd, 0o644)
            os.write(self.fd, text.encode())
            _mount(copy, target, None, MS_BIND)
        finally:
            _umount(store)
            os.rmdir(store)
        self.target = target
        st = os.fstat(self.fd)
        self.identity = (st.st_dev, st.st_ino)

    def check(self):
        """Raises PrivateFileEscaped unless ``target`` still shows the private copy."""
        try:
            st = os.stat(self.target)
            seen = (st.st_dev, st.st_ino)
        except OSError as e:
            seen = f"error {e.errno}"
        if seen != self.identity:
            raise PrivateFileEscaped(
                f"sandbox: {self.target} is no longer the private copy (now {seen}, was "
                f"{self.identity}): it was replaced outside the sandbox, which drops the "
                f"bind mount; nothing was written")

    def write(self, text):
        """Replaces the copy's contents with ``text``, after ``check``."""
        self.check()
        data = text.encode()
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, data, 0)

    def read(self):
        """The copy's contents, read through its descriptor."""
        return os.pread(self.fd, os.fstat(self.fd).st_size, 0).decode()

    def release(self):
        """Removes the bind mount where it still stands and closes the copy."""
        try:
            self.check()
            _umount(self.target)
        except PrivateFileEscaped:
            pass
        os.close(self.fd)


_private_files = []   # PrivateFile: /etc/passwd, /etc/group
_private_mounts = {}  # path -> st_dev of the private mount the sandbox put there


def _note_mount(path):
    _private_mounts[path] = os.stat(path).st_dev


def check_private():
    """Fails the test unless every private file and mount is still in place.

    Called before the harness writes anything and after every test: a mount
    dropped from outside would let the next write reach the host's file.
    """
    for f in _private_files:
        f.check()
    for path, dev in _private_mounts.items():
        try:
            seen = os.stat(path).st_dev
        except OSError as e:
            seen = f"error {e.errno}"
        if seen != dev:
            raise PrivateFileEscaped(f"sandbox: {path} is no longer the sandbox's private "
                                     f"mount (device {seen}, was {dev}); nothing was written")


def bind_mount(source, target):
    """Shows ``source`` at ``target`` (which must exist) until ``unmount(target)``.

    Only the sandbox's mount namespace sees it, so host paths such as /bin/ps
    can be covered; the caller unmounts it (reset does not).
    """
    _mount(source, target, None, MS_BIND)


def unmount(target):
    """Removes a mount made by ``bind_mount``."""
    _umount(target)


_base_passwd = ""
_base_group = ""
_built = False
#: Pseudo-terminal numbers the sandbox keeps for itself (see _build).
RESERVED_PTYS = 64
_reserved_ptys = []


def _build():
    """Builds the sandbox's private mounts once per run (inside the namespace)."""
    global _base_passwd, _base_group, _built
    if _built:
        return
    _built = True
    # glibc's utmp is /var/run/utmp; on Debian /var/run points to /run.
    if os.path.realpath("/var/run") != "/run":
        raise RuntimeError("/var/run does not point to /run; the utmp would not be private")
    _hold_run_dirs()
    devices = {n: os.stat("/dev/" + n) for n in _DEV_NODES}
    _mount("tmpfs", "/dev", "tmpfs", 0, "mode=755")
    for name, st in devices.items():
        os.mknod("/dev/" + name, stat.S_IFCHR, st.st_rdev)
        os.chmod("/dev/" + name, stat.S_IMODE(st.st_mode))
    _note_mount("/dev")
    os.mkdir("/dev/pts", 0o755)
    _mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=620")
    _note_mount("/dev/pts")
    os.symlink("pts/ptmx", "/dev/ptmx")
    # The private devpts instance numbers its terminals from 0, with the same
    # device numbers as the host's.  A root process outside that finds a
    # terminal's processes by device number (ps -t pts/0 in the host's pid
    # namespace) would take a session here for one of its own and kill it, so
    # the low numbers are held open and tests get theirs from RESERVED_PTYS on.
    _reserved_ptys.extend(os.open("/dev/pts/ptmx", os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
                          for _ in range(RESERVED_PTYS))
    os.mkdir("/dev/shm")
    os.chmod("/dev/shm", 0o1777)
    for i, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink(f"/proc/self/fd/{i}", "/dev/" + name)
    os.symlink("/proc/self/fd", "/dev/fd")

    with open("/etc/passwd") as f:
        _base_passwd = f.read()
    with open("/etc/group") as f:
        _base_group = f.read()
    for d in _TMPFS_DIRS:
        _mount_tmpfs(d)
    # /var/run leads to /run (checked above): the utmp's directory.
    _private_mounts["/var/run"] = _private_mounts["/run"]
    _private_files.extend(PrivateFile(path, text) for path, text in
                          (("/etc/passwd", _base_passwd), ("/etc/group", _base_group)))
    _fill_tmpfs()


# Directories of the run itself (the checkout, the binary, the working
# directory) that lie under one of the tmpfs mounts, e.g. a checkout in /tmp:
# held open from before the first mount and bound back after every mount,
# so the tmpfs never hides them.
_kept = {}


def _hold_run_dirs():
    wanted = {_REPO, os.path.dirname(os.path.abspath(QUELLD_BIN)), os.getcwd()}
    for path in sorted(wanted):
        if any(path.startswith(k + "/") for k in _kept):
            continue  # already visible through a kept parent
        if any(path == d or path.startswith(d + "/") for d in _TMPFS_DIRS) and os.path.isdir(path):
            _kept[path] = os.open(path, os.O_PATH | os.O_DIRECTORY)


def _mount_tmpfs(path):
    _mount("tmpfs", path, "tmpfs", 0, "mode=1777" if path == "/tmp" else "mode=755")
    _note_mount(path)
    if path == "/run" and "/var/run" in _private_mounts:
        _private_mounts["/var/run"] = _private_mounts["/run"]
    for kept, fd in _kept.items():
        if kept.startswith(path + "/"):
            os.makedirs(kept, exist_ok=True)
            _mount(f"/proc/self/fd/{fd}", kept, None, MS_BIND)


def _fill_tmpfs():
    check_private()
    os.mkdir(CONF_DIR, 0o755)
    os.close(os.open(UTMP_PATH, os.O_WRONLY | os.O_CREAT | os.O_TRUNC))
    os.chmod(UTMP_PATH, 0o664)


def reset():
    """Brings the sandbox back to its starting state; ``SandboxTestCase.setUp`` calls it.

    Kills every process but the test's own, empties /var/log, /run,
    /usr/local/etc and /tmp (fresh tmpfs, writable again), recreates an
    empty utmp and the configuration directory, and drops the test users.
    """
    kill_all()
    check_private()
    _remove_dev_entries()
    for d in _TMPFS_DIRS:
        _umount(d)
        _mount_tmpfs(d)
    _fill_tmpfs()
    _users.clear()
    _groups.clear()
    _write_accounts()


_dev_entries = []  # top-level names under /dev that tests made
_dev_mounts = []   # terminals bound into /dev by tests


def dev_path(name):
    """Claims /dev/NAME for a test's own node, file, link or directory; returns the path.

    The parent directories of a NAME holding slashes are made; whatever a
    test puts there is removed again by ``reset``.  /dev is not remounted
    between tests, so this is the way to add to it.
    """
    path = "/dev/" + name
    top = name.split("/", 1)[0]
    if top in ("pts", "") or ".." in name.split("/"):
        raise ValueError(f"not a name a test may claim under /dev: {name!r}")
    check_private()
    if top not in _dev_entries:
        _dev_entries.append(top)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    return path


def _remove_dev_entries():
    while _dev_mounts:
        _umount(_dev_mounts.pop())
    while _dev_entries:
        path = "/dev/" + _dev_entries.pop()
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)


def _pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and p != "1"]


def kill_all(timeout=TIMEOUT):
    """Kills every process in the sandbox but pid 1 and reaps them."""
    for s in list(_sessions):
        s.close()
    deadline = time.monotonic() + timeout
    while True:
        pids = _pids()
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _reap_all()
        if not pids:
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"processes left after kill: {pids}")
        time.sleep(0.01)


def _reap_all():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


# --- Waiting ------------------------------------------------------------------


def wait_until(predicate, timeout=TIMEOUT, interval=0.02, what="condition"):
    """Polls ``predicate()`` until it returns something true, and returns that.

    Raises AssertionError naming ``what`` after ``timeout`` seconds.
    """
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def wait_scans(count=2, timeout=TIMEOUT):
    """Waits until the daemon has begun ``count`` more reads of utmp.

    Each pass of the daemon reads utmp once, before its checks; so after
    ``count`` reads at least ``count`` - 1 whole passes ran after the call.
    A read is seen by the file's access time moving past its modification
    time (the mounts use relatime), which this sets back before each wait.
    Nothing else may read utmp meanwhile.
    """
    for n in range(count):
        st = os.stat(UTMP_PATH)
        mark = st.st_mtime_ns - 1_000_000_000
        os.utime(UTMP_PATH, ns=(mark, st.st_mtime_ns))
        wait_until(lambda: os.stat(UTMP_PATH).st_atime_ns > mark, timeout,
                   what=f"read {n + 1} of {count} of {UTMP_PATH} by the daemon")


# --- Event log and configuration ----------------------------------------------


def read_log():
    """The event log's whole text, or '' when there is no log file."""
    try:
        with open(LOG_PATH, encoding="utf-8", errors="surrogateescape") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def log_lines():
    """The event log as a list of lines without their newlines."""
    return read_log().splitlines()


def wait_for_log(pattern, count=1, timeout=TIMEOUT):
    """Waits until the regex ``pattern`` matches ``count`` times in the log.

    The pattern is searched with re.MULTILINE (so ^ and $ anchor lines).
    Returns the list of matches; on timeout raises AssertionError showing the log.
    """
    rx = re.compile(pattern, re.MULTILINE)

    def found():
        m = list(rx.finditer(read_log()))
        return m if len(m) >= count else None

    try:
        return wait_until(found, timeout, what=f"{count} log line(s) matching {pattern!r}")
    except AssertionError as e:
        raise AssertionError(f"{e}; the log is:\n{read_log()}") from None


def parse_stamp(text):
    """Seconds since the epoch of a log stamp (24 characters, or 19 of this year)."""
    if len(text) == 19:
        text += time.strftime(" %Y")
    return time.mktime(time.strptime(text, "%a %b %d %H:%M:%S %Y"))


def write_config(text, path=CONF_PATH, mtime=None):
    """Writes a configuration file and returns its path.

    Its modification time is set to ``mtime`` when given; otherwise it is
    made to move forward by at least a second from the file's previous time,
    so that a running daemon always notices the change.
    """
    check_private()
    try:
        old = os.stat(path).st_mtime
    except FileNotFoundError:
        old = None
    with open(path, "w") as f:
        f.write(text)
    if mtime is None and old is not None and os.stat(path).st_mtime < old + 1:
        mtime = int(old) + 1
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


# --- Users and groups ---------------------------------------------------------

_users = {}   # name -> (uid, gid)
_groups = {}  # name -> [gid, [member names]]


def _next_id(used):
    n = FIRST_TEST_ID
    while n in used:
        n += 1
    return n


def add_group(name, gid=None, members=()):
    """Adds a test group (gid from 61000 on unless given) and returns its gid."""
    if gid is None:
        gid = _next_id({g for g, _ in _groups.values()})
    _groups[name] = [gid, list(members)]
    _write_accounts()
    return gid


def add_user(name, uid=None, group=None, groups=()):
    """Adds a test user and returns its uid.

    ``group`` names its primary group; by default a group of the user's own
    name is made.  ``groups`` lists supplementary groups (made when missing),
    whose member lists get the user, in the order given.
    """
    if group is None:
        group = name
    if group not in _groups:
        add_group(group)
    for g in groups:
        if g not in _groups:
            add_group(g)
        _groups[g][1].append(name)
    if uid is None:
        uid = _next_id({u for u, _ in _users.values()})
    _users[name] = (uid, _groups[group][0])
    _write_accounts()
    return uid


def remove_user(name):
    """Deletes a test user from the password database (its groups stay)."""
    del _users[name]
    _write_accounts()


def _write_accounts():
    passwd, group = _private_files
    check_private()
    passwd.write(_base_passwd + "".join(f"{name}:x:{uid}:{gid}:test user:/:/bin/sh\n"
                                        for name, (uid, gid) in _users.items()))
    group.write(_base_group + "".join(f"{name}:x:{gid}:{','.join(members)}\n"
                                      for name, (gid, members) in _groups.items()))


def user_ids(name):
    """(uid, primary gid, supplementary gids) of a test user."""
    uid, gid = _users[name]
    return uid, gid, [g for g, members in _groups.values() if name in members]


# --- utmp ---------------------------------------------------------------------

EMPTY, RUN_LVL, BOOT_TIME, NEW_TIME, OLD_TIME = 0, 1, 2, 3, 4
INIT_PROCESS, LOGIN_PROCESS, USER_PROCESS, DEAD_PROCESS = 5, 6, 7, 8

# glibc's struct utmpx on x86_64 (384 bytes): type, pid, line[32], id[4],
# user[32], host[256], exit status, session and time as 32-bit values, addr[4].
_UTMP = struct.Struct("<hxxi32s4s32s256shhiii4i20x")
_FIELD_SIZES = {"line": 32, "id": 4, "user": 32, "host": 256}


@dataclasses.dataclass
class UtmpRecord:
    """One utmpx entry.  Text fields take str or raw bytes.

    A bytes value is written unchanged: a value as long as its field (line 32,
    id 4, user 32, host 256) has no terminator, and control characters or
    invalid UTF-8 pass through.  ``time`` is the login time in seconds
    (default: now).  Records read back carry bytes cut at the first NUL.
    """
    type: int = USER_PROCESS
    user: object = ""
    line: object = ""
    host: object = ""
    time: int = None
    pid: int = 0
    id: object = ""
    usec: int = 0

    def pack(self):
        """The record as the 384 bytes of the utmp file."""
        fields = {}
        for name, size in _FIELD_SIZES.items():
            v = getattr(self, name)
            v = v.encode("utf-8", "surrogateescape") if isinstance(v, str) else bytes(v)
            if len(v) > size:
                raise ValueError(f"utmp {name} longer than its {size} bytes: {v!r}")
            fields[name] = v
        t = int(time.time()) if self.time is None else self.time
        return _UTMP.pack(self.type, self.pid, fields["line"], fields["id"], fields["user"],
                          fields["host"], 0, 0, 0, t, self.usec, 0, 0, 0, 0)

    @classmethod
    def unpack(cls, data):
        """The record held in 384 bytes of the utmp file."""
        t, pid, line, id_, user, host, _, _, _, sec, usec, *_ = _UTMP.unpack(data)
        cut = lambda b: b.split(b"\0", 1)[0]
        return cls(t, cut(user), cut(line), cut(host), sec, pid, cut(id_), usec)


def read_utmp():
    """All records of the sandbox's utmp, in file order."""
    with open(UTMP_PATH, "rb") as f:
        data = f.read()
    n = len(data) // _UTMP.size
    return [UtmpRecord.unpack(data[i * _UTMP.size:(i + 1) * _UTMP.size]) for i in range(n)]


def write_utmp(records):
    """Replaces the whole utmp with ``records`` (the daemon sees them in this order).

    The file is rewritten in place under a write lock, as glibc locks it for
    reading, so a running daemon never reads a half-written record.
    """
    check_private()
    fd = os.open(UTMP_PATH, os.O_RDWR | os.O_CREAT, 0o664)
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX)
        os.pwrite(fd, b"".join(r.pack() for r in records), 0)
        os.ftruncate(fd, len(records) * _UTMP.size)
    finally:
        os.close(fd)


def put_utmp(index, record):
    """Writes ``record`` at position ``index`` (0-based; one past the end appends)."""
    records = read_utmp()
    if index > len(records):
        raise IndexError(f"utmp has {len(records)} records, cannot write at {index}")
    records[index:index + 1] = [record]
    write_utmp(records)


def remove_utmp(index):
    """Deletes the record at ``index``; the records after it move up one place."""
    records = read_utmp()
    del records[index]
    write_utmp(records)


def add_login(user, line, host="", login_time=None, pid=0):
    """Records a USER_PROCESS login and returns its index.

    Like a login program, it reuses the entry of the same line when there is
    one (e.g. the dead entry of an earlier login), otherwise appends.
    """
    records = read_utmp()
    key = line.encode() if isinstance(line, str) else line
    index = next((i for i, r in enumerate(records) if r.line == key), len(records))
    put_utmp(index, UtmpRecord(USER_PROCESS, user, line, host, login_time, pid,
                               key[-4:]))
    return index


def end_login(index):
    """Turns the entry at ``index`` into a DEAD_PROCESS, as logout(3) does."""
    records = read_utmp()
    r = records[index]
    put_utmp(index, UtmpRecord(DEAD_PROCESS, b"", r.line, b"", int(time.time()), 0, r.id))


# --- Processes ----------------------------------------------------------------


def proc_stat(pid):
    """State, ppid, pgrp, session and tty_nr of a process, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    comm = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return {"comm": comm, "state": fields[0], "ppid": int(fields[1]),
            "pgrp": int(fields[2]), "session": int(fields[3]), "tty_nr": int(fields[4])}


def proc_status(pid):
    """The fields of /proc/PID/status as a dict of strings."""
    with open(f"/proc/{pid}/status") as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


class _Child:
    """A process the test process may wait for (it is pid 1's child)."""

    def __init__(self, pid):
        self.pid = pid
        self.status = None  # exit status once reaped; -N when killed by signal N

    def _poll(self):
        if self.status is None:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                raise AssertionError(f"pid {self.pid} is not a child of the test process")
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status

    def alive(self):
        """True while the process runs; reaps it once it has ended."""
        return self._poll() is None

    def signal(self, sig):
        """Sends a signal to the process."""
        os.kill(self.pid, sig)

    def wait_exit(self, timeout=TIMEOUT):
        """Waits for the process to end; returns its exit status (-N: killed by signal N)."""
        wait_until(lambda: not self.alive(), timeout, what=f"pid {self.pid} to exit")
        return self.status


class Daemon(_Child):
    """A detached quelld.  ``started`` is the CompletedProcess of the command that started it."""

    def __init__(self, pid, started):
        super().__init__(pid)
        self.started = started

    def fds(self):
        """Sorted numbers of the daemon's open file descriptors."""
        return sorted(int(fd) for fd in os.listdir(f"/proc/{self.pid}/fd"))

    def ignored_signals(self):
        """The set of signal numbers the daemon ignores (SigIgn)."""
        mask = int(proc_status(self.pid)["SigIgn"], 16)
        return {n for n in range(1, 65) if mask >> (n - 1) & 1}

    def stop(self, timeout=TIMEOUT):
        """Sends SIGTERM and returns the exit status."""
        self.signal(signal.SIGTERM)
        return self.wait_exit(timeout)


def run_quelld(*args, timeout=TIMEOUT, **kwargs):
    """Runs quelld with ``args`` and waits for the started process (not a detached daemon).

    Standard input is /dev/null; standard output and error are captured as
    text.  Extra keyword arguments go to subprocess.run (cwd, umask,
    pass_fds, stderr=subprocess.STDOUT ...).  Returns the CompletedProcess.
    A daemon that kept the output pipes open would make this time out.
    """
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run([QUELLD_BIN, *args], stdin=subprocess.DEVNULL, text=True,
                          timeout=timeout, **kwargs)


def find_daemons():
    """Pids of the detached quelld processes (running or ended, not yet reaped)."""
    comm = os.path.basename(QUELLD_BIN)[:15]
    found = []
    for pid in _pids():
        try:
            st = proc_stat(pid)
        except OSError:  # ended meanwhile
            continue
        if st["comm"] == comm and st["ppid"] == 1:
            found.append(pid)
    return sorted(found)


def start_daemon(*args, config=DEFAULT_CONFIG, **kwargs):
    """Writes ``config`` (unless None), starts quelld with ``args`` and returns its Daemon.

    Fails the test when the starting process does not exit 0 or no new
    detached daemon appears.  A daemon that ended at once (e.g. on a bad
    configuration) is still found and can be waited for.
    """
    if config is not None:
        write_config(config)
    before = set(find_daemons())
    started = run_quelld(*args, **kwargs)
    if started.returncode != 0:
        raise AssertionError(f"quelld {args} exited {started.returncode}: {started.stderr}")
    new = sorted(set(find_daemons()) - before)
    if not new:
        raise AssertionError(f"quelld {args} exited 0 but no detached daemon was found")
    return Daemon(new[0], started)


# --- Pseudo-terminals ---------------------------------------------------------

_sessions = []


def tty_gid():
    """The gid of the 'tty' group, or 0."""
    for line in _base_group.splitlines():
        parts = line.split(":")
        if parts[0] == "tty":
            return int(parts[2])
    return 0


def set_tty_times(path, atime=None, mtime=None):
    """Sets a terminal's access (last input) and modification (last output) times.

    Times default to now.  Linux updates them itself on reads and writes, in
    steps of 8 seconds, so tests set them explicitly to simulate typing or idleness.
    """
    now = time.time()
    os.utime(path, (now if atime is None else atime, now if mtime is None else mtime))


def bind_tty(name, session):
    """Makes /dev/NAME another name of ``session``'s terminal and returns the path.

    A bind mount of the pty onto /dev/NAME (e.g. "console"): a device node
    made with mknod would not do, as Linux opens a pty's slave only through
    its devpts file.  ``reset`` undoes it.
    """
    path = dev_path(name)
    with open(path, "w"):
        pass
    _mount(session.path, path, None, MS_BIND)
    _dev_mounts.append(path)
    return path


class PtySession(_Child):
    """A process running as a test user on its own pseudo-terminal.

    ``path`` is the terminal's device (/dev/pts/N), ``line`` its utmp line
    (pts/N), ``master`` the test's end; ``output`` accumulates what was read.
    ``utmp_index`` is set by ``login``.
    """

    def __init__(self, pid, master, path, user):
        super().__init__(pid)
        self.master, self.path, self.user = master, path, user
        self.line = path[len("/dev/"):]
        self.output = b""
        self.utmp_index = None

    def read(self, timeout=TIMEOUT, until=None):
        """Reads what arrives on the terminal until ``until`` is in the output or ``timeout``.

        ``until`` is bytes or a compiled bytes regex, searched in all output
        read so far; without it, reads for the whole timeout.  Stops early
        when the terminal has no process left.  Returns all output so far.
        """
        deadline = time.monotonic() + timeout

        def done():
            if until is None:
                return False
            return until in self.output if isinstance(until, bytes) else until.search(self.output)

        while not done():
            left = deadline - time.monotonic()
            if left <= 0 or self.master < 0:
                break
            if select.select([self.master], [], [], left)[0]:
                try:
                    data = os.read(self.master, 65536)
                except OSError as e:
                    if e.errno != errno.EIO:  # EIO: the slave side was closed
                        raise
                    data = b""
                if not data:
                    break
                self.output += data
        return self.output

    def expect(self, until, timeout=TIMEOUT):
        """Like read, but fails the test when ``until`` does not arrive."""
        out = self.read(timeout, until)
        if not (until in out if isinstance(until, bytes) else until.search(out)):
            raise AssertionError(f"{until!r} did not arrive on {self.path}; got {out!r}")
        return out

    def set_idle(self, seconds):
        """Makes the terminal look untouched (no input, no output) for ``seconds``."""
        t = time.time() - seconds
        set_tty_times(self.path, t, t)

    def close(self):
        """Kills the process, reaps it and closes the master side."""
        if self.alive():
            try:
                self.signal(signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.wait_exit()
        if self.master >= 0:
            os.close(self.master)
            self.master = -1
        if self in _sessions:
            _sessions.remove(self)


SLEEP = ("sleep", "100000")


def _become(ids, argv, env, nproc):
    """In a forked child: drops to ``ids`` (uid, gid, groups) and runs argv."""
    os.closerange(3, 1024)
    if nproc is not None:
        resource.setrlimit(resource.RLIMIT_NPROC, (nproc, nproc))
    uid, gid, groups = ids
    os.setgroups(list(groups))
    os.setgid(gid)
    os.setuid(uid)
    if env is None:
        os.execvp(argv[0], list(argv))
    os.execvpe(argv[0], list(argv), env)


def spawn_session(terminal, ids, argv=SLEEP, env=None, members=(), nproc=None,
                  members_from_pid=None):
    """Forks the leader of a new session on ``terminal`` (a path, opened as the
    controlling terminal, or an open descriptor of a slave made one), with its
    standard streams on it, running ``argv`` as ``ids`` (uid, gid, groups).

    Before it runs argv the leader starts each of ``members`` ((ids, argv,
    ignore SIGHUP) each) in its session, on the same terminal; with
    ``members_from_pid`` they take pids from there up.  ``nproc`` caps each
    one's processes (RLIMIT_NPROC).  Returns the leader's pid and the
    members', in that order, once all have been started.  The one place the
    harness forks onto a terminal as a user.
    """
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.setsid()
            if isinstance(terminal, int):
                fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
                fd = terminal
            else:
                fd = os.open(terminal, os.O_RDWR)
            for n in (0, 1, 2):
                os.dup2(fd, n)
            if members_from_pid is not None:
                with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                    f.write(str(members_from_pid))
            for m_ids, m_argv, ignore_hup in members:
                child = os.fork()
                if child == 0:
                    os.close(w)
                    if ignore_hup:
                        signal.signal(signal.SIGHUP, signal.SIG_IGN)
                    _become(m_ids, m_argv, env, nproc)
                os.write(w, b"%d\n" % child)
            os.close(w)
            _become(ids, argv, env, nproc)
        finally:
            os._exit(127)
    os.close(w)
    with os.fdopen(r) as f:
        return [pid] + [int(line) for line in f]


def open_pty(user, argv=SLEEP, raw=True, ids=None):
    """Starts ``argv`` as test user ``user`` on a new pseudo-terminal; returns a PtySession.

    The process is a session leader with the terminal as its controlling
    terminal and standard input, output and error, running with the user's
    uid, primary gid and supplementary groups.  The terminal is owned by the
    user, group tty, mode 0620, like after a real login.  With ``raw`` the
    terminal passes bytes unchanged (no CR added before LF, no echo).
    ``ids`` gives (uid, gid, supplementary gids) of a user the test did not
    add (e.g. one of a directory).
    """
    ids = ids or user_ids(user)
    master, slave = os.openpty()
    path = os.ttyname(slave)
    if raw:
        tty.setraw(slave)
    os.chown(path, ids[0], tty_gid())
    os.chmod(path, 0o620)
    env = {"PATH": "/usr/bin:/bin", "HOME": "/", "USER": user, "LOGNAME": user, "TERM": "dumb"}
    pid = spawn_session(slave, ids, argv, env=env)[0]
    os.close(slave)
    s = PtySession(pid, master, path, user)
    _sessions.append(s)
    return s


def login(user, host="", login_time=None, argv=("sleep", "100000"), ids=None):
    """Opens a pty session for ``user`` and records it in utmp as a login.

    Returns the PtySession, with ``utmp_index`` set.  ``ids`` as for open_pty.
    """
    s = open_pty(user, argv, ids=ids)
    s.utmp_index = add_login(user, s.line, host, login_time, s.pid)
    return s


# --- What quelld writes on terminals ---------------------------------------------

#: How every warning begins, before its 19-character time stamp.
WARNING_PREFIX = b"\a\r\n\r\n\r\n\r\n"
#: The logout notice: 29 characters and their terminating NUL, 30 bytes.
LOGOUT_NOTICE = b"\n\n\aLogged out by the system.\n\0"


def ago(seconds):
    """The time ``seconds`` ago, in whole seconds: a login time or device time in the past."""
    return int(time.time()) - seconds


def because(user, path, reason):
    """A regex of the event-log line of a forced logout."""
    return rf"^{STAMP19} : {re.escape(user)} on {re.escape(path)} because {reason}$"


def warning_rx(body):
    """A bytes regex of a whole warning: prefix, time stamp (group 1), ``body`` as given."""
    return re.compile(re.escape(WARNING_PREFIX) + b"(" + STAMP19.encode() + b")" +
                      re.escape(body))


# --- Test case ------------------------------------------------------------------


class SandboxTestCase(unittest.TestCase):
    """Base class of end-to-end tests: skipped outside the sandbox, reset before each test."""

    @classmethod
    def setUpClass(cls):
        if not in_sandbox():
            raise unittest.SkipTest(skip_reason or "not inside the test sandbox")

    def setUp(self):
        reset()
        self.addCleanup(check_private)
        self.addCleanup(kill_all)


enter()
