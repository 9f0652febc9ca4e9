// The boot ROM's HID device through hidapi. This is the only file that calls
// hidapi; a reply is the input reports read, appended whole.
#include "HID_SDPLoader.h"

#include <hidapi/hidapi.h>

#include "Log.h"

namespace {
constexpr uint8_t kStatusReport = 3;
// Identifier and 4 security status bytes.
constexpr size_t kStatusReportSize = 5;
// Identifier and the 64 bytes of the largest input report.
constexpr size_t kReadBufferSize = 65;
constexpr size_t kReplySize = kStatusReportSize + kReadBufferSize;
constexpr size_t kReplyPayloadOffset = 6;
// Bounds one reply, so that a device that never stops sending can't hold us.
constexpr int kMaxReportsPerRead = 256;
}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product)
    : handle(nullptr), vendorId(vendor), productId(product), hidStarted(false) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle) hid_close(handle);
  handle = nullptr;
  if (hidStarted) hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle) return true;
  if (hid_init() != 0) return false;
  hidStarted = true;
  handle = hid_open(vendorId, productId, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (!handle || bytes.empty()) return -1;
  return hid_write(handle, bytes.data(), bytes.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (!handle) return -1;
  ssize_t total = 0;
  unsigned char report[kReadBufferSize];
  for (int i = 0; i < kMaxReportsPerRead; ++i) {
    int got = hid_read_timeout(handle, report, sizeof report, timeoutMs);
    if (got <= 0) break;
    size_t keep = size_t(got);
    if (report[0] == kStatusReport && keep > kStatusReportSize) keep = kStatusReportSize;
    bytes.insert(bytes.end(), report, report + keep);
    total += ssize_t(keep);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                                      uint32_t& value) {
  if (bytes.size() != kReplySize) return false;
  return orWordAt(bytes, offset, offset + kReplyPayloadOffset, value);
}
