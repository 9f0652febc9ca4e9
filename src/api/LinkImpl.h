// The state behind a Link, shared by the files that implement it: the link
// handle, configuration and specifier, and the stream subscriptions with
// their callback worker.
#pragma once
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Link.h"
#include "vLink.h"
#include "vLogger.h"

namespace Corvane {
namespace Velmarine {

// One row of the stream table.
struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;  // a value arrived since the last read
  StreamCallback callback;
  void* ref = nullptr;
  uint32_t value = 0;
};

// One queued callback with its own copy of the sample packet.
struct asyncPacket {
  StreamCallback callback;
  void* ref = nullptr;
  vPacket* packet = nullptr;
};

constexpr uint16_t kStreamRingSlots = 500;
constexpr size_t kLinkNameMax = 1024;

// Stream state of a Link. The mutex guards the table; the reader thread is
// the ring's only producer and the worker its only consumer. While the Link
// has subscribed on a link id it is on that id's shared stream filter, which
// hands every stream packet to each Link on it (several Links may hold one id).
struct LinkStreams {
  std::map<uint64_t, StreamEntry> table;
  std::mutex mutex;
  std::thread worker;
  LocklessQueue_SPSC<asyncPacket> ring{kStreamRingSlots};
  std::promise<void> stop;
  std::atomic<uint64_t> dropped{0};
  uint64_t reported = 0;    // drops already in the diagnostic log (worker only)
  uint32_t sharedLink = 0;  // the link id whose shared filter has this Link; 0: none
};

struct Link::impl {
  Link* owner;
  uint32_t handle = 0;
  bool created = false;  // the last connect ran a create of the link engine
  vLogger* logger = nullptr;
  vMeshConfig config;
  std::string name;
  std::unique_ptr<linkSpec> spec;
  LinkStreams streams;

  impl(Link* o, const char* n) : owner(o), name(n ? std::string(n).substr(0, kLinkNameMax) : "") {}

  bool connected() const { return handle != 0 && vLink_GetStatus(handle) == kLinkRunning; }
  vErr connectHelper();
  vErr linkCreateHelper();
  vErr waitForLink(int rounds);
  // Sends one request and waits for the reply the filter accepts.
  vErr request(uint8_t module, uint8_t length, const uint8_t* data, vPacketFilter filter,
               const void* ref, uint32_t timeoutMs, vPacket** reply);
  uint8_t openSlot(uint8_t module, uint8_t operation, uint8_t store, uint8_t slot);
  vErr closeSlot(uint8_t module, uint8_t handle);
  vErr slotValue(uint8_t module, uint8_t operation, uint8_t store, uint8_t slot, size_t* value);
  vErr closeFactory(uint8_t module, uint8_t selector, size_t count);
  // On: puts the Link on its link id's shared stream filter and starts the
  // worker. Off: clears the table and stops the worker; the Link stays on the
  // filter, so samples still on their way never reach the reply queue.
  vErr installStreamFilter(bool on);
  // Takes the Link off the shared filter (removing the filter when it was the
  // last), clears the table and stops the worker, whatever state they are
  // in; used when the Link or its link goes.
  void stopStreams();
  void stopWorker();
};

}  // namespace Velmarine
}  // namespace Corvane
