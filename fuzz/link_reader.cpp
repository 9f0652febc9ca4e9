// Arbitrary bytes into the link reader's packet assembly and
// synchronisation. The first input byte picks the mode: bit 0 starts in the
// handshake, bit 1 installs a user filter, bit 2 reads 0xFF as an empty read,
// bit 3 reads 0xFE as a read error. Every packet the reader queues must be a
// valid, complete module packet, and nothing may crash or hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vLinkPipe.h"

static uint8_t sTakeEveryFourth(const vPacket* packet, const void*) {
  return (packet->address & 0x06) == 0x04 ? 1 : 0;
}

static void sCheck(bool condition) {
  if (!condition) abort();
}

// Incoming packets: complete, module-addressed, never a heartbeat.
static void sCheckIncoming(uint64_t queue) {
  while (vPacket* p = vPacketFifo_Get(queue)) {
    sCheck(vVALIDPACKET(p));
    sCheck(p->address != 0 && (p->address & 1) == 0);
    sCheck(p->length <= vPACKET_MAX_DATA);
    sCheck(vPacket_IsComplete(p));
    sCheck(!(p->length == 2 && p->data[0] == 0));
    vPacket_Destroy(&p);
  }
}

// Outgoing packets: probes and heartbeat answers only.
static void sCheckOutgoing(uint64_t queue) {
  while (vPacket* p = vPacketFifo_Get(queue)) {
    sCheck(vVALIDPACKET(p));
    bool probe = p->address == vPACKET_MAGIC_ADDRESS && p->length == 0;
    bool answer = p->address != 0 && (p->address & 1) == 0 && p->length == 2 && p->data[0] == 0;
    sCheck(probe || answer);
    vPacket_Destroy(&p);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  linkRecord* record = vLink_CreateDetachedRecord(nullptr);
  if (!record) return 0;
  record->status = kLinkRunning;
  if (mode & 1) vLinkPipe_StartSync(record);
  if (mode & 2) record->userFilter = sTakeEveryFourth;
  for (size_t i = 1; i < size; i++) {
    uint8_t byte = data[i];
    vErr result = vErrNone;
    if ((mode & 4) && byte == 0xFF) result = vErrNotReady;
    if ((mode & 8) && byte == 0xFE) result = vErrIO;
    vLinkPipe_HandleRead(record, result, byte);
    uint32_t status = record->status;
    sCheck(status == kLinkRunning || status == kLinkSyncing || status == kLinkIOError);
    sCheck(record->syncState <= kSyncStateByte4);
    // Keep the queues short so that every packet is checked before the limit drops it.
    if (vPacketFifo_GetLength(record->inQueue) > 500) sCheckIncoming(record->inQueue);
    if (vPacketFifo_GetLength(record->outQueue) > 500) sCheckOutgoing(record->outQueue);
  }
  sCheckIncoming(record->inQueue);
  sCheckOutgoing(record->outQueue);
  vLink_DestroyDetachedRecord(&record);
  return 0;
}
