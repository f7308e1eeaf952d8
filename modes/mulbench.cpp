// Placeholder until this mode lands.
#include "modes/modes.h"
#include "modes/not_yet.h"

int run_mulbench(int, char**) { return not_available("mulbench"); }
