// One read of a configuration file, the same for the daemon and for
// quelld-check: a regular file only, on a stream of its own, through the
// scanner and the parser into emptied rule lists and settings put back.
#ifndef QUELLD_CONFIG_CONF_READ_H
#define QUELLD_CONFIG_CONF_READ_H

enum ConfReadResult {
    CONF_READ = 0,          // read to its end
    CONF_NO_OPEN = -1,      // could not be opened; errno says why
    CONF_NOT_REGULAR = -2,  // a directory, a FIFO or a device: never read
};

// Reads the configuration file at path.  A file that is not regular is
// refused without opening it for reading or blocking in open, and leaves the
// rules and settings as they were; otherwise the six rule lists are
// emptied, the settings put back and the file parsed.  at_end (may be
// nullptr) runs when the scanner reaches the end of the file, with every
// error before the end counted in conf_errors: the reader decides there
// what errors in this read mean, before any report the last line makes
// after the end.
ConfReadResult conf_read_file(const char* path, void (*at_end)());

#endif  // QUELLD_CONFIG_CONF_READ_H
