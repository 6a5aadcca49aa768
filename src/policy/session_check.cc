#include "policy/session_check.h"

// Placeholders until the session-length and refusal checks are built.
time_t enforce_session_length(int) {
    return 0;
}
void enforce_refusals(int) {}
void remember_session_user(const SessionRecord*) {}
void mark_recent_session_user(SessionRecord*) {}
void recent_session_users_reset() {}
