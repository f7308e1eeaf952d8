// Placeholder until this mode lands.
#include "modes/modes.h"
#include "modes/not_yet.h"

int run_minesparsepath() { return not_available("minesparsepath"); }
