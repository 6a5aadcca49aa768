#include "policy/multiple_check.h"

// Placeholders until the multiple-login check is built.
int compare_sessions(const SessionRecord*, const SessionRecord*) {
    return 0;
}
int count_distinct_users(int) {
    return 0;
}
void enforce_multiple_logins(int) {}
