// Client of the i.MX boot ROM's Serial Download Protocol: builds the 16-byte
// commands, writes a loader image into the chip's RAM, starts it and reads
// the fuse words that make up the chip's fingerprint, over any transport.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vErr.h"

// A byte channel to the boot ROM. Packets handed to writeData carry the HID
// report identifier first; readData appends what arrives to the caller's bytes.
class SDPLoader_Interface {
 public:
  SDPLoader_Interface() = default;
  virtual ~SDPLoader_Interface() {}
  // A transport owns its device or port, so it is never copied.
  SDPLoader_Interface(const SDPLoader_Interface&) = delete;
  SDPLoader_Interface& operator=(const SDPLoader_Interface&) = delete;
  // Opens the channel; false when the device or port can't be used.
  virtual bool init() = 0;
  // Sends one packet; the count written, or -1 on failure.
  virtual ssize_t writeData(const std::vector<uint8_t>& bytes) = 0;
  // Appends a reply, waiting at most timeoutMs; the count appended, or -1.
  virtual ssize_t readData(std::vector<uint8_t>& bytes, int timeoutMs) = 0;
  // ORs the 32-bit result word at offset of a complete reply into value;
  // false when the reply holds no such word.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                                 uint32_t& value) = 0;

 protected:
  // The highest word offset getDataFromBuffer accepts.
  static constexpr size_t kMaxOffset = 15;
  // ORs the little-endian word at bytes[at] into value; false when the
  // offset is out of range or the bytes end before the word does.
  static bool orWordAt(const std::vector<uint8_t>& bytes, size_t offset, size_t at,
                       uint32_t& value) {
    if (offset > kMaxOffset || at > bytes.size() || bytes.size() - at < 4) return false;
    const uint8_t* p = bytes.data() + at;
    value |= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return true;
  }
};

class SDPLoader {
 public:
  // Results of writeLoader.
  enum : int {
    kLoadOk = 0,
    kLoadNotAlive = 2,
    kLoadDataDuringTransfer = 3,
    kLoadNoCompletion = 4,
  };
  // Command types (both bytes of the field are equal).
  static constexpr uint16_t kReadRegister = 0x0101;
  static constexpr uint16_t kWriteFile = 0x0404;
  static constexpr uint16_t kErrorStatus = 0x0505;
  static constexpr uint16_t kJumpAddress = 0x0B0B;
  // Result words.
  static constexpr uint32_t kWriteComplete = 0x88888888;
  static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
  // Fuse words of the fingerprint.
  static constexpr uint32_t kFuseLow = 0x401F4410;
  static constexpr uint32_t kFuseHigh = 0x401F4420;
  // Image bytes per data packet.
  static constexpr size_t kDataChunk = 1024;

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of transport when it is not null and none is set yet.
  bool setLoader(SDPLoader_Interface* transport);
  // 1 without a transport, vErrIO when it can't be opened, else vErrNone.
  vErr init();
  // Writes image to RAM at address: 0 done, 2 the ROM doesn't answer, 3 bytes
  // arrived during the transfer, 4 the transfer did not complete.
  int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
  // Jumps to the image at address; a started image needn't answer.
  void startLoader(uint32_t address);
  // Reads the two fuse words into the low and high halves of value (ORed in).
  vErr getFingerprint(uint64_t& value);

 private:
  bool _isConnectionAlive();
  std::vector<uint8_t> _createStatusPacket();
  std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t count);
  std::vector<uint8_t> _createJumpPacket(uint32_t address);
  std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);
  void _fillCommand(std::vector<uint8_t>& packet);
  bool _expectResponse(const std::vector<uint8_t>& reply);
  bool _expectAck(const std::vector<uint8_t>& reply);
  bool _expectSuccess(const std::vector<uint8_t>& reply);
  void _printBuffer(const std::vector<uint8_t>& bytes);

  SDPLoader_Interface* loader;
};
