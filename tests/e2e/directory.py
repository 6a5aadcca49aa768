"""A real directory for end-to-end tests: OpenLDAP's slapd and the nslcd name-service client.

Both run inside the sandbox, from the Debian packages that scripts/ldap-root
unpacks into build/ldap-root (``LDAP_ROOT``); nothing is installed on the
host.  slapd serves only a private socket under /run; nslcd answers the
name service through its socket /run/nslcd/socket and reads /etc/nslcd.conf,
which it sees in a mount namespace of its own with a tmpfs on /etc.  While a
``Directory`` is open, the sandbox's /etc/nsswitch.conf is a private copy
that asks "files" then "ldap" for users and groups; programs find the
name-service module through ``env()``.  Enumeration is off, as sssd's and
most large directories' default: a walk of the group database sees only the
local groups.
"""

import os
import shutil
import subprocess

import sandbox

LDAP_ROOT = os.environ.get("QUELLD_LDAP_ROOT") or os.path.join(sandbox._REPO, "build/ldap-root")
SUFFIX = "dc=test"
_SOCKET = "/run/quelld-slapd"
_URI = "ldapi://" + _SOCKET.replace("/", "%2F")
_LIBS = ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu")
_DIR = "/tmp/ldap"


def missing():
    """Why no directory can be run here, or None."""
    for rel in ("usr/sbin/slapd", "usr/sbin/nslcd", "lib/x86_64-linux-gnu/libnss_ldap.so.2"):
        if not os.path.exists(os.path.join(LDAP_ROOT, rel)):
            return f"{LDAP_ROOT}/{rel} is missing (scripts/ldap-root unpacks it)"
    return None


def env(**extra):
    """An environment in which glibc finds the unpacked LDAP name-service module."""
    paths = [os.path.join(LDAP_ROOT, d.lstrip("/")) for d in _LIBS]
    return dict(os.environ, LD_LIBRARY_PATH=":".join(paths), **extra)


def _ldif(users, groups):
    out = [f"dn: {SUFFIX}\nobjectClass: dcObject\nobjectClass: organization\no: test\ndc: test\n",
           f"dn: ou=people,{SUFFIX}\nobjectClass: organizationalUnit\nou: people\n",
           f"dn: ou=groups,{SUFFIX}\nobjectClass: organizationalUnit\nou: groups\n"]
    for name, (uid, gid) in users.items():
        out.append(f"dn: uid={name},ou=people,{SUFFIX}\nobjectClass: account\n"
                   f"objectClass: posixAccount\ncn: {name}\nuid: {name}\nuidNumber: {uid}\n"
                   f"gidNumber: {gid}\nhomeDirectory: /\nloginShell: /bin/sh\n")
    for name, (gid, members) in groups.items():
        out.append(f"dn: cn={name},ou=groups,{SUFFIX}\nobjectClass: posixGroup\ncn: {name}\n"
                   f"gidNumber: {gid}\n" + "".join(f"memberUid: {m}\n" for m in members))
    return "\n".join(out)


class Directory:
    """slapd with ``users`` ({name: (uid, gid)}) and ``groups`` ({name: (gid, [members])}),
    nslcd, and the sandbox's name service asking both; ``close`` ends them.
    With ``enumerate`` the directory lists its users and groups to a walk."""

    def __init__(self, users, groups, enumerate=False):
        self.users, self.groups = users, groups
        self._procs = []
        self._nsswitch = None
        os.makedirs(_DIR + "/db")
        schema = os.path.join(LDAP_ROOT, "etc/ldap/schema")
        conf = _DIR + "/slapd.conf"
        with open(conf, "w") as f:
            f.write("".join(f"include {schema}/{s}.schema\n" for s in ("core", "cosine", "nis")))
            f.write(f"sizelimit unlimited\nmodulepath {LDAP_ROOT}/usr/lib/ldap\nmoduleload back_mdb\n"
                    f"pidfile {_DIR}/slapd.pid\n"
                    f"database mdb\nmaxsize 16777216\nsuffix \"{SUFFIX}\"\n"
                    f"rootdn \"cn=admin,{SUFFIX}\"\ndirectory {_DIR}/db\n"
                    "index objectClass,uid,memberUid,cn,uidNumber,gidNumber eq\n")
        with open(_DIR + "/data.ldif", "w") as f:
            f.write(_ldif(users, groups))
        slapd = os.path.join(LDAP_ROOT, "usr/sbin/slapd")
        run = subprocess.run([os.path.join(LDAP_ROOT, "usr/sbin/slapadd"), "-q", "-f", conf,
                              "-l", _DIR + "/data.ldif"], env=env(), capture_output=True,
                             text=True)
        if run.returncode != 0:
            raise AssertionError(f"slapadd failed: {run.stderr}")
        self._start([slapd, "-d", "0", "-f", conf, "-h", _URI], "slapd")
        sandbox.wait_until(lambda: os.path.exists(_SOCKET), what="slapd's socket")

        os.makedirs("/run/nslcd", exist_ok=True)
        with open(_DIR + "/nslcd.conf", "w") as f:
            f.write(f"uri {_URI}\nbase {SUFFIX}\n")
            if not enumerate:
                f.write("nss_disable_enumeration yes\n")
        # nslcd reads only /etc/nslcd.conf, which the host need not have: it
        # gets an /etc of its own.  Its libraries are then found without
        # /etc/ld.so.cache, through the library path.
        self._start(["unshare", "--mount", "--", "sh", "-c",
                     "mount -t tmpfs -o mode=755 none /etc && "
                     f"cp {_DIR}/nslcd.conf /etc/nslcd.conf && "
                     f"exec {LDAP_ROOT}/usr/sbin/nslcd -n"], "nslcd",
                    env=dict(env(), LD_LIBRARY_PATH=":".join(
                        list(_LIBS) + [os.path.join(LDAP_ROOT, d.lstrip("/")) for d in _LIBS])))
        sandbox.wait_until(lambda: os.path.exists("/run/nslcd/socket"), what="nslcd's socket")
        self._nsswitch = sandbox.PrivateFile(
            "/etc/nsswitch.conf", "passwd: files ldap\ngroup: files ldap\nshadow: files\n")

    def _start(self, argv, name, env=None):
        log = open(f"{_DIR}/{name}.log", "w")
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             env=env or globals()["env"]())
        log.close()
        self._procs.append(p)

    def getent(self, *args):
        """getent's output lines with the directory in the name service."""
        run = subprocess.run(["getent", *args], env=env(), capture_output=True, text=True)
        return run.stdout.splitlines()

    def close(self):
        if self._nsswitch is not None:
            self._nsswitch.release()
            self._nsswitch = None
        for p in self._procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        self._procs.clear()
        shutil.rmtree(_DIR, ignore_errors=True)
