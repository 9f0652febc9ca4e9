// Recovery (-U -t RECOVER) and fingerprint (-N): not yet part of this build; fail loudly.
#include "Updater.h"

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
  _operation_unavailable(display, "Recover_Firmware");
  return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
  _operation_unavailable(display, "Get_Fingerprint");
  return false;
}
