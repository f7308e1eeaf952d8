// Constant memory of the device-code module: the field's epsilon and the Poseidon2 tables. The
// arithmetic headers include their symbols themselves; this list only names the module's data.
#pragma once

#include "field/device_epsilon.h"
#include "hash/device_tables.h"
