// Firmware update (-U): not yet part of this build; fails loudly.
#include <stdexcept>

#include "BirdFile.h"
#include "Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  _operation_unavailable(display, "Update_Firmware");
  return false;
}

BirdFile Updater::load_bird(const char*, std::string, uint32_t, uint32_t, bool) {
  _operation_unavailable(display, "load_bird");
  throw std::runtime_error("load_bird is not available in this build");
}
