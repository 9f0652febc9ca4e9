// I2CClass: reads and writes on a module's I2C bus.
#pragma once
#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "vErr.h"

namespace Corvane {
namespace Velmarine {

class I2CClass : public EntityClass {
 public:
  void init(Module* module, uint8_t index);

  // At most 23 bytes per transfer.
  vErr read(uint8_t address, uint8_t length, uint8_t* data);
  vErr write(uint8_t address, uint8_t length, const uint8_t* data);
  vErr setPullup(bool enabled);
  // 0 to 3; sent with every transfer.
  vErr setSpeed(uint8_t speed);
  vErr getSpeed(uint8_t* speed);

 private:
  vErr awaitStatus(const uint8_t* match, uint8_t matchLength, uint8_t* reply, uint8_t* length);
  uint8_t speed_ = 0;
};

}  // namespace Velmarine
}  // namespace Corvane
