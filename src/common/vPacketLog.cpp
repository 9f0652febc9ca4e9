// Packet log ring: records of (type, length, bytes) in a byte ring that
// always keeps one byte free, dropping the oldest records to make room.
#include "vPacketLog.h"

#include <cstdlib>

vPacketLog* vPacketLog_Create(uint32_t size) {
  if (size == 0) return nullptr;
  vPacketLog* log = static_cast<vPacketLog*>(calloc(1, sizeof(vPacketLog)));
  if (!log) return nullptr;
  log->buffer = static_cast<uint8_t*>(malloc(size));
  if (!log->buffer) {
    free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

static uint32_t sUsed(const vPacketLog* log) {
  return (log->writeIndex - log->readIndex + log->size) % log->size;
}

vErr vPacketLog_Put(vPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes) {
  if (!log || !log->buffer || log->size == 0 || (length > 0 && !bytes)) return vErrParam;
  uint32_t need = uint32_t(length) + 2;
  uint32_t free = log->size - sUsed(log);
  while (need < log->size && free <= need) {
    // Drop the oldest record: its type byte, its length byte and its data.
    uint32_t oldLength = log->buffer[(log->readIndex + 1) % log->size];
    log->readIndex = (log->readIndex + 2 + oldLength) % log->size;
    free = log->size - sUsed(log);
  }
  if (free <= need) return vErrOverrun;
  log->buffer[log->writeIndex] = type;
  log->writeIndex = (log->writeIndex + 1) % log->size;
  log->buffer[log->writeIndex] = length;
  log->writeIndex = (log->writeIndex + 1) % log->size;
  for (uint32_t i = 0; i < length; i++) {
    log->buffer[log->writeIndex] = bytes[i];
    log->writeIndex = (log->writeIndex + 1) % log->size;
  }
  return vErrNone;
}

vErr vPacketLog_Get(vPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer) {
  if (!log || !log->buffer || log->size == 0 || !type || !length) return vErrParam;
  if (log->readIndex == log->writeIndex) return vErrNotFound;
  *type = log->buffer[log->readIndex];
  uint8_t recordLength = log->buffer[(log->readIndex + 1) % log->size];
  if (*length < recordLength) {
    *length = recordLength;
    return vErrOverrun;
  }
  if (recordLength > 0 && !buffer) return vErrParam;
  for (uint32_t i = 0; i < recordLength; i++) {
    buffer[i] = log->buffer[(log->readIndex + 2 + i) % log->size];
  }
  log->readIndex = (log->readIndex + 2 + recordLength) % log->size;
  *length = recordLength;
  return vErrNone;
}

vErr vPacketLog_Destroy(vPacketLog** log) {
  if (!log || !*log) return vErrNone;
  free((*log)->buffer);
  free(*log);
  *log = nullptr;
  return vErrNone;
}
