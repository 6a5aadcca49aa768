// Token numbers of the configuration language.  They are fixed: match kinds
// and exemption codes are stored in rules as these numbers.
#ifndef QUELLD_CONFIG_TOKENS_H
#define QUELLD_CONFIG_TOKENS_H

enum Token {
    END_OF_INPUT = 0,
    ERROR_TOKEN = 256,  // the parser's error symbol; no text produces it
    TTY = 257,
    HOST = 258,
    LOGIN = 259,
    GROUP = 260,
    FILE_ = 261,  // "file"; FILE is taken by <cstdio>
    DEFAULT = 262,
    EXEMPT = 263,
    TIMEOUT = 264,
    SLEEP = 265,
    WARN = 266,
    IDLEMETHOD = 267,
    CONSWINS = 268,
    SESSION = 269,
    REFUSE = 270,
    MULTIPLES = 271,
    MAXUSER = 272,
    NUMBER = 273,
    IDLE = 274,
    MULTIPLE = 275,
    NAME = 276,
    ALL = 277,
    THRESHOLD = 278,
    NEWLINE = 279,
    USERINPUT = 280,
    INPUTOUTPUT = 281,
    NORMAL = 282,
    OFF = 283,
    PANES = 284,
    JOIN = 285,
    SYSLOG = 286,
    HOURS = 287,
    TIMESPAN = 288,  // "08:00-22:00": the text goes to take_token_text
    DAYS = 289,      // "mon-fri", "sat,sun": the text goes to take_token_text
};

#endif  // QUELLD_CONFIG_TOKENS_H
