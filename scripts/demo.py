"""A one-minute demonstration of quelld in a private sandbox.

A test user "demo" logs in on a pseudo-terminal and stops typing.  With the
policy below quelld warns on the terminal at its first look, grants 20
seconds of grace, then logs the session out and kills its process.
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sandbox  # noqa: E402  (moves this run into the sandbox)

POLICY = """\
# Demonstration policy: idle terminals get one minute, then 20 seconds of grace.
timeout default 1
warn 20
sleep 60
"""


def show(title, text):
    print(f"\n--- {title} " + "-" * max(0, 60 - len(title)))
    print(text.rstrip("\n"))


def main():
    if not sandbox.in_sandbox():
        print("demo: cannot enter a private namespace:", sandbox.skip_reason, file=sys.stderr)
        return 1
    sandbox.reset()
    sandbox.add_user("demo")
    session = sandbox.login("demo", login_time=int(time.time()) - 600)
    session.set_idle(120)
    show("policy " + sandbox.CONF_PATH, POLICY)
    print(f"\nuser demo logged in on {session.path} (pid {session.pid}), idle for 2 minutes")

    daemon = sandbox.start_daemon(config=POLICY)
    print(f"quelld started (pid {daemon.pid})")
    try:
        out = session.expect(b"logged out by the system.\r\n\r\n\a", timeout=15)
        show("the warning, as it appears on " + session.path,
             out.decode(errors="replace").replace("\r", "").replace("\a", ""))
        print("\n(waiting out the 20 seconds of grace...)")
        out = session.expect(b"Logged out by the system.", timeout=60)
        show("then, on the terminal", out.decode(errors="replace").split("\a")[-1].rstrip("\0"))
        sandbox.wait_until(lambda: not session.alive(), what="the session's process to end")
        print(f"\nthe session's process {session.pid} is gone")
        sandbox.wait_for_log(r"because idle")
    finally:
        show("event log " + sandbox.LOG_PATH, sandbox.read_log())
        daemon.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
