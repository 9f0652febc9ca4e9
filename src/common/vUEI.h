// UEI payloads: the typed get, set and value messages carried in the data of
// module packets, the byte-run layout that splits a run of bytes over several
// packets, and the `uei` record that describes one request and its reply.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vPacket.h"

// Option byte bits.
#define vUEI_OPTION_MASK 0x3F
#define vUEI_OPTION_GET 0x40
#define vUEI_OPTION_SET 0x80
// Index byte bits.
#define vUEI_INDEX_MASK 0x1F
#define vUEI_INDEX_REQUEST 0x20
#define vUEI_INDEX_STREAM 0x40
#define vUEI_INDEX_ERROR 0x80
// Byte runs: value bytes per packet and the continuation bit of the sequence byte.
#define vUEI_BYTES_PER_PACKET 24
#define vUEI_BYTES_CONTINUE 0x80

enum ueiKind : int {
  ueiKindNone = 0,
  ueiKind8 = 1,
  ueiKind16 = 2,
  ueiKind32 = 4,
  ueiKindBytes = 5,
};

typedef struct uei {
  uint8_t address;
  uint8_t command;
  uint8_t option;  // as on the wire
  uint8_t index;   // as on the wire; after a reply, the reply's index byte
  union {
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    uint8_t* bytes;  // kind 5: advances as bytes are received
    uint8_t raw[8];
  } value;
  uint8_t sequence;   // byte run: the sequence number expected next
  uint8_t continues;  // byte run: continuation bit of the last packet received
  size_t size;        // bytes to send, or capacity of the receive buffer
  size_t* received;   // counts the bytes received
  int kind;           // ueiKind
} uei;

uint16_t vUEI_RetrieveShort(const uint8_t* bytes);
void vUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint32_t vUEI_RetrieveInt(const uint8_t* bytes);
void vUEI_StoreInt(uint8_t* buffer, uint32_t value);
// Converts n big-endian 32-bit words in place to host order.
void vUEI_ModifyIntBuffer(uint32_t* words, size_t n);
uint8_t vUEI_getBytesSequence(const vPacket* packet);
bool vUEI_getBytesContinue(const vPacket* packet);
bool vUEI_getBytesFullPacket(const vPacket* packet);
bool vUEI_isNotUEIPayload(const vPacket* packet);
bool vUEI_isUEIPayload(const vPacket* packet);
bool vUEI_isStreamPacket(const vPacket* packet);

// Number of packets a byte run of size bytes takes (an empty run takes one).
size_t vUEI_BytesPacketCount(size_t size);
// Packet number `number` (from 0) of the byte run of size bytes to address:
// command, option, index, the next at most 24 value bytes, then the sequence
// byte. None when bytes is missing for a non-empty run or number is past the end.
vPacket* vUEI_CreateBytesPacket(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                const uint8_t* bytes, size_t size, size_t number);
