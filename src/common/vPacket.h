// One module packet: address byte, length byte (0 to 28) and up to 28 data
// bytes, the same bytes as its wire form. Packets are built from data or
// assembled byte by byte from a stream by the link reader.
#pragma once
#include <cstdint>

#include "vErr.h"

#define vPACKET_CHECK 0xBEEF
#define vPACKET_MAX_DATA 28
#define vPACKET_MAX_WIRE (vPACKET_MAX_DATA + 2)
// A zero-length packet to this address asks the module for its own address.
#define vPACKET_MAGIC_ADDRESS 0xAD
// Route command: data[0] = 1 routes the module's traffic to this link, 0 releases it.
#define vPACKET_ROUTE_ADDRESS 0xAF

typedef struct vPacket {
  uint16_t check;  // vPACKET_CHECK while the record is valid
  uint8_t count;   // bytes accepted so far (address 1, length 2, data 3 onwards)
  uint8_t address;
  uint8_t length;
  uint8_t data[vPACKET_MAX_DATA];
} vPacket;

#define vVALIDPACKET(packet) ((packet) != nullptr && (packet)->check == vPACKET_CHECK)

// New empty packet, or none when memory is exhausted.
vPacket* vPacket_Create();
// None when bytes is missing or length is over 28; the address is not validated.
vPacket* vPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes);
// None for an invalid packet.
vPacket* vPacket_Copy(const vPacket* packet);
vErr vPacket_GetCmd(const vPacket* packet, uint8_t* out);
// The option code without the get and set bits.
vErr vPacket_GetOption(const vPacket* packet, uint8_t* out);
// The entity index without bits 5 to 7.
vErr vPacket_GetIndex(const vPacket* packet, uint8_t* out);
vErr vPacket_Reset(vPacket* packet);
// Adds one received byte: vErrPacket for a byte outside the rules, vErrOverrun
// past 30 bytes. After an error the caller resets the packet.
vErr vPacket_AddByte(vPacket* packet, uint8_t byte);
bool vPacket_IsComplete(const vPacket* packet);
// Frees the packet and clears the caller's pointer.
vErr vPacket_Destroy(vPacket** packet);
