// Serial Download Protocol transport over the boot ROM's USB HID device:
// commands and data go out as output reports 1 and 2, replies come back as
// input reports 3 (security status) and 4 (result).
#pragma once
#include <cstdint>

#include "SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  ssize_t readData(std::vector<uint8_t>& bytes, int timeoutMs) override;
  // A complete reply is report 3 (5 bytes) and report 4 (65 bytes).
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                         uint32_t& value) override;

 private:
  hid_device_* handle;
  uint16_t vendorId;
  uint16_t productId;
  bool hidStarted;
};
