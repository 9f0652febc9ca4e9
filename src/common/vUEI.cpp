// UEI payload helpers: big-endian values, byte-run sequence bytes, the
// commands whose payload is not UEI, stream samples, and byte-run packets.
#include "vUEI.h"

uint16_t vUEI_RetrieveShort(const uint8_t* bytes) { return uint16_t((bytes[0] << 8) | bytes[1]); }

void vUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = uint8_t(value >> 8);
  buffer[1] = uint8_t(value);
}

uint32_t vUEI_RetrieveInt(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

void vUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = uint8_t(value >> 24);
  buffer[1] = uint8_t(value >> 16);
  buffer[2] = uint8_t(value >> 8);
  buffer[3] = uint8_t(value);
}

void vUEI_ModifyIntBuffer(uint32_t* words, size_t n) {
  if (!words) return;
  for (size_t i = 0; i < n; i++) {
    words[i] = vUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
  }
}

uint8_t vUEI_getBytesSequence(const vPacket* packet) {
  if (!packet || packet->length == 0 || packet->length > vPACKET_MAX_DATA) return 0;
  return packet->data[packet->length - 1] & 0x7F;
}

bool vUEI_getBytesContinue(const vPacket* packet) {
  if (!packet || packet->length == 0 || packet->length > vPACKET_MAX_DATA) return false;
  return (packet->data[packet->length - 1] & vUEI_BYTES_CONTINUE) != 0;
}

bool vUEI_getBytesFullPacket(const vPacket* packet) {
  return packet && (packet->length == 28 || packet->length == 27);
}

bool vUEI_isNotUEIPayload(const vPacket* packet) {
  if (!packet) return false;
  switch (packet->data[0]) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175: return true;
    default: return false;
  }
}

bool vUEI_isUEIPayload(const vPacket* packet) { return !vUEI_isNotUEIPayload(packet); }

bool vUEI_isStreamPacket(const vPacket* packet) {
  return packet && packet->length > 4 && vUEI_isUEIPayload(packet) &&
         (packet->data[1] & (vUEI_OPTION_GET | vUEI_OPTION_SET)) == 0 &&
         (packet->data[2] & vUEI_INDEX_STREAM) != 0;
}

size_t vUEI_BytesPacketCount(size_t size) {
  if (size == 0) return 1;
  return (size + vUEI_BYTES_PER_PACKET - 1) / vUEI_BYTES_PER_PACKET;
}

vPacket* vUEI_CreateBytesPacket(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                const uint8_t* bytes, size_t size, size_t number) {
  if (size > 0 && !bytes) return nullptr;
  size_t total = vUEI_BytesPacketCount(size);
  if (number >= total) return nullptr;
  size_t offset = number * vUEI_BYTES_PER_PACKET;
  size_t k = size - offset < vUEI_BYTES_PER_PACKET ? size - offset : vUEI_BYTES_PER_PACKET;
  uint8_t data[vPACKET_MAX_DATA];
  data[0] = command;
  data[1] = option;
  data[2] = index;
  for (size_t i = 0; i < k; i++) data[3 + i] = bytes[offset + i];
  uint8_t sequence = uint8_t(number & 0x7F);
  if (number + 1 < total) sequence |= vUEI_BYTES_CONTINUE;
  data[3 + k] = sequence;
  return vPacket_CreateWithData(address, uint8_t(4 + k), data);
}
