#include "daemon/session_table.h"

#include <cstring>

#include "policy/clock_step.h"

SessionRecord SessionTable[MAXUSERS];
SessionRecord* ActiveSessions[MAXUSERS];
int active_count;
char console_user[USER_SIZE];

void session_table_reset() {
    std::memset(SessionTable, 0, sizeof SessionTable);
    std::memset(ActiveSessions, 0, sizeof ActiveSessions);
    active_count = 0;
    console_user[0] = '\0';
    clock_step_reset();
}
