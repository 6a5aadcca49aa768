#include "base/session_table.h"

#include <cstring>

SessionRecord SessionTable[MAXUSERS];
SessionRecord* ActiveSessions[MAXUSERS];
int active_count;
char console_user[USER_SIZE];

void session_table_reset() {
    std::memset(SessionTable, 0, sizeof SessionTable);
    std::memset(ActiveSessions, 0, sizeof ActiveSessions);
    active_count = 0;
    console_user[0] = '\0';
}
