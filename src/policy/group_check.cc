#include "policy/group_check.h"

// Placeholder until the group login limit is built.
void enforce_group_limit(SessionRecord*, int) {}
