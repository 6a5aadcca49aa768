// Re-reading the configuration when its file's modification time moves
// forward, or back with another inode or change time.
#ifndef QUELLD_DAEMON_RELOAD_H
#define QUELLD_DAEMON_RELOAD_H

// Reads the configuration at conf_path when its modification time is later
// than conf_mtime, or earlier in a file that is not the one read (another
// inode or change time, as after an edit once the clock was set back): empties the rule lists,
// resets the settings and parses the file.  Returns 1 when the file was read in this call, 0
// otherwise.  Ends the process with status 1 when no configuration has ever been read and this one
// cannot be, or has errors.
int reload_config();

#endif  // QUELLD_DAEMON_RELOAD_H
