#include "enforce/warn.h"

void warn(int, int, int) {}
int warn_child(SessionRecord*, int, int) { return 0; }
void unwritable_add(const SessionRecord*) {}
int unwritable_find(const SessionRecord*) { return 0; }
void unwritable_prune(const SessionRecord*) {}
void unwritable_reset() {}
