#!/usr/bin/env python3
"""Whole-process benchmark: the real quelld beside autolog, on the same workload.

Each daemon runs in a sandbox of its own (tests/e2e/sandbox.py: private mount
and pid namespace, /dev with a private devpts, /run utmp, /var/log, users),
with N logins on real pseudo-terminals, each owned by its own test user with
a process on it.  Typing is simulated by moving the terminals' access times.
The policy is the same for all: idle 1 minute, 30 seconds of grace, a
60-second cycle.  autolog runs twice: as its daemon, which polls every 60
seconds, and run once every 5 seconds in its "ordinary" mode (-o), which is
how a 5-second poll is had from it.

Scenarios:
  steady     nobody is idle; measured over a window of whole minutes that
             starts 30 seconds after the daemon did (start-up left out).
  deadlines  500 logins; ten stop typing at the same second and five more at
             staggered times; each must be warned and logged out.  Its due
             time is the last input plus 60 + 30 seconds.

Figures per daemon: CPU seconds per hour of the daemon and the children it
reaped (/proc/PID/schedstat for its own time, which is exact, plus
cutime+cstime from /proc/PID/stat; for the -o runs the rusage of each run),
wake-ups per minute (voluntary context switches; for the -o runs, their sum
plus one per run started), peak RSS (VmHWM; ru_maxrss for the -o runs), and
for the deadlines each logout's time minus its due time.

The three daemons of one scenario run at the same time, each in its own
sandbox, so that they see the same machine load; CPU time is the daemon's own
and does not depend on what else runs.  Run as root; never run by CTest.

    sudo python3 bench/whole_process.py                # everything, ~20 minutes
    sudo python3 bench/whole_process.py --quick        # a short trial run
    sudo python3 bench/whole_process.py --scenario steady --logins 500

autolog comes from the Debian package, unpacked into build/autolog (its
maintainer scripts, which add system users for cron and a mail server, are
not run; nothing of the host changes).  Results go to build/whole_process/.
"""

import argparse
import glob
import json
import os
import platform as host_platform
import shutil
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
OUT_DIR = os.path.join(REPO, "build", "whole_process")
AUTOLOG_DIR = os.path.join(REPO, "build", "autolog")
AUTOLOG_BIN = os.path.join(AUTOLOG_DIR, "root", "usr", "sbin", "autolog")
QUELLD_BIN = os.environ.get("QUELLD_BIN") or os.path.join(REPO, "build", "default", "quelld")

QUELLD_CONFIG = "timeout default 1\nwarn 30\nsleep 60\n"
# The same policy for autolog: every login 1 minute idle, 30 seconds of
# grace with a warning, no mail, and no killing of processes it takes for
# lost (test users have ids above its range anyway).
AUTOLOG_CONFIG = "nolostkill\nidle=1 grace=30 warn nomail log\n"

IDLE, GRACE = 60, 30
FIRST_ID = 71000        # uid and gid of the first benchmark user
TOUCH_EVERY = 10        # seconds between simulated keystrokes on active terminals
TICK = 0.05             # the job's polling step, seconds
CLK_TCK = os.sysconf("SC_CLK_TCK")
DAEMONS = ("quelld", "autolog60", "autolog5")


# --- Inside the sandbox ---------------------------------------------------------


def proc_sample(pid):
    """CPU seconds (own, exact; reaped children, by clock tick), voluntary
    context switches and VmHWM (KiB) of a live process."""
    with open(f"/proc/{pid}/schedstat") as f:
        own = int(f.read().split()[0]) / 1e9
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    children = (int(fields[13]) + int(fields[14])) / CLK_TCK
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            status[k] = v.strip()
    return {"own": own, "children": children,
            "vcsw": int(status["voluntary_ctxt_switches"]),
            "hwm_kib": int(status["VmHWM"].split()[0])}


def find_process(comm):
    """The pid of the detached process called comm (parent: this pid 1)."""
    for p in os.listdir("/proc"):
        if not p.isdigit() or p == "1":
            continue
        try:
            with open(f"/proc/{p}/stat") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        ppid = int(text.rsplit(")", 1)[1].split()[1])
        if name == comm and ppid == 1:
            return int(p)
    return None


class OrdinaryRuns:
    """autolog -o started every 5 seconds, as a loop or a timer would: the
    next run starts 5 seconds after the last one started, or when it ends if
    it took longer.  A run forks and leaves the work to its child, which this
    process (pid 1 of the sandbox) inherits: every autolog process that ends
    is reaped here, so that its processor time is counted."""

    def __init__(self, argv, session_pids):
        self.argv = argv
        self.sessions = session_pids
        self.current = None     # (pid, start time) of the run last started
        self.next_start = 0.0
        self.starts = []        # start times of the runs
        self.reaped = []        # (time, cpu, vcsw, maxrss KiB) of each autolog process
        self.longest = []       # (start, seconds) of each run's first process

    def reap(self, now):
        """Reaps the autolog processes that have ended (never a session's)."""
        while True:
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                return
            if info is None or info.si_pid in self.sessions:
                return
            pid, _, ru = os.wait4(info.si_pid, 0)
            self.reaped.append((now, ru.ru_utime + ru.ru_stime, ru.ru_nvcsw, ru.ru_maxrss))
            if self.current is not None and pid == self.current[0]:
                self.longest.append((self.current[1], now - self.current[1]))
                self.current = None

    def step(self, now):
        self.reap(now)
        if self.current is None and now >= self.next_start:
            pid = os.posix_spawn(self.argv[0], self.argv, {"PATH": "/usr/bin:/bin"},
                                 file_actions=[(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                                               (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
                                               (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)])
            self.current = (pid, now)
            self.starts.append(now)
            self.next_start = now + 5

    def totals(self, start, end):
        """Figures of the processes reaped in [start, end) and the runs started then."""
        inside = [r for r in self.reaped if start <= r[0] < end]
        runs = sum(1 for t in self.starts if start <= t < end)
        return {"cpu": sum(r[1] for r in inside),
                "wakeups": sum(r[2] for r in inside) + runs,
                "hwm_kib": max((r[3] for r in self.reaped), default=0),
                "runs": runs, "processes": len(inside),
                "longest_run_s": max((r[1] for r in self.longest if start <= r[0] < end),
                                     default=0.0)}


def run_job(job):
    """One daemon, one scenario, in this sandbox.  Returns the result dict."""
    import sandbox

    sandbox.reset()
    # autolog -o keeps its state under /var/lib/autolog: a private one.
    if not os.path.ismount("/var/lib"):
        sandbox._mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755")
    shutil.rmtree("/var/lib/autolog", ignore_errors=True)
    os.makedirs("/var/lib/autolog")

    daemon, n = job["daemon"], job["logins"]
    t_setup = time.time()
    sessions = []
    users = [f"w{i:03d}" for i in range(n)]
    # Ids well away from the 61000 on that tests use, so that nothing done
    # for another test user elsewhere on the machine reaches these sessions.
    for i, u in enumerate(users):
        sandbox.add_group(u, gid=FIRST_ID + i)
        sandbox.add_user(u, uid=FIRST_ID + i, group=u)
    # All logins at once into utmp (one write), as a busy host would have them.
    records = []
    for u in users:
        s = sandbox.open_pty(u)
        s.utmp_index = len(records)
        records.append(sandbox.UtmpRecord(sandbox.USER_PROCESS, u, s.line, "", int(time.time()) - 600,
                                          s.pid, s.line.encode()[-4:]))
        sessions.append(s)
    sandbox.write_utmp(records)
    for s in sessions:
        os.set_blocking(s.master, False)
    setup_s = time.time() - t_setup

    def touch(ss, t):
        for s in ss:
            os.utime(s.path, (t, t))

    active = list(sessions)
    touch(active, time.time())

    # Who stops typing, and when (seconds after the daemon's start).
    stops = {}
    if job["scenario"] == "deadlines":
        for i in range(10):
            stops[sessions[i]] = job["first_stop"]
        for k, extra in enumerate(job["staggered"]):
            stops[sessions[10 + k]] = extra

    ordinary = None
    if daemon == "quelld":
        sandbox.write_config(QUELLD_CONFIG)
        started = sandbox.run_quelld()
        if started.returncode != 0:
            raise RuntimeError(f"quelld did not start: {started.stderr}")
        t0 = time.time()
        pid = sandbox.wait_until(lambda: find_process("quelld"), what="quelld")
    else:
        conf = "/usr/local/etc/autolog.conf"
        with open(conf, "w") as f:
            f.write(AUTOLOG_CONFIG)
        open("/var/log/autolog.log", "w").close()
        argv = [AUTOLOG_BIN, "-f", conf, "-l", "/var/log/autolog.log"]
        if daemon == "autolog60":
            subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=10, check=True)
            t0 = time.time()
            pid = sandbox.wait_until(lambda: find_process("autolog"), what="autolog")
        else:
            ordinary = OrdinaryRuns(argv[:1] + ["-o"] + argv[1:], {s.pid for s in sessions})
            t0 = time.time()
            pid = None

    window = (t0 + job["warmup"], t0 + job["warmup"] + job["window"])
    end = window[1]
    deadline_info = {}
    for s, at in stops.items():
        stop_time = int(t0 + at)
        deadline_info[s] = {"line": s.line, "stop": stop_time, "due": stop_time + IDLE + GRACE,
                            "warned": None, "out": None, "status": None}
    if stops:
        end = max(end, max(d["due"] for d in deadline_info.values()) + job["wait_after_due"])

    samples = {}
    false_logouts = []
    next_touch = time.time() + TOUCH_EVERY
    while True:
        now = time.time()
        if ordinary is not None:
            ordinary.step(now)
        for s, d in deadline_info.items():
            if s in active and now >= d["stop"]:
                active.remove(s)
                os.utime(s.path, (d["stop"], d["stop"]))
            if d["warned"] is None and s.master >= 0:
                try:
                    if os.read(s.master, 65536):
                        d["warned"] = now
                except (BlockingIOError, OSError):
                    pass
            if d["out"] is None and not s.alive():
                d["out"] = now
                d["status"] = s.status
                sandbox.end_login(s.utmp_index)
        if now >= next_touch:
            touch(active, now)
            next_touch = now + TOUCH_EVERY
            for s in [s for s in active if not s.alive()]:
                false_logouts.append({"line": s.line, "at": round(now - t0, 1), "status": s.status})
                active.remove(s)
        if pid is not None:
            if "start" not in samples and now >= window[0]:
                samples["start"] = proc_sample(pid)
                samples["start_t"] = now
            if "end" not in samples and now >= window[1]:
                samples["end"] = proc_sample(pid)
                samples["end_t"] = now
        done = all(d["out"] is not None for d in deadline_info.values())
        if now >= end or (now >= window[1] and done and "end" in samples):
            break
        time.sleep(TICK)

    result = {"daemon": daemon, "scenario": job["scenario"], "logins": n,
              "setup_s": round(setup_s, 1), "false_logouts": false_logouts}
    if pid is not None:
        a, b = samples["start"], samples["end"]
        dt = samples["end_t"] - samples["start_t"]
        cpu = (b["own"] - a["own"]) + (b["children"] - a["children"])
        result.update({"window_s": round(dt, 1), "cpu_s": cpu,
                       "cpu_s_per_hour": cpu / dt * 3600,
                       "wakeups_per_min": (b["vcsw"] - a["vcsw"]) / dt * 60,
                       "vmhwm_kib": proc_sample(pid)["hwm_kib"],
                       "startup_cpu_s": a["own"] + a["children"]})
    else:
        dt = window[1] - window[0]
        t = ordinary.totals(*window)
        result.update({"window_s": round(dt, 1), "cpu_s": t["cpu"],
                       "cpu_s_per_hour": t["cpu"] / dt * 3600,
                       "wakeups_per_min": t["wakeups"] / dt * 60, "vmhwm_kib": t["hwm_kib"],
                       "runs": t["runs"], "processes": t["processes"],
                       "longest_run_s": round(t["longest_run_s"], 2)})
    result["deadlines"] = sorted(
        ({"line": d["line"], "stop_after_start_s": d["stop"] - int(t0),
          "warned_after_stop_s": None if d["warned"] is None else round(d["warned"] - d["stop"], 2),
          "late_s": None if d["out"] is None else round(d["out"] - d["due"], 2),
          "exit_status": d["status"]}
         for d in deadline_info.values()), key=lambda d: (d["stop_after_start_s"], d["line"]))
    for path in ("/var/log/quelld.log", "/var/log/autolog.log"):
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                result["log_tail"] = f.read()[-6000:]
    sandbox.kill_all()
    return result


# --- Outside: the orchestration ------------------------------------------------


def ensure_autolog():
    """Unpacks Debian's autolog into build/autolog when it is not there yet."""
    if os.access(AUTOLOG_BIN, os.X_OK):
        return
    os.makedirs(AUTOLOG_DIR, exist_ok=True)
    for old in glob.glob(os.path.join(AUTOLOG_DIR, "autolog_*.deb")):
        os.unlink(old)
    # apt-get download fetches the package only; its maintainer scripts
    # (system users for cron and a mail server) never run.
    subprocess.run(["apt-get", "download", "autolog"], cwd=AUTOLOG_DIR, check=True,
                   stdout=subprocess.DEVNULL)
    deb = glob.glob(os.path.join(AUTOLOG_DIR, "autolog_*.deb"))[0]
    subprocess.run(["dpkg-deb", "-x", deb, os.path.join(AUTOLOG_DIR, "root")], check=True)


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": host_platform.release(),
            "loadavg": open("/proc/loadavg").read().split()[:3],
            "date": time.strftime("%Y-%m-%d %H:%M:%S %Z")}


def run_parallel(jobs):
    """Runs the jobs at once, each in a sandbox of its own; returns their results."""
    procs = []
    for i, job in enumerate(jobs):
        path = os.path.join(OUT_DIR, f"job-{os.getpid()}-{i}.json")
        if os.path.exists(path):
            os.unlink(path)
        p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--job", json.dumps(job),
                              "--result", path])
        procs.append((p, path, job))
    results = []
    for p, path, job in procs:
        rc = p.wait()
        if rc != 0 or not os.path.exists(path):
            results.append({"daemon": job["daemon"], "scenario": job["scenario"],
                            "logins": job["logins"], "error": f"job exited {rc}"})
            continue
        with open(path) as f:
            results.append(json.load(f))
        os.unlink(path)
    return results


def fmt(v, digits=2):
    if v is None:
        return "-"
    if isinstance(v, float):
        return f"{v:.{digits}f}" if abs(v) >= 0.01 or v == 0 else f"{v:.2g}"
    return str(v)


def tables(report):
    out = []
    steady = [r for r in report["results"] if r["scenario"] == "steady"]
    if steady:
        out.append("| logins | daemon | CPU s/hour | wake-ups/min | peak RSS KiB | window s |"
                   " false logouts |")
        out.append("|---:|---|---:|---:|---:|---:|---:|")
        for r in steady:
            if "error" in r:
                out.append(f"| {r['logins']} | {r['daemon']} | error: {r['error']} | | | | |")
                continue
            out.append(f"| {r['logins']} | {r['daemon']} | {fmt(r['cpu_s_per_hour'], 3)} | "
                       f"{fmt(r['wakeups_per_min'], 1)} | {r['vmhwm_kib']} | {r['window_s']} | "
                       f"{len(r['false_logouts'])} |")
        out.append("")
        out.append("| logins | autolog 60 s / quelld (CPU) | autolog 5 s / quelld (CPU) |"
                   " autolog 60 s / quelld (wake-ups) | autolog 5 s / quelld (wake-ups) |")
        out.append("|---:|---:|---:|---:|---:|")
        for n in sorted({r["logins"] for r in steady}):
            by = {r["daemon"]: r for r in steady if r["logins"] == n and "error" not in r}
            q = by.get("quelld")

            def ratio(d, key):
                if q is None or d not in by or q[key] <= 0:
                    return "-"
                return f"{by[d][key] / q[key]:.0f}"
            out.append(f"| {n} | {ratio('autolog60', 'cpu_s_per_hour')} | "
                       f"{ratio('autolog5', 'cpu_s_per_hour')} | "
                       f"{ratio('autolog60', 'wakeups_per_min')} | "
                       f"{ratio('autolog5', 'wakeups_per_min')} |")
        out.append("")
    dl = [r for r in report["results"] if r["scenario"] == "deadlines"]
    if dl:
        out.append("| daemon | CPU s/hour | wake-ups/min | peak RSS KiB | logged out | "
                   "lateness min / median / max s | within 1 s | false logouts |")
        out.append("|---|---:|---:|---:|---:|---|---:|---:|")
        for r in dl:
            if "error" in r:
                out.append(f"| {r['daemon']} | error: {r['error']} | | | | | | |")
                continue
            late = sorted(d["late_s"] for d in r["deadlines"] if d["late_s"] is not None)
            within = sum(1 for v in late if abs(v) <= 1.0)
            med = late[len(late) // 2] if late else None
            out.append(f"| {r['daemon']} | {fmt(r['cpu_s_per_hour'], 3)} | "
                       f"{fmt(r['wakeups_per_min'], 1)} | {r['vmhwm_kib']} | "
                       f"{len(late)}/{len(r['deadlines'])} | {fmt(late[0] if late else None)} / "
                       f"{fmt(med)} / {fmt(late[-1] if late else None)} | "
                       f"{within}/{len(r['deadlines'])} | {len(r['false_logouts'])} |")
        out.append("")
        out.append("Each logout: time minus due time, seconds (stop = seconds after the daemon's "
                   "start at which the login stopped typing; warned = seconds after the stop at "
                   "which the warning reached the terminal).")
        out.append("")
        lines = [d["line"] for d in dl[0].get("deadlines", [])]
        out.append("| login | stop s | " + " | ".join(
            f"{r['daemon']} warned / late" for r in dl if "error" not in r) + " |")
        out.append("|---|---:|" + "---:|" * len([r for r in dl if "error" not in r]))
        for i, line in enumerate(lines):
            cells = []
            for r in dl:
                if "error" in r:
                    continue
                d = r["deadlines"][i]
                cells.append(f"{fmt(d['warned_after_stop_s'], 1)} / {fmt(d['late_s'])}")
            out.append(f"| {line} | {dl[0]['deadlines'][i]['stop_after_start_s']} | "
                       + " | ".join(cells) + " |")
        out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scenario", choices=("steady", "deadlines", "all"), default="all")
    ap.add_argument("--logins", type=int, action="append",
                    help="steady: logins to run with (default 0, 50 and 500)")
    ap.add_argument("--daemons", default=",".join(DAEMONS))
    ap.add_argument("--quick", action="store_true",
                    help="a short trial: 5 logins, one-minute windows")
    ap.add_argument("--job", help=argparse.SUPPRESS)
    ap.add_argument("--result", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.job:
        # Importing the harness moves this process into a sandbox of its own.
        sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
        os.environ["QUELLD_BIN"] = QUELLD_BIN
        import sandbox
        if not sandbox.in_sandbox():
            print("whole_process: cannot enter a sandbox:", sandbox.skip_reason, file=sys.stderr)
            return 1
        result = run_job(json.loads(args.job))
        with open(args.result, "w") as f:
            json.dump(result, f)
        return 0

    if os.geteuid() != 0:
        print("whole_process: run as root (the sandbox mounts file systems)", file=sys.stderr)
        return 1
    if not os.access(QUELLD_BIN, os.X_OK):
        print(f"whole_process: build quelld first ({QUELLD_BIN})", file=sys.stderr)
        return 1
    daemons = [d for d in args.daemons.split(",") if d]
    if any(d.startswith("autolog") for d in daemons):
        ensure_autolog()
    os.makedirs(OUT_DIR, exist_ok=True)

    report = {"machine": machine(), "quelld": QUELLD_BIN, "results": []}
    steady_logins = args.logins or ([5] if args.quick else [0, 50, 500])
    warmup, window = (30, 60) if args.quick else (30, 180)
    t_start = time.time()
    if args.scenario in ("steady", "all"):
        for n in steady_logins:
            jobs = [{"daemon": d, "scenario": "steady", "logins": n, "warmup": warmup,
                     "window": window} for d in daemons]
            print(f"steady, {n} logins: {', '.join(daemons)} ...", flush=True)
            report["results"] += run_parallel(jobs)
    if args.scenario in ("deadlines", "all"):
        n = 20 if args.quick else 500
        # The window covers every due time (the last is 166 s after the start).
        jobs = [{"daemon": d, "scenario": "deadlines", "logins": n, "warmup": 30,
                 "window": 180, "first_stop": 20, "staggered": [27, 39, 51, 63, 76],
                 "wait_after_due": 60 if args.quick else 330} for d in daemons]
        print(f"deadlines, {n} logins: {', '.join(daemons)} ...", flush=True)
        report["results"] += run_parallel(jobs)
    report["machine"]["loadavg_end"] = open("/proc/loadavg").read().split()[:3]
    report["elapsed_s"] = round(time.time() - t_start)

    stamp = time.strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(OUT_DIR, f"results-{stamp}.json"), "w") as f:
        json.dump(report, f, indent=1)
    text = tables(report)
    with open(os.path.join(OUT_DIR, f"results-{stamp}.md"), "w") as f:
        f.write(json.dumps(report["machine"]) + "\n\n" + text + "\n")
    print(json.dumps(report["machine"]))
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
