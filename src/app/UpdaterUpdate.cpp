// Firmware update (-U): not yet part of this build; fails loudly.
#include "Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  _operation_unavailable(display, "Update_Firmware");
  return false;
}
