// Packet records: creation, copies, field access and the byte-by-byte
// assembly the link reader uses to cut a stream into packets.
#include "vPacket.h"

#include <cstdlib>
#include <cstring>

vPacket* vPacket_Create() {
  vPacket* packet = static_cast<vPacket*>(calloc(1, sizeof(vPacket)));
  if (packet) packet->check = vPACKET_CHECK;
  return packet;
}

vPacket* vPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes) {
  if (!bytes || length > vPACKET_MAX_DATA) return nullptr;
  vPacket* packet = vPacket_Create();
  if (!packet) return nullptr;
  packet->address = address;
  packet->length = length;
  memcpy(packet->data, bytes, length);
  packet->count = uint8_t(length + 2);
  return packet;
}

vPacket* vPacket_Copy(const vPacket* packet) {
  if (!vVALIDPACKET(packet)) return nullptr;
  // A corrupted length would read past the data; refuse it rather than copy.
  if (packet->length > vPACKET_MAX_DATA) return nullptr;
  return vPacket_CreateWithData(packet->address, packet->length, packet->data);
}

vErr vPacket_GetCmd(const vPacket* packet, uint8_t* out) {
  if (!out) return vErrParam;
  if (!vVALIDPACKET(packet) || packet->length == 0) return vErrPacket;
  *out = packet->data[0];
  return vErrNone;
}

vErr vPacket_GetOption(const vPacket* packet, uint8_t* out) {
  if (!out) return vErrParam;
  if (!vVALIDPACKET(packet) || packet->length <= 1) return vErrPacket;
  *out = packet->data[1] & 0x3F;
  return vErrNone;
}

vErr vPacket_GetIndex(const vPacket* packet, uint8_t* out) {
  if (!out) return vErrParam;
  if (!vVALIDPACKET(packet) || packet->length <= 2) return vErrPacket;
  *out = packet->data[2] & 0x1F;
  return vErrNone;
}

vErr vPacket_Reset(vPacket* packet) {
  if (!vVALIDPACKET(packet)) return vErrParam;
  packet->count = 0;
  packet->address = 0;
  packet->length = 0;
  memset(packet->data, 0, sizeof(packet->data));
  return vErrNone;
}

vErr vPacket_AddByte(vPacket* packet, uint8_t byte) {
  if (!vVALIDPACKET(packet)) return vErrParam;
  // count saturates rather than wrapping, so a packet fed forever keeps
  // reporting an overrun instead of looking empty again.
  if (packet->count < 0xFF) packet->count++;
  uint8_t n = packet->count;
  if (n > vPACKET_MAX_WIRE) return vErrOverrun;
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1)) return vErrPacket;
    packet->address = byte;
    return vErrNone;
  }
  // While no length is stored the byte is the length, also when refused
  // address bytes have already advanced the count.
  if (packet->length == 0) {
    packet->length = byte;
    if (byte > vPACKET_MAX_DATA) return vErrPacket;
    return vErrNone;
  }
  // n is at most 30 here, so even a refused length left stored keeps the
  // index inside the 28 data bytes; a hand-made record whose count is below
  // the first data byte is refused rather than written in front of data.
  if (n < 3 || n > packet->length + 2) return vErrPacket;
  packet->data[n - 3] = byte;
  return vErrNone;
}

bool vPacket_IsComplete(const vPacket* packet) {
  return vVALIDPACKET(packet) && packet->count == packet->length + 2;
}

vErr vPacket_Destroy(vPacket** packet) {
  if (!packet || !*packet) return vErrParam;
  (*packet)->check = 0;
  free(*packet);
  *packet = nullptr;
  return vErrNone;
}
