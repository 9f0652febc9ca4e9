// Packet queues addressed by numeric id: put, get, timed await, filtered get,
// filtered await that tests each packet once, filtered drain, and a limit of
// 1000 packets. Any number of threads may use a queue while it is destroyed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vErr.h"
#include "vPacket.h"

// Most packets a queue holds; the put that would add one more empties it.
#define vPACKETFIFO_LIMIT 1000

// Non-zero when the packet matches. Runs in the caller's thread with the
// queue locked and must not call back into the same queue.
typedef uint8_t (*vPacketFilter)(const vPacket* packet, const void* ref);

struct vPacketDeleter {
  void operator()(vPacket* packet) const;
};

// One queued element: its id in the queue and the queue's own packet.
class SerialPacket {
 public:
  SerialPacket(int64_t id, vPacket* packet) : id_(id), packet_(packet) {}
  SerialPacket(SerialPacket&&) = default;
  SerialPacket& operator=(SerialPacket&&) = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;
  int64_t getId() const { return id_; }
  vPacket* getPacket() const { return packet_.get(); }
  operator vPacket*() const { return packet_.get(); }

 private:
  int64_t id_;
  std::unique_ptr<vPacket, vPacketDeleter> packet_;
};

// Returns the new queue's id, never 0; 0 when creation fails.
uint64_t vPacketFifo_Create();
// Drops every packet, wakes all waiters and sets the caller's id to 0.
vErr vPacketFifo_Destroy(uint64_t* id);
size_t vPacketFifo_GetLength(uint64_t id);
// Appends a copy of the packet; the caller keeps its own.
vErr vPacketFifo_Put(uint64_t id, const vPacket* packet);
// The taking operations hand out a copy that the caller destroys.
vPacket* vPacketFifo_Get(uint64_t id);
vPacket* vPacketFifo_Await(uint64_t id, uint32_t timeoutMs);
// Numbered forms for a queue with one taker that reports back: elementId
// receives the number the queue gave the packet (put order, from 0).
vErr vPacketFifo_PutNumbered(uint64_t id, const vPacket* packet, int64_t* elementId);
vPacket* vPacketFifo_AwaitNumbered(uint64_t id, uint32_t timeoutMs, int64_t* elementId);
vPacket* vPacketFifo_GetNumbered(uint64_t id, int64_t* elementId);
// The number the next put will get (0 for a queue that does not exist).
int64_t vPacketFifo_GetNextNumber(uint64_t id);
// Ends a pending Await at once (it returns the first packet if there is one,
// else none); with none pending, the next Await returns at once instead. For
// a queue with one taker, which the wake is meant for.
vErr vPacketFifo_Wake(uint64_t id);
vPacket* vPacketFifo_GetFirst(uint64_t id, vPacketFilter filter, const void* ref);
vPacket* vPacketFifo_AwaitFirst(uint64_t id, vPacketFilter filter, const void* ref,
                                uint32_t timeoutMs);
// Removes every packet the filter accepts; returns how many.
size_t vPacketFifo_DrainPackets(uint64_t id, vPacketFilter filter, const void* ref);
