// The object form of one connection to one Velmarine module: finding and
// connecting to it, UEI requests and replies, raw packets, store slots,
// factory data and the packet log, over a link of the link engine.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "vErr.h"
#include "vLinkSpec.h"
#include "vPacket.h"
#include "vPacketFifo.h"
#include "vUEI.h"

// 127.0.0.1 in network byte order (first octet in the lowest byte).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define vMESH_LOOPBACK_INTERFACE 0x7F000001u
#else
#define vMESH_LOOPBACK_INTERFACE 0x0100007Fu
#endif

// How a Link shares a USB module through a broker and whether it may fall
// back to the other transport. A plain value, copied in and out.
struct vMeshConfig {
  bool enabled = true;    // USB through a local broker; broker clients allowed
  bool fallback = true;   // discoverAndConnect retries over the other transport
  bool localOnly = true;  // the broker binds to the loopback interface only
  uint16_t port = 0;      // broker port, filled in by a shared USB connection
  uint32_t networkInterface = vMESH_LOOPBACK_INTERFACE;  // IPv4, network byte order
};

namespace Corvane {
namespace Velmarine {

// A subscriber to a module's stream samples: gets the sample packet and its ref.
using StreamCallback = std::function<uint8_t(const vPacket*, void*)>;

// One active stream subscription and its latest value.
struct StreamStatusEntry {
  uint64_t key;
  uint32_t value;
};

// A stream key: module address (bits 24-31), command (16-23), option code
// (8-15), index (0-7) and subindex (32-39); the other bits are 0. In a
// subscription an element of STREAM_KEY_ANY stands for any value.
enum STREAM_KEY : int {
  STREAM_KEY_MODULE_ADDRESS = 0,
  STREAM_KEY_CMD = 1,
  STREAM_KEY_OPTION = 2,
  STREAM_KEY_INDEX = 3,
  STREAM_KEY_SUBINDEX = 4,
};
constexpr uint8_t STREAM_KEY_ANY = 0xFF;

// Kind of a packet a module streams (data[3] of a sample).
enum STREAM_PACKET : uint8_t {
  STREAM_PACKET_NONE = 0,
  STREAM_PACKET_U8 = 1,
  STREAM_PACKET_U16 = 2,
  STREAM_PACKET_U32 = 3,
  STREAM_PACKET_BYTES = 4,  // a multi-packet byte value, never a sample
  STREAM_PACKET_SUBINDEX_U8 = 5,
  STREAM_PACKET_SUBINDEX_U16 = 6,
  STREAM_PACKET_SUBINDEX_U32 = 7,
};

uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex);
// The element by its STREAM_KEY number; 0 for any other number.
uint8_t getStreamKeyElement(uint64_t key, int element);
// Either pointer may be null.
void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);
bool isStreamPacket(const vPacket* packet);
bool isSubindexType(STREAM_PACKET kind);
// False (kind 0) for a packet that is not a stream packet of a known kind.
bool getStreamPacketType(const vPacket* packet, STREAM_PACKET* kind);
bool isStreamSample(const vPacket* packet);
// vErrPacket for no valid sample, vErrSize for a byte value (kind 4); each
// output is written only when its pointer is not null.
vErr getStreamSample(const vPacket* packet, uint64_t* timestamp, uint32_t* value,
                     uint8_t* subindex);

// A ring of a fixed number of slots between exactly one pushing and exactly
// one popping thread; it holds at most slots - 1 values.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t slots) : slots_(slots ? slots : 1), ring_(slots_) {}
  bool push(const T& value) {
    uint16_t write = write_.load(std::memory_order_relaxed);
    uint16_t next = uint16_t(write + 1 == slots_ ? 0 : write + 1);
    if (next == read_.load(std::memory_order_acquire)) return false;
    ring_[next] = value;
    write_.store(next, std::memory_order_release);
    return true;
  }
  bool pop(T& out) {
    uint16_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire)) return false;
    uint16_t next = uint16_t(read + 1 == slots_ ? 0 : read + 1);
    // Moved out, so the slot keeps nothing of the value alive.
    out = std::move(ring_[next]);
    ring_[next] = T();
    read_.store(next, std::memory_order_release);
    return true;
  }
  uint16_t slots() const { return slots_; }

 private:
  const uint16_t slots_;
  std::vector<T> ring_;
  std::atomic<uint16_t> write_{0};
  std::atomic<uint16_t> read_{0};
};

class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Finds the module by serial number (or, for serial 0, the first module of
  // the model; model 0 accepts any) and connects, falling back once to the
  // other of USB and broker when the configuration allows it.
  vErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
  // Connects with the stored specifier; vErrConnection when a link exists.
  vErr connect();
  // Shares the other Link's connection (a module behind a router module).
  vErr connectThroughLinkModule(Link& other);
  bool isConnected();
  // linkStatus of the link; kLinkFault without one.
  uint32_t getStatus();
  vErr disconnect();
  vErr reset();

  // Asks the module for its address with the magic probe (1000 ms).
  vErr getModuleAddress(uint8_t* address);

  vErr sendUEI(const uei& request);
  vErr sendUEI(const uei& request, uint8_t subindex);
  // Waits up to 1000 ms for the reply that reply->address, command, option and
  // index describe; the reply's value and index are written into *reply.
  vErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  vErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                  vPacketFilter filter);
  vErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  // Sends command then length bytes (at most 27).
  vErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits up to 1000 ms for a packet whose first *length data bytes equal
  // match; then *length is its data length and data (28 bytes of room) its data.
  vErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);

  vErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                     size_t length);
  vErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                       size_t bufferLength, size_t* count);
  vErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  vErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);

  vErr getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t length,
                      size_t* count);
  vErr setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length);

  vErr enablePacketLog(const char* fileName);
  vErr disablePacketLog();

  // Stream subscriptions. A subscription names (module, command, option,
  // index), each but the module possibly STREAM_KEY_ANY; the module is told
  // to stream it (or to stop), and the callback, when given, runs on the
  // Link's callback worker for every matching sample, never on the reader.
  vErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              bool enable, StreamCallback callback, void* ref);
  vErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // The module's streaming state (0x5D query).
  vErr isLinkStreaming(uint8_t module, uint8_t* state);
  // The latest streamed value: vErrNone once per new sample, vErrStreamStale
  // (value still written) until the next, vErrNotFound when none arrived.
  vErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t* value);
  // The concrete streams matching the pattern with their latest values, in
  // key order; vErrSize when there were more than capacity.
  vErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                       uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                       size_t* count);
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                               uint8_t index, uint8_t subindex, bool lock);
  // Callbacks dropped because the callback queue was full, since construction.
  uint64_t getStreamDropCount() const;

  const char* getName() const;
  vErr getLinkSpecifier(linkSpec* spec) const;
  vErr setLinkSpecifier(linkSpec spec);
  vErr getConfig(vMeshConfig* config) const;
  vErr setConfig(vMeshConfig config);

  struct impl;

 private:
  std::unique_ptr<impl> pimpl_;
};

}  // namespace Velmarine
}  // namespace Corvane
