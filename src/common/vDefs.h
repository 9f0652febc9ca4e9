// Module model numbers and their names.
#pragma once
#include <cstdint>

// Name of a module model, "Unknown" for a number not in the table.
const char* vDefs_GetModelName(uint32_t model);
