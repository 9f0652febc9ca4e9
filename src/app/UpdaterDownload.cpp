// Build lists and downloads (-B, -L, -G): not yet part of this build; fail loudly.
#include "Updater.h"

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool) {
  _operation_unavailable(display, "Download_Firmware");
  return 0;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool) {
  _operation_unavailable(display, "Download_Firmware");
  return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t) {
  _operation_unavailable(display, "Get_BuildList");
  return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
  _operation_unavailable(display, "Get_BuildListLocal");
  return {};
}
