// Images the update benchmarks flash, made with the BIRD writer: a Morlet
// module's loader and firmware, the firmware naming its build and version.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BirdWriter.h"

namespace benchsupport {

// Writes to path an image of build and version for serial: a loader of
// loaderBytes and firmware with the identification text over its start.
// False with *error set when it can't be written.
inline bool WriteMorletImage(const std::string& path, uint32_t build, const std::string& version,
                             uint32_t serial, std::vector<uint8_t> firmware, size_t loaderBytes,
                             std::string* error) {
  const std::string tag = "VLMID build=" + std::to_string(build) + " version=" + version + ";";
  memcpy(firmware.data(), tag.data(), std::min(tag.size(), firmware.size()));
  bird::BirdWriter w;
  w.Info(build, version, serial, "Morlet")
      .Loader(0x10000000, std::vector<uint8_t>(loaderBytes, 0xB5), 1)
      .Firmware(0, firmware);
  return w.Write(path, error);
}

}  // namespace benchsupport
