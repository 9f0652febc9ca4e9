// Modules and their entities, one header per class: a Module owns the Link
// to one module and knows its address; EntityClass reads and writes one
// entity's values with UEI requests; SystemClass and I2CClass are the system
// entity and the I2C bus. Includers that want all four include this one.
#pragma once
#include "EntityClass.h"
#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
