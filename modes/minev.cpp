// Placeholder until this mode lands.
#include "modes/modes.h"
#include "modes/not_yet.h"

int run_minev(char const*, char const*) { return not_available("minev"); }
