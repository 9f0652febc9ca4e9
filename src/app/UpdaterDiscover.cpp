// Device discovery (-D): not yet part of this build; fails loudly.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  _operation_unavailable(display, "Discover_Devices");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_VLNetwork_Devices(uint32_t, linkType) {
  _operation_unavailable(display, "Discover_VLNetwork_Devices");
  return {};
}
