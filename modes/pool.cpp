// Placeholder until this mode lands.
#include "modes/modes.h"
#include "modes/not_yet.h"

int run_pool(char const*, char const*, char const*, double, int) { return not_available("pool"); }
