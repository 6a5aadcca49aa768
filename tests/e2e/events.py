"""Reading the sandbox's event log as a sequence of lines with the time stamps masked.

Shared by the end-to-end tests that judge the daemon by what it logs.
"""

import re

import sandbox
from sandbox import STAMP19, STAMP24

READING = "T   Reading in configuration file."
NO_STAT = "T:  Cannot stat conf file."
NO_OPEN = "T:  Cannot open configuration file."
KEEP = "Ignoring, and maintaining old settings."
DIE = "Have never read in conf settings.  Must die."
ABORT = "Aborting due to conf file syntax errors."
TOO_MANY = "Error:  too many users.  Recompile with higher 'MAXUSERS' setting."

#: A configuration line whose read logs MARKED.  The daemon logs READING
#: before it opens the file, so a test must not change the file until MARKED
#: shows that the file is open and being parsed.
MARK = "exempt login readmark idle\n"
MARKED = "Warning parsing conf file:  unknown login name 'readmark'."

_STAMP = re.compile(rf"^(?:{STAMP24}|{STAMP19})")


def no_info(user):
    """The line for a login whose user the password database does not know."""
    return f"Error:  could not get info on supposed user {user}."


def events():
    """The log's lines after the start line, each leading time stamp written as T.

    Lines are split at line feeds only: a logged byte such as CR stays inside its line.
    """
    lines = sandbox.read_log().split("\n")[1:-1]
    return [_STAMP.sub("T", line) for line in lines]


def count(line):
    """How many times ``line`` (stamp masked) has been logged."""
    return events().count(line)


def wait_count(line, n, timeout=sandbox.TIMEOUT):
    """Waits until ``line`` has been logged at least ``n`` times; returns the events."""
    try:
        sandbox.wait_until(lambda: count(line) >= n, timeout, what=f"{n} x {line!r}")
    except AssertionError as e:
        raise AssertionError(f"{e}; the log is:\n{sandbox.read_log()}") from None
    return events()


def stamps(line_regex):
    """Seconds since the epoch of the lines that start with a 19-character stamp
    followed by text matching ``line_regex``."""
    out = []
    for line in sandbox.read_log().split("\n"):
        m = re.match(rf"^({STAMP19}){line_regex}", line)
        if m:
            out.append(sandbox.parse_stamp(m.group(1)))
    return out
