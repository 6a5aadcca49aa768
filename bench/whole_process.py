#!/usr/bin/env python3
"""Whole-process benchmark: the real quelld on a host-sized workload.

Each daemon runs in a sandbox of its own (tests/e2e/sandbox.py: private mount
and pid namespace, /dev with a private devpts, /run utmp, /var/log, users),
with N logins on real pseudo-terminals, each owned by its own test user with
a process on it.  Typing is simulated by moving the terminals' access times.
The policy: idle 1 minute, 30 seconds of grace, a 60-second cycle.

Scenarios:
  steady     nobody is idle; measured over a window of whole minutes that
             starts 30 seconds after the daemon did (start-up left out).
  deadlines  500 logins; ten stop typing at the same second and five more at
             staggered times; each must be warned and logged out.  Its due
             time is the last input plus 60 + 30 seconds.

Figures: CPU seconds per hour of the daemon and the children it reaped
(/proc/PID/schedstat for its own time, which is exact, plus cutime+cstime
from /proc/PID/stat), wake-ups per minute (voluntary context switches), peak
RSS (VmHWM), and for the deadlines each logout's time minus its due time.

Each run has a sandbox of its own.  Run as root; never run by CTest.

    sudo python3 bench/whole_process.py                # everything, ~15 minutes
    sudo python3 bench/whole_process.py --quick        # a short trial run
    sudo python3 bench/whole_process.py --scenario steady --logins 500

Results go to build/whole_process/.
"""

import argparse
import json
import os
import platform as host_platform
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
OUT_DIR = os.path.join(REPO, "build", "whole_process")
QUELLD_BIN = os.environ.get("QUELLD_BIN") or os.path.join(REPO, "build", "default", "quelld")

QUELLD_CONFIG = "timeout default 1\nwarn 30\nsleep 60\n"

IDLE, GRACE = 60, 30
FIRST_ID = 71000        # uid and gid of the first benchmark user
TOUCH_EVERY = 10        # seconds between simulated keystrokes on active terminals
TICK = 0.05             # the job's polling step, seconds
CLK_TCK = os.sysconf("SC_CLK_TCK")
DAEMONS = ("quelld",)


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


def smaps_by_mapping(pid):
    """Resident KiB of a live process per mapped file (or [heap], [stack],
    anonymous), summed over its mappings: where the resident set goes."""
    totals, name = {}, None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if not head[0].endswith(":"):
                name = head[5] if len(head) > 5 else "[anon]"
                perms = head[1]
                name = f"{name} {perms}"
            elif head[0] == "Rss:":
                totals[name] = totals.get(name, 0) + int(head[1])
    return dict(sorted(totals.items(), key=lambda kv: -kv[1]))


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


def run_job(job):
    """One daemon, one scenario, in this sandbox.  Returns the result dict."""
    import sandbox

    sandbox.reset()

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

    sandbox.write_config(QUELLD_CONFIG)
    started = sandbox.run_quelld()
    if started.returncode != 0:
        raise RuntimeError(f"quelld did not start: {started.stderr}")
    t0 = time.time()
    pid = sandbox.wait_until(lambda: find_process("quelld"), what="quelld")

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
    a, b = samples["start"], samples["end"]
    dt = samples["end_t"] - samples["start_t"]
    cpu = (b["own"] - a["own"]) + (b["children"] - a["children"])
    result.update({"window_s": round(dt, 1), "cpu_s": cpu,
                   "cpu_s_per_hour": cpu / dt * 3600,
                   "wakeups_per_min": (b["vcsw"] - a["vcsw"]) / dt * 60,
                   "vmhwm_kib": proc_sample(pid)["hwm_kib"],
                   "startup_cpu_s": a["own"] + a["children"]})
    if job.get("smaps"):
        result["smaps"] = smaps_by_mapping(pid)
    result["deadlines"] = sorted(
        ({"line": d["line"], "stop_after_start_s": d["stop"] - int(t0),
          "warned_after_stop_s": None if d["warned"] is None else round(d["warned"] - d["stop"], 2),
          "late_s": None if d["out"] is None else round(d["out"] - d["due"], 2),
          "exit_status": d["status"]}
         for d in deadline_info.values()), key=lambda d: (d["stop_after_start_s"], d["line"]))
    if os.path.exists(sandbox.LOG_PATH):
        with open(sandbox.LOG_PATH, errors="replace") as f:
            result["log_tail"] = f.read()[-6000:]
    sandbox.kill_all()
    return result


# --- Outside: the orchestration ------------------------------------------------


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
        peaks = [f"{r['logins']} logins {r['vmhwm_kib']} KiB" for r in steady if "error" not in r]
        if peaks:
            out.append("Peak RSS: " + ", ".join(peaks) + ".")
            out.append("")
        for r in steady:
            if r.get("smaps"):
                out.append(f"Resident KiB by mapping at the end, {r['logins']} logins:")
                out += [f"    {kib:6d}  {name}" for name, kib in r["smaps"].items() if kib]
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
    ap.add_argument("--window", type=int,
                    help="steady: seconds of the measured window (default 180, 60 with --quick)")
    ap.add_argument("--smaps", action="store_true",
                    help="steady: also keep the daemon's resident KiB per mapping at the end")
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
    os.makedirs(OUT_DIR, exist_ok=True)

    report = {"machine": machine(), "quelld": QUELLD_BIN, "results": []}
    steady_logins = args.logins or ([5] if args.quick else [0, 50, 500])
    warmup, window = (30, 60) if args.quick else (30, 180)
    if args.window:
        window = args.window
    t_start = time.time()
    if args.scenario in ("steady", "all"):
        for n in steady_logins:
            jobs = [{"daemon": d, "scenario": "steady", "logins": n, "warmup": warmup,
                     "window": window, "smaps": args.smaps} for d in daemons]
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
