// The object form of one connection to one Velmarine module: finding and
// connecting to it, UEI requests and replies, raw packets, store slots,
// factory data and the packet log, over a link of the link engine.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

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
