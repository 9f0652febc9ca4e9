// Serial Download Protocol exchanges over an SDPLoader_Interface: the status
// handshake, WRITE_FILE with its data packets, JUMP_ADDRESS and READ_REGISTER
// of the fuse words. Every line goes to the DEBUG_iMXSerial log package.
#include "SDPLoader.h"

#include <string>

#include "Log.h"

namespace {
// Report identifiers of the HID framing; the serial transport drops them.
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
// Full length of a command packet: report identifier and 16 command bytes.
constexpr size_t kCommandPacketSize = 17;
constexpr uint8_t kFormat32 = 0x20;
constexpr int kStatusAttempts = 5;
constexpr int kReplyTimeoutMs = 100;

void sPutBE32(std::vector<uint8_t>& packet, uint32_t value) {
  packet.push_back(uint8_t(value >> 24));
  packet.push_back(uint8_t(value >> 16));
  packet.push_back(uint8_t(value >> 8));
  packet.push_back(uint8_t(value));
}

// Report identifier, command type, address, format and data count; the rest
// of the command is zero and is added by _fillCommand.
std::vector<uint8_t> sCommandHead(uint16_t type, uint32_t address, uint8_t format, uint32_t count) {
  std::vector<uint8_t> packet;
  packet.reserve(kCommandPacketSize);
  packet.push_back(kCommandReport);
  packet.push_back(uint8_t(type >> 8));
  packet.push_back(uint8_t(type));
  sPutBE32(packet, address);
  packet.push_back(format);
  sPutBE32(packet, count);
  return packet;
}
}  // namespace

SDPLoader::SDPLoader() : loader(nullptr) {}

SDPLoader::~SDPLoader() {
  delete loader;
  loader = nullptr;
}

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
  if (!transport || loader) return false;
  loader = transport;
  return true;
}

vErr SDPLoader::init() {
  if (!loader) return vErrMemory;
  return loader->init() ? vErrNone : vErrIO;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
  // The data count field is 32 bits wide: a larger image can't be announced.
  if (image.size() > UINT32_MAX) return kLoadNoCompletion;
  if (!_isConnectionAlive()) return kLoadNotAlive;

  std::vector<uint8_t> command = _createWriteFilePacket(address, uint32_t(image.size()));
  ssize_t written = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(command);
  // Without the command the ROM would take the image bytes for commands.
  if (written <= 0) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return kLoadNoCompletion;
  }

  int total = 0;
  int loop = 0;
  size_t position = 0;
  while (position < image.size()) {
    // The ROM stays silent until the whole image is in; anything else is an error.
    std::vector<uint8_t> stray;
    loader->readData(stray, 0);
    if (!stray.empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kLoadDataDuringTransfer;
    }
    size_t chunk = image.size() - position;
    if (chunk > kDataChunk) chunk = kDataChunk;
    std::vector<uint8_t> packet;
    packet.reserve(chunk + 1);
    packet.push_back(kDataReport);
    packet.insert(packet.end(), image.begin() + position, image.begin() + position + chunk);
    written = loader->writeData(packet);
    total += int(written);
    position += chunk;
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
             written, total, loop, long(position), ssize_t(packet.size()));
    // A lost packet leaves the ROM waiting for bytes that never come.
    if (written <= 0) {
      Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
      return kLoadNoCompletion;
    }
    ++loop;
  }

  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  std::vector<uint8_t> reply;
  loader->readData(reply, kReplyTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  if (_expectSuccess(reply)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return kLoadOk;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return kLoadNoCompletion;
}

void SDPLoader::startLoader(uint32_t address) {
  if (!loader) return;
  std::vector<uint8_t> packet = _createJumpPacket(address);
  ssize_t written = loader->writeData(packet);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(packet);
  std::vector<uint8_t> reply;
  loader->readData(reply, kReplyTimeoutMs);
}

vErr SDPLoader::getFingerprint(uint64_t& value) {
  if (!_isConnectionAlive()) return vErrParam;
  const uint32_t registers[2] = {kFuseLow, kFuseHigh};
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> packet = _create4ByteReadRegisterPacket(registers[i]);
    ssize_t written = loader->writeData(packet);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zd\n", written);
    _printBuffer(packet);
    std::vector<uint8_t> reply;
    ssize_t got = loader->readData(reply, kReplyTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    _printBuffer(reply);
    uint32_t word = 0;
    if (!loader->getDataFromBuffer(reply, 0, word)) return vErrMode;
    value |= uint64_t(word) << (32 * i);
  }
  return vErrNone;
}

bool SDPLoader::_isConnectionAlive() {
  if (!loader) return false;
  std::vector<uint8_t> packet = _createStatusPacket();
  for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
    ssize_t written = loader->writeData(packet);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zd\n", written);
    _printBuffer(packet);
    std::vector<uint8_t> reply;
    ssize_t got = loader->readData(reply, kReplyTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    _printBuffer(reply);
    if (_expectResponse(reply)) return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() {
  std::vector<uint8_t> packet = sCommandHead(kErrorStatus, 0, 0, 0);
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t count) {
  std::vector<uint8_t> packet = sCommandHead(kWriteFile, address, kFormat32, count);
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
  std::vector<uint8_t> packet = sCommandHead(kJumpAddress, address, 0, 0);
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
  std::vector<uint8_t> packet = sCommandHead(kReadRegister, address, kFormat32, 4);
  _fillCommand(packet);
  return packet;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  while (packet.size() < kCommandPacketSize) packet.push_back(0);
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader && loader->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader && loader->getDataFromBuffer(reply, 0, value) && value == kStatusOk;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader && loader->getDataFromBuffer(reply, 0, value) && value == kWriteComplete;
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  if (!Log::IsActive(DEBUG_iMXSerial)) return;
  // Logged in pieces that fit the logger's line buffer; the text is the same.
  std::string text;
  char one[4];
  for (uint8_t byte : bytes) {
    snprintf(one, sizeof one, "%X ", byte);
    text += one;
    if (text.size() > 1500) {
      Log::log(DEBUG_iMXSerial, "%s", text.c_str());
      text.clear();
    }
  }
  text += "\n";
  Log::log(DEBUG_iMXSerial, "%s", text.c_str());
}
