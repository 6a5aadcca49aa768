#include "base/session_table.h"

#include <cstdlib>
#include <cstring>

SessionRecord* SessionTable;
int session_count;
SessionRecord** ActiveSessions;
int active_count;
char console_user[USER_SIZE];

namespace {

int table_room;   // records SessionTable has room for
int table_ready;  // records of it made ready (zero) so far

// The list of a record whose own list could not be had: empty.
int32_t no_groups[1] = {-1};

// Room is had in steps of at least this many records: a block this large
// comes straight from the system, which grows it in place and gives its
// pages only as the records are first written.
constexpr int TABLE_STEP = 512;

}  // namespace

int session_table_reserve(int n) {
    if (n > MAXUSERS)
        return -1;
    if (n > table_room) {
        int want = n + n / 2 > MAXUSERS ? MAXUSERS : n + n / 2;
        if (want < TABLE_STEP)
            want = TABLE_STEP < MAXUSERS ? TABLE_STEP : MAXUSERS;
        // An array of pointers to records, sized as such.
        auto* active = static_cast<SessionRecord**>(
            std::realloc(ActiveSessions,
                         sizeof(SessionRecord*) *  // NOLINT(bugprone-sizeof-expression)
                             static_cast<size_t>(want)));
        if (active == nullptr)
            return -1;
        ActiveSessions = active;
        auto* table = static_cast<SessionRecord*>(
            std::realloc(SessionTable, sizeof *SessionTable * static_cast<size_t>(want)));
        if (table == nullptr)
            return -1;
        SessionTable = table;
        table_room = want;
    }
    // Records are made ready only as they are asked for, so that the pages
    // of the room no login has used yet are never touched.
    if (n > table_ready) {
        std::memset(SessionTable + table_ready, 0,
                    sizeof *SessionTable * static_cast<size_t>(n - table_ready));
        table_ready = n;
    }
    return 0;
}

int32_t* session_groups_room(SessionRecord* r, int n) {
    if (n > NGROUPS_KEPT)
        n = NGROUPS_KEPT;
    int32_t* own = r->group_room > 0 ? r->groups : nullptr;
    if (own != nullptr && n <= r->group_room)
        return own;
    // An empty list needs no room of its own: most logins never have
    // their groups asked for.
    if (own == nullptr && n == 0) {
        no_groups[0] = -1;
        r->groups = no_groups;
        return r->groups;
    }
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

LoginHours* session_hours_room(SessionRecord* r) {
    if (r->hours == nullptr)
        r->hours = static_cast<LoginHours*>(std::malloc(sizeof *r->hours));
    if (r->hours != nullptr)
        *r->hours = LoginHours{};
    return r->hours;
}

void session_record_clear(SessionRecord* r) {
    int32_t* groups = r->groups;
    int32_t group_room = r->group_room;
    LoginHours* hours = r->hours;
    *r = SessionRecord{};
    r->groups = groups;
    r->group_room = group_room;
    if (group_room > 0)
        groups[0] = -1;
    r->hours = hours;
}

SessionRecord* session_table_find(const SessionRecord* r) {
    for (int i = 0; i < session_count; ++i) {
        SessionRecord* t = &SessionTable[i];
        if (t->login_time == r->login_time && std::strcmp(t->user, r->user) == 0 &&
            std::strcmp(t->tty_path, r->tty_path) == 0)
            return t;
    }
    return nullptr;
}

void session_table_reset() {
    for (int i = 0; i < table_ready; ++i) {
        if (SessionTable[i].group_room > 0)
            std::free(SessionTable[i].groups);
        std::free(SessionTable[i].hours);
    }
    if (table_ready > 0)
        std::memset(SessionTable, 0, sizeof *SessionTable * static_cast<size_t>(table_ready));
    session_count = 0;
    active_count = 0;
    console_user[0] = '\0';
}
