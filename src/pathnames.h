// Fixed paths and tunables of quelld, each in one place.
#ifndef QUELLD_PATHNAMES_H
#define QUELLD_PATHNAMES_H

// The version number is project()'s in CMakeLists.txt, given by the build;
// a compile outside it (a syntax check) gets a stand-in.
#ifndef QUELLD_VERSION_NUMBER
#define QUELLD_VERSION_NUMBER "unknown"
#endif
#define QUELLD_VERSION "quelld version " QUELLD_VERSION_NUMBER

// Default configuration file.  The build sets it from the installation's
// configuration directory (a package for prefix /usr reads /etc/quelld).
#ifndef PATH_CONF
#define PATH_CONF "/usr/local/etc/quelld/quelld.cf"
#endif
#define PATH_LOG "/var/log/quelld.log"  // the event log
#define PATH_PROC "/proc"               // Linux: the process table a logout reads
#define PATH_DEV "/dev/"                // prefix of every terminal path
#define PATH_CONSOLE "/dev/console"     // the system console
#define PATH_KBD "/dev/kbd"             // console keyboard, for its access times
#define PATH_MOUSE "/dev/mouse"         // console mouse, for its access times

#define LOG_MODE 0644           // event log permissions, whatever the umask
#define MAXUSERS 50000          // user logins the session table holds at most
#define NAME_MAX_USER 18        // characters of a login name kept (list files cut at this too)
#define NAME_MAX_HOST 16        // characters of a remote host kept and compared
#define NGROUPS_KEPT 1024       // group ids kept per session at most
#define GROUP_LIST_FIRST 64     // group ids first asked of the name service
#define GROUP_LIST_MAX 65536    // group ids at most asked of the name service
#define SLACK 5                 // seconds: a limit counts as reached this early
#define WARN_ALARM 5            // seconds a warning child may take before it is cut off
#define REFUSE_PAUSE 5          // seconds between the refusal notice and the logout
#define SESSION_MIN_WAKE 10     // seconds: least delay the session check asks for
#define CLOCK_STEP_MIN 30       // seconds the wall clock must jump to count as stepped
#define HANGUP_GRACE_MS 1000    // milliseconds a logout waits after SIGHUP before SIGTERM
#define TERM_GRACE_MS 200       // milliseconds it waits after SIGTERM before SIGKILL
#define KILL_WAIT_MS 200        // milliseconds it waits after SIGKILL for the processes to go
#define TTY_PROCS_MAX 256       // processes of one terminal a logout signals per round
#define TTY_SESSIONS_KEPT 64    // sessions of one terminal a logout follows after their leaders
#define TTY_SESSIONS_CARRIED 4  // of them, kept by the daemon for the next try of a logout
#define TTY_REFUSED_MAX 16      // processes of one terminal a logout may not signal, left alone
#define LOGOUT_KILL_MS 3000     // milliseconds a logout goes on ending a terminal's processes
#define LOGOUT_TRIES 3       // passes that try a logout whose processes stay before it is given up
#define CHILDREN_MAX 64      // warning children running at once
#define CHILDREN_PER_USER 4  // of them for the logins of one user
#define AUDIT_MSG_MAX 1024   // bytes of one system-log message's text
#define AUDIT_HELD 32        // messages kept while a configuration read is held
#define HOURS_KEPT 16        // hours windows kept per login, of those its class has

#endif  // QUELLD_PATHNAMES_H
