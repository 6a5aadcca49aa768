"""A real system log for end-to-end tests: Debian's rsyslogd on the sandbox's /dev/log.

rsyslogd runs inside the sandbox from the package that scripts/rsyslog-root
unpacks into build/rsyslog-root (``RSYSLOG_ROOT``); nothing is installed on
the host.  It listens on the sandbox's own /dev/log (a tmpfs there) and
writes every message it receives to a file as "facility.severity
tag message", which ``lines`` reads.
"""

import os
import shutil
import socket
import subprocess

import sandbox

RSYSLOG_ROOT = (os.environ.get("QUELLD_RSYSLOG_ROOT")
                or os.path.join(sandbox._REPO, "build/rsyslog-root"))
_LIBS = os.path.join(RSYSLOG_ROOT, "usr/lib", sandbox.multiarch())
_DIR = "/tmp/rsyslog"
SOCKET = "/dev/log"


def missing():
    """Why no rsyslogd can be run here, or None."""
    for path in (os.path.join(RSYSLOG_ROOT, "usr/sbin/rsyslogd"),
                 os.path.join(_LIBS, "rsyslog/imuxsock.so")):
        if not os.path.exists(path):
            return f"{path} is missing (scripts/rsyslog-root unpacks it)"
    return None


class Syslogd:
    """rsyslogd on /dev/log writing to a file of its own; ``close`` ends it."""

    def __init__(self):
        os.makedirs(_DIR)
        self.path = _DIR + "/messages"
        conf = _DIR + "/rsyslog.conf"
        with open(conf, "w") as f:
            f.write(f'global(workDirectory="{_DIR}")\n'
                    # No rate limit: a test counts every message.
                    f'module(load="imuxsock" SysSock.Name="{SOCKET}" SysSock.RateLimit.Interval="0")\n'
                    'template(name="plain" type="string" string="%syslogfacility-text%.'
                    '%syslogseverity-text% %syslogtag%%msg:::sp-if-no-1st-sp%%msg%\\n")\n'
                    f'*.* action(type="omfile" file="{self.path}" template="plain")\n')
        log = open(_DIR + "/rsyslogd.out", "w")
        self.proc = subprocess.Popen(
            [os.path.join(RSYSLOG_ROOT, "usr/sbin/rsyslogd"), "-n", "-f", conf, "-M", _LIBS + "/rsyslog",
             "-i", _DIR + "/rsyslogd.pid"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            env=dict(os.environ, LD_LIBRARY_PATH=_LIBS))
        log.close()
        sandbox.wait_until(lambda: os.path.exists(SOCKET) or self.proc.poll() is not None,
                           what="rsyslogd's socket")
        if self.proc.poll() is not None:
            with open(_DIR + "/rsyslogd.out") as f:
                raise AssertionError(f"rsyslogd ended: {f.read()}")
        # Ready once a message of our own has come through.
        sandbox.wait_until(self._probe, what="rsyslogd to write its first message")

    def _probe(self):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            probe.sendto(b"<13>probe: ready", SOCKET)
        except OSError:  # not listening yet
            return False
        finally:
            probe.close()
        return sandbox.wait_until(lambda: self.lines("probe: ready"), timeout=2,
                                  what="the probe message")

    def lines(self, pattern=None):
        """The messages written so far (those containing ``pattern``, when given)."""
        try:
            with open(self.path, errors="replace") as f:
                out = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [line for line in out if pattern is None or pattern in line]

    def wait_for(self, pattern, count=1):
        """Waits until ``count`` messages contain ``pattern``; returns them."""
        return sandbox.wait_until(
            lambda: (lambda found: found if len(found) >= count else None)(self.lines(pattern)),
            what=f"{count} syslog message(s) with {pattern!r}; have {self.lines()}")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        shutil.rmtree(_DIR, ignore_errors=True)
