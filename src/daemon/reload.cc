#include "daemon/reload.h"

int reload_config() { return 0; }
