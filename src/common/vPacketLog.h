// The packet log: a byte ring of records (type, length, bytes) of the packets
// a link sends and receives and of text entries. When full, the oldest
// records make room for the new one.
#pragma once
#include <cstdint>

#include "vErr.h"

enum vPacketLogType : uint8_t {
  vPacketLogSent = 1,
  vPacketLogReceived = 2,
  vPacketLogText = 3,
};

#define vPACKETLOG_DEFAULT_SIZE 65536
#define vPACKETLOG_MAX_SIZE 0x4000000

typedef struct vPacketLog {
  uint8_t logMark;  // enabled mark
  uint8_t* buffer;
  uint32_t size;
  uint32_t readIndex;
  uint32_t writeIndex;
} vPacketLog;

// None when memory is exhausted or size is 0.
vPacketLog* vPacketLog_Create(uint32_t size);
// vErrOverrun when the record cannot fit even in an empty log.
vErr vPacketLog_Put(vPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes);
// length carries the caller's capacity in and the record's length out;
// vErrNotFound when empty, vErrOverrun (record kept) when it does not fit.
vErr vPacketLog_Get(vPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer);
vErr vPacketLog_Destroy(vPacketLog** log);
