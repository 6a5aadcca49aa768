// The configuration parser: one command per line, carried out as soon as
// its line is complete, with line-by-line error recovery.
#ifndef QUELLD_CONFIG_GRAMMAR_H
#define QUELLD_CONFIG_GRAMMAR_H

// Reads tokens with next_token until the end of the input and carries out
// each command: sets the settings, adds rules to the six rule lists, reads
// the list files named.  Errors go through conf_error; the lines around a
// malformed one still take effect.  Returns 0 when the input ended at the
// start of a line, 1 when it ended inside a command or a skipped line.
int parse_conf();

#endif  // QUELLD_CONFIG_GRAMMAR_H
