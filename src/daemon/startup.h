// Start-up of the daemon: options, settings, signals, lists, start line,
// detaching.
#ifndef QUELLD_DAEMON_STARTUP_H
#define QUELLD_DAEMON_STARTUP_H

// Parses the arguments as the daemon does: sets the check switches and
// conf_path, prints the messages on standard output and error.  Returns -1
// to go on starting, or the exit status to end with ("-V": 0).
int parse_options(int argc, char** argv);

// Forks; the parent exits 0, the child closes every descriptor but 0, starts
// a new session and returns.  A failed fork ends the process with status 1.
void daemonize();

#endif  // QUELLD_DAEMON_STARTUP_H
