// Serial Download Protocol transport over a serial port (the device library's
// serial byte stream, raw, 115200 baud, 8 data bits): commands and data go out
// without their report identifier, replies are the bytes as they arrive.
#pragma once
#include "SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // port must outlive the transport.
  explicit Serial_SDPLoader(const char* port);
  ~Serial_SDPLoader() override;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  ssize_t readData(std::vector<uint8_t>& bytes, int timeoutMs) override;
  // A reply is 4 security status bytes followed by the 4-byte result.
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                         uint32_t& value) override;

 private:
  PrivateSerial_SDPLoader* d;
};
