// Arbitrary boot ROM replies into the Serial Download Protocol client, fed
// from a fake port. Each read takes its length from the next input byte and
// then that many bytes; replies are interpreted by the serial or the HID
// transport's reader (bit 0 of the first byte), exactly as on a real port.
// Nothing may be read outside a reply, and nothing may hang.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {

class FakePort : public SDPLoader_Interface {
 public:
  FakePort(const uint8_t* data, size_t size, bool hid) : data_(data), size_(size), hid_(hid) {}
  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t>& bytes) override { return ssize_t(bytes.size()); }
  ssize_t readData(std::vector<uint8_t>& bytes, int) override {
    if (position_ >= size_) return 0;
    size_t n = data_[position_++];
    if (n > size_ - position_) n = size_ - position_;
    bytes.insert(bytes.end(), data_ + position_, data_ + position_ + n);
    position_ += n;
    return ssize_t(n);
  }
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                         uint32_t& value) override {
    return hid_ ? hidReader_.getDataFromBuffer(bytes, offset, value)
                : serialReader_.getDataFromBuffer(bytes, offset, value);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  bool hid_;
  // Never opened: only their reply readers are used.
  Serial_SDPLoader serialReader_{""};
  HID_SDPLoader hidReader_{0x1FC9, 0x0130};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SDPLoader sdp;
  sdp.setLoader(new FakePort(data + 1, size - 1, (data[0] & 1) != 0));
  sdp.init();
  uint64_t fingerprint = 0;
  sdp.getFingerprint(fingerprint);
  std::vector<uint8_t> image(size_t(data[0] >> 1) * 40 + 1, 0x5A);
  sdp.writeLoader(image, 0x20000400);
  sdp.startLoader(0x20000400);

  // The readers straight on the input, at every offset they accept.
  std::vector<uint8_t> reply(data, data + size);
  Serial_SDPLoader serial("");
  HID_SDPLoader hid(0x1FC9, 0x0130);
  for (size_t offset = 0; offset < 20; ++offset) {
    uint32_t value = 0;
    serial.getDataFromBuffer(reply, offset, value);
    hid.getDataFromBuffer(reply, offset, value);
  }
  return 0;
}
