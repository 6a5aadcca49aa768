"""Soak: the real quelld, 500 logins with churn, for a long run (default 10 minutes).

Run as root:  python3 tests/soak/soak.py [--minutes 10] [--report FILE]
(after building: cmake --preset default && cmake --build --preset default).
Not part of the test suite.  It runs in the same private sandbox as the
end-to-end tests (tests/e2e/sandbox.py): nothing on the host is touched.

The 500 slots of the login database are all in use, each slot always held by
the same test user, one login after another:

  active    typing now and then; ends by itself after a while, then logs in again
  idle      never types: warned, logged out ("idle"), logs in again later
  exempt    never types, but exempt from the idle limit; ends by itself
  session   logged in long ago: warned, logged out ("session"), again later
  refused   refused at once ("refused"), again later

Beside them run processes that must never be touched: processes of the same
users on no terminal, and sessions on terminals that are not in the login
database.  The configuration is rewritten every few seconds (so it is read
again and every login's policy resolved again).  Like a login program, the
driver turns a login's entry into a dead one as soon as the logout notice
reaches its terminal.

At the end it checks that every login that was to be logged out was logged
out exactly once (one log line, one notice) with the right reason, that no
other login and no bystander was touched, that the event log holds nothing
unexpected, and that the daemon's memory and descriptor count stayed flat.
Exit status 0 when all held.
"""

import argparse
import collections
import errno
import os
import random
import re
import select
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import sandbox  # noqa: E402  (moves this run into the sandbox)
from sandbox import STAMP19, STAMP24  # noqa: E402

SLOTS = 500
KINDS = ([("active", 300), ("idle", 100), ("exempt", 60), ("session", 38), ("refused", 2)])
REASON = {"idle": "idle", "session": "session", "refused": "refused"}
NOTICE = b"Logged out by the system."

BECAUSE = re.compile(rf"^({STAMP19}) : (\S+) on (/dev/\S+) because (\w+)$")
ALLOWED = [re.compile(p) for p in (
    rf"^{STAMP24}  {re.escape(sandbox.VERSION)} started\.$",
    rf"^{STAMP19}   Reading in configuration file\.$",
    rf"^{STAMP24}  quelld killed\.$",
)]


def policy(serial):
    # Rules are emptied and made again at every read; the tty rule matches no
    # terminal and only changes from read to read.
    return ("# soak configuration, version %d\n"
            "timeout default 1\nwarn 2\nsleep 5\n"
            "threshold session 1\nsession group soaksess 1\n"
            "exempt group soakexempt idle\n"
            "refuse group soakrefused\n"
            "timeout tty nosuch%d 7\n" % (serial, serial % 3))


class Login:
    """One login of a slot's user, from its start to its end."""

    def __init__(self, slot, kind, user, session, start, login_time):
        self.slot, self.kind, self.user, self.session = slot, kind, user, session
        self.start, self.login_time = start, login_time
        self.notices = 0          # logout notices read from its terminal
        self.lines = []           # reasons of the log lines crediting it
        self.ended_by_driver = False
        self.death = None         # exit status once reaped
        self.dead_entry = False   # its utmp entry is a dead one
        self.end_at = None        # for kinds that end by themselves
        self.next_type = None     # next time it "types"


class Soak:
    def __init__(self, minutes, seed):
        self.minutes = minutes
        self.rand = random.Random(seed)
        self.kind_of = []
        for kind, n in KINDS:
            self.kind_of += [kind] * n
        assert len(self.kind_of) == SLOTS
        self.current = [None] * SLOTS       # the slot's login, or None between logins
        self.restart_at = [0.0] * SLOTS
        self.last_login_time = [0] * SLOTS
        self.logins = []                    # every login, in order
        self.by_pid = {}
        self.by_fd = {}
        self.by_user = collections.defaultdict(list)
        self.records = []
        self.log_offset = 0
        self.log_rest = b""
        self.unexpected = []
        self.samples = []                   # (seconds, VmRSS kB, VmHWM kB, fds)
        self.bystanders = {}                # pid -> description
        self.bystander_deaths = []
        self.config_serial = 0
        self.poll = select.poll()
        self.warnings = 0
        self.fd_notes = []
        self.drain = 0.0

    # --- setup ---------------------------------------------------------------

    def users(self):
        for g in ("soakexempt", "soaksess", "soakrefused"):
            sandbox.add_group(g)
        group_of = {"exempt": ["soakexempt"], "session": ["soaksess"], "refused": ["soakrefused"]}
        for slot, kind in enumerate(self.kind_of):
            sandbox.add_user(f"s{slot:03d}", groups=group_of.get(kind, ()))

    def start_bystanders(self):
        # Processes of login users on no terminal, and sessions on terminals
        # the login database does not list: none may be touched.
        for slot in range(0, SLOTS, 25):
            user = f"s{slot:03d}"
            uid, gid, groups = sandbox.user_ids(user)
            pid = os.fork()
            if pid == 0:
                try:
                    os.setsid()
                    os.setgroups(groups)
                    os.setgid(gid)
                    os.setuid(uid)
                    os.execvp("sleep", ["sleep", "100000"])
                finally:
                    os._exit(127)
            self.bystanders[pid] = f"{user} on no terminal"
        for slot in range(5, SLOTS, 100):
            s = sandbox.open_pty(f"s{slot:03d}")
            self.bystanders[s.pid] = f"s{slot:03d} on unlisted {s.path}"
            self.poll.register(s.master, select.POLLIN)
            self.by_fd[s.master] = None

    # --- logins --------------------------------------------------------------

    def begin(self, slot, now):
        kind = self.kind_of[slot]
        user = f"s{slot:03d}"
        s = sandbox.open_pty(user)
        login_time = int(now) - (120 if kind == "session" else self.rand.randint(0, 30))
        # A login is known by its user and login time: the slot's next login
        # must not look like the one before it.
        login_time = max(login_time, self.last_login_time[slot] + 1)
        self.last_login_time[slot] = login_time
        if kind in ("idle", "exempt"):
            s.set_idle(120)
        else:
            s.set_idle(self.rand.randint(0, 20))
        login = Login(slot, kind, user, s, now, login_time)
        if kind in ("active", "exempt"):
            login.end_at = now + self.rand.uniform(20, 180)
        if kind in ("active", "session", "refused"):
            login.next_type = now + self.rand.uniform(5, 20)
        self.current[slot] = login
        self.logins.append(login)
        self.by_pid[s.pid] = login
        self.by_fd[s.master] = login
        self.by_user[user].append(login)
        self.poll.register(s.master, select.POLLIN)
        self.records[slot] = sandbox.UtmpRecord(sandbox.USER_PROCESS, user, s.line, "",
                                                login_time, s.pid, s.line[-4:])
        return True

    def kill_dead_entry(self, login):
        if not login.dead_entry:
            login.dead_entry = True
            r = self.records[login.slot]
            self.records[login.slot] = sandbox.UtmpRecord(
                sandbox.DEAD_PROCESS, b"", r.line, b"", int(time.time()), 0, r.id)
            return True
        return False

    def finish(self, login, now):
        """Releases a login once it is over: its terminal is closed, its slot free."""
        s = login.session
        if s.master >= 0:
            try:
                self.poll.unregister(s.master)
            except KeyError:
                pass  # already hung up
            del self.by_fd[s.master]
            os.close(s.master)
            s.master = -1
        if s in sandbox._sessions:
            sandbox._sessions.remove(s)
        self.current[login.slot] = None
        # A refusal holds the daemon for its pause: refused users come rarely.
        delay = (30, 60) if login.kind == "refused" else (2, 15)
        self.restart_at[login.slot] = now + self.rand.uniform(*delay)

    # --- the loop ------------------------------------------------------------

    def read_terminals(self):
        for fd, _ in self.poll.poll(50):
            try:
                data = os.read(fd, 65536)
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                data = b""
            login = self.by_fd.get(fd)
            if login is None:
                continue
            s = login.session
            s.output = (s.output + data)[-4096:] if data else s.output
            self.warnings += data.count(b"will be logged out") + data.count(b"terminated")
            login.notices += data.count(NOTICE)
            if not data:
                # Nothing more will come; stop polling a hung-up master.
                self.poll.unregister(fd)
                self.by_fd[fd] = None

    def reap(self, now):
        changed = False
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return changed
            if pid == 0:
                return changed
            code = os.waitstatus_to_exitcode(status)
            if pid in self.bystanders:
                self.bystander_deaths.append((self.bystanders[pid], code))
                continue
            login = self.by_pid.pop(pid, None)
            if login is None:
                continue
            login.death = code
            login.session.status = code
            changed |= self.kill_dead_entry(login)

    def read_log(self):
        try:
            with open(sandbox.LOG_PATH, "rb") as f:
                f.seek(self.log_offset)
                data = f.read()
        except FileNotFoundError:
            return
        self.log_offset += len(data)
        data = self.log_rest + data
        *lines, self.log_rest = data.split(b"\n")
        for raw in lines:
            line = raw.decode(errors="replace")
            m = BECAUSE.match(line)
            if m is None:
                if not any(p.match(line) for p in ALLOWED):
                    self.unexpected.append(line)
                continue
            _, user, tty, reason = m.groups()
            # The user's latest login that started before the line and is
            # not yet credited; with one login per slot at a time this is
            # exact.
            candidates = [lg for lg in self.by_user.get(user, ())
                          if lg.session.path == tty and not lg.lines]
            if not candidates:
                self.unexpected.append(line + "   <- no login left to credit")
                continue
            candidates[0].lines.append(reason)

    def sample(self, d, t0):
        try:
            st = sandbox.proc_status(d.pid)
            # Between passes the daemon holds only its standard input; a pass
            # holds the login database open while it scans (warning children
            # included), and the configuration, the log or a child's pipe for
            # a moment.  Counted: what stays open but the login database, the
            # least of a few looks.
            counts = []
            for _ in range(5):
                open_now = []
                for fd in d.fds():
                    try:
                        open_now.append(os.readlink(f"/proc/{d.pid}/fd/{fd}"))
                    except OSError:
                        pass
                counts.append(len([t for t in open_now if t != "/run/utmp"]))
                time.sleep(0.01)
            fds = min(counts)
            if fds > 1:
                self.fd_notes.append(open_now)
        except OSError:
            return
        rss = int(st["VmRSS"].split()[0])
        hwm = int(st["VmHWM"].split()[0])
        self.samples.append((round(time.monotonic() - t0), rss, hwm, fds))

    def run(self, report):
        sandbox.reset()
        self.users()
        self.records = [sandbox.UtmpRecord(sandbox.DEAD_PROCESS, b"", f"soak{i}", b"",
                                           int(time.time()), 0, b"")
                        for i in range(SLOTS)]
        now = time.time()
        for slot in range(SLOTS):
            self.begin(slot, now)
        sandbox.write_utmp(self.records)
        self.start_bystanders()
        d = sandbox.start_daemon(config=policy(0))
        print(f"quelld {d.pid} started with {SLOTS} logins", flush=True)
        t0 = time.monotonic()
        end = t0 + self.minutes * 60
        last_sample = last_config = last_print = 0.0
        self.sample(d, t0)
        while True:
            mono = time.monotonic()
            now = time.time()
            draining = mono >= end
            changed = self.reap(now)
            self.read_terminals()
            self.read_log()
            for login in [lg for lg in self.current if lg is not None]:
                s = login.session
                # A login program notices the hang-up: the entry goes dead at once.
                if login.notices and not login.dead_entry:
                    changed |= self.kill_dead_entry(login)
                if login.death is None and login.end_at is not None and now >= login.end_at:
                    login.ended_by_driver = True
                    try:
                        os.kill(s.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    login.end_at = None
                if login.death is None and login.next_type is not None and \
                        now >= login.next_type and not login.notices:
                    sandbox.set_tty_times(s.path)
                    login.next_type = now + self.rand.uniform(5, 20)
                # Over once its process is gone and, when the daemon logged it
                # out, its log line is in (until then its terminal number
                # must not go to a new login: the logout may still be listing it).
                if login.death is not None and (login.ended_by_driver or login.lines):
                    changed |= self.kill_dead_entry(login)
                    self.finish(login, now)
            if not draining:
                for slot in range(SLOTS):
                    if self.current[slot] is None and now >= self.restart_at[slot]:
                        changed |= self.begin(slot, now)
            if changed:
                sandbox.write_utmp(self.records)
            if mono - last_config >= 4:
                self.config_serial += 1
                sandbox.write_config(policy(self.config_serial))
                last_config = mono
            if mono - last_sample >= 10:
                self.sample(d, t0)
                last_sample = mono
            if mono - last_print >= 60:
                done = sum(1 for lg in self.logins if lg.lines)
                print(f"{round(mono - t0):5d}s  logins {len(self.logins)}  logged out {done}  "
                      f"rss {self.samples[-1][1]} kB  fds {self.samples[-1][3]}", flush=True)
                last_print = mono
            if not d.alive():
                break
            if draining:
                pending = [lg for lg in self.current if lg is not None and
                           lg.kind in REASON and not lg.lines]
                if not pending or mono > end + 60:
                    self.drain = mono - end
                    break
        self.finished = time.time()
        self.sample(d, t0)
        self.reap(time.time())  # a bystander that died is reaped here
        alive = d.alive()
        status = d.stop() if alive else d.status
        self.read_log()
        return self.verdict(alive, status, report, time.monotonic() - t0)

    # --- verdict -------------------------------------------------------------

    def verdict(self, alive, status, report, elapsed):
        problems = []
        if not alive:
            problems.append(f"the daemon ended during the run (status {status})")
        judged = collections.Counter()
        by_kind = collections.Counter()
        for lg in self.logins:
            by_kind[lg.kind] += 1
            want = REASON.get(lg.kind)
            if want is not None and lg.death is None and not lg.lines and not lg.notices:
                if lg.start < self.finished - 60:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}) not logged out "
                                    f"{self.finished - lg.start:.0f} s after its login")
                continue  # started too late to be acted on before the end
            judged[lg.kind] += 1
            if want is None:
                if lg.lines or lg.notices:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}) was logged out: "
                                    f"{lg.lines}, {lg.notices} notices")
                if lg.death is not None and not lg.ended_by_driver:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}) died: {lg.death}")
            else:
                if lg.lines != [want]:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}): log lines "
                                    f"{lg.lines}, expected one '{want}'")
                if lg.notices != 1:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}): "
                                    f"{lg.notices} notices")
                if lg.death is None:
                    problems.append(f"{lg.user} on {lg.session.path} ({lg.kind}) still runs")
        for who, code in self.bystander_deaths:
            problems.append(f"bystander {who} died: {code}")
        problems += [f"unexpected log line: {line!r}" for line in self.unexpected]

        s = self.samples
        warm = [x for x in s if x[0] >= 60] or s
        rss_first, rss_last = warm[0][1], s[-1][1]
        fds = sorted({x[3] for x in s if x[0] >= 10})
        if rss_last > rss_first + 256:
            problems.append(f"VmRSS grew from {rss_first} kB to {rss_last} kB")
        if len(fds) != 1:
            problems.append(f"descriptor counts seen: {fds}")

        out = []
        out.append(f"soak: {elapsed / 60:.1f} minutes ({self.drain:.0f} s of them for the last "
                   f"logouts due), {SLOTS} slots, "
                   f"{len(self.logins)} logins "
                   f"({', '.join(f'{k} {by_kind[k]}' for k, _ in KINDS)})")
        out.append("logged out: " + ", ".join(
            f"{r} {sum(1 for lg in self.logins if lg.lines == [r])}" for r in REASON.values()))
        out.append(f"warnings read on terminals: {self.warnings}; "
                   f"configuration rewritten {self.config_serial} times; "
                   f"bystanders {len(self.bystanders)}")
        out.append(f"daemon VmRSS kB: start {s[0][1]}, after 1 min {rss_first}, end {rss_last}, "
                   f"max {max(x[1] for x in s)}; VmHWM end {s[-1][2]}; descriptors {fds}")
        out.append(f"samples (s, VmRSS kB, VmHWM kB, fds): {s}")
        out.append(f"descriptors seen open in a pass: {self.fd_notes[:5]}")
        out.append(f"problems: {len(problems)}")
        out += ["  " + p for p in problems[:50]]
        text = "\n".join(out) + "\n"
        print(text, end="")
        if report:
            with open(report, "w") as f:
                f.write(text)
        return 0 if not problems else 1


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--minutes", type=float, default=10)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--report", help="also write the summary to this file")
    args = p.parse_args()
    if not sandbox.in_sandbox():
        print("soak: cannot enter the sandbox:", sandbox.skip_reason, file=sys.stderr)
        return 1
    try:
        return Soak(args.minutes, args.seed).run(args.report)
    finally:
        sandbox.kill_all(timeout=60)


if __name__ == "__main__":
    sys.exit(main())
