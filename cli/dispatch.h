// The program's entry logic, callable from tests: global options, banner, mode dispatch.
#pragma once

#include "pool/permanent_failure.h"

// limits: when the pool mode gives up on pools that keep failing; test programs shorten them.
int tarn_main(int argc, char** argv, const tarn::PermanentLimits& limits = tarn::PermanentLimits());
