#include "base/session_table.h"

#include <cstdlib>
#include <cstring>

SessionRecord* SessionTable;
int session_count;
SessionRecord** ActiveSessions;
int active_count;
char console_user[USER_SIZE];

namespace {

int table_room;

// The list of a record whose own list could not be had: empty.
int32_t no_groups[1] = {-1};

// Grows the block at *block of room records of size bytes each to want,
// zeroing the new part.  false (the block unchanged) without memory.
bool session_grow(void** block, size_t size, int room, int want) {
    void* grown = std::realloc(*block, size * static_cast<size_t>(want));
    if (grown == nullptr)
        return false;
    std::memset(static_cast<char*>(grown) + size * static_cast<size_t>(room), 0,
                size * static_cast<size_t>(want - room));
    *block = grown;
    return true;
}

}  // namespace

int session_table_reserve(int n) {
    if (n <= table_room)
        return 0;
    if (n > MAXUSERS)
        return -1;
    // Half again what is asked, so that logins arriving one by one regrow
    // the table only now and then.
    int want = n + n / 2 > MAXUSERS ? MAXUSERS : n + n / 2;
    void* table = SessionTable;
    void* active = ActiveSessions;
    if (!session_grow(&active, sizeof *ActiveSessions, table_room, want))
        return -1;
    ActiveSessions = static_cast<SessionRecord**>(active);
    if (!session_grow(&table, sizeof *SessionTable, table_room, want))
        return -1;
    SessionTable = static_cast<SessionRecord*>(table);
    table_room = want;
    return 0;
}

int32_t* session_groups_room(SessionRecord* r, int n) {
    if (n > NGROUPS_KEPT)
        n = NGROUPS_KEPT;
    int32_t* own = r->group_room > 0 ? r->groups : nullptr;
    if (own != nullptr && n <= r->group_room)
        return own;
    auto* grown =
        static_cast<int32_t*>(std::realloc(own, sizeof(int32_t) * (static_cast<size_t>(n) + 1)));
    if (grown == nullptr) {
        if (own == nullptr) {
            no_groups[0] = -1;
            r->groups = no_groups;
        }
        return nullptr;
    }
    if (own == nullptr)
        grown[0] = -1;
    r->groups = grown;
    r->group_room = n;
    return grown;
}

void session_table_reset() {
    for (int i = 0; i < table_room; ++i)
        if (SessionTable[i].group_room > 0)
            std::free(SessionTable[i].groups);
    if (table_room > 0) {
        std::memset(SessionTable, 0, sizeof *SessionTable * static_cast<size_t>(table_room));
        std::memset(ActiveSessions, 0, sizeof *ActiveSessions * static_cast<size_t>(table_room));
    }
    session_count = 0;
    active_count = 0;
    console_user[0] = '\0';
}
