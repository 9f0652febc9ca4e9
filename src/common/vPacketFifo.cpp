// Packet queues and their process-wide registry. Every operation takes a
// shared reference to the queue under the registry mutex, releases it, and
// only then locks the queue, so a queue destroyed while a thread waits in it
// is freed when that thread leaves.
#include "vPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>

void vPacketDeleter::operator()(vPacket* packet) const { vPacket_Destroy(&packet); }

namespace {

struct packetFifo {
  std::deque<SerialPacket> packets;
  std::condition_variable condition;  // steady clock waits
  std::mutex mutex;
  std::atomic<bool> active{true};
  bool woken = false;  // a wake not yet taken by an Await (guarded by mutex)
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextId{0};
};

typedef std::shared_ptr<packetFifo> FifoRef;

std::map<uint64_t, FifoRef>* gpPacketFifoDictionary = new std::map<uint64_t, FifoRef>();
std::mutex* gpPacketFifoDictionaryMutex = new std::mutex();
std::atomic<uint64_t> gpSequentialId{1};

FifoRef sLookup(uint64_t id) {
  if (id == 0) return nullptr;
  try {
    std::lock_guard<std::mutex> guard(*gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary->find(id);
    if (it == gpPacketFifoDictionary->end()) return nullptr;
    return it->second;
  } catch (...) {
    return nullptr;
  }
}

// Front id after a change of the front (nextId when empty). Caller holds the mutex.
void sUpdateWindow(packetFifo& fifo) {
  fifo.windowStart = fifo.packets.empty() ? fifo.nextId.load() : fifo.packets.front().getId();
}

// Copies the element's packet and erases it; none (queue unchanged) when the copy fails.
vPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator it) {
  vPacket* copy = vPacket_Copy(it->getPacket());
  if (!copy) return nullptr;
  fifo.packets.erase(it);
  sUpdateWindow(fifo);
  return copy;
}

}  // namespace

uint64_t vPacketFifo_Create() {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> guard(*gpPacketFifoDictionaryMutex);
    uint64_t id = gpSequentialId++;
    if (id == 0) id = gpSequentialId++;
    (*gpPacketFifoDictionary)[id] = fifo;
    return id;
  } catch (...) {
    return 0;
  }
}

vErr vPacketFifo_Destroy(uint64_t* id) {
  if (!id) return vErrParam;
  try {
    FifoRef fifo;
    {
      std::lock_guard<std::mutex> guard(*gpPacketFifoDictionaryMutex);
      auto it = gpPacketFifoDictionary->find(*id);
      if (it == gpPacketFifoDictionary->end()) return vErrNotFound;
      fifo = it->second;
      gpPacketFifoDictionary->erase(it);
    }
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->packets.clear();
      fifo->windowStart = fifo->nextId.load();
      fifo->active = false;
    }
    fifo->condition.notify_all();
    *id = 0;
    return vErrNone;
  } catch (...) {
    return vErrUnknown;
  }
}

size_t vPacketFifo_GetLength(uint64_t id) {
  FifoRef fifo = sLookup(id);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return fifo->packets.size();
}

vErr vPacketFifo_Put(uint64_t id, const vPacket* packet) {
  return vPacketFifo_PutNumbered(id, packet, nullptr);
}

vErr vPacketFifo_PutNumbered(uint64_t id, const vPacket* packet, int64_t* number) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !vVALIDPACKET(packet)) return vErrParam;
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    // A queue destroyed since the lookup takes nothing more.
    if (!fifo->active) return vErrParam;
    int64_t elementId = fifo->nextId++;
    if (number) *number = elementId;
    vPacket* copy = vPacket_Copy(packet);
    if (!copy) return vErrMemory;  // the packet is valid: only memory can fail
    try {
      fifo->packets.emplace_back(elementId, copy);
    } catch (...) {
      vPacket_Destroy(&copy);
      return vErrMemory;
    }
    sUpdateWindow(*fifo);
    if (fifo->packets.size() > vPACKETFIFO_LIMIT) {
      // Nobody reads this queue: drop everything rather than grow without bound.
      fifo->packets.clear();
      fifo->windowStart = fifo->nextId.load();
      return vErrNone;
    }
  }
  fifo->condition.notify_all();
  return vErrNone;
}

vPacket* vPacketFifo_Get(uint64_t id) { return vPacketFifo_GetNumbered(id, nullptr); }

vPacket* vPacketFifo_GetNumbered(uint64_t id, int64_t* number) {
  FifoRef fifo = sLookup(id);
  if (!fifo) return nullptr;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  if (fifo->packets.empty()) return nullptr;
  if (number) *number = fifo->packets.front().getId();
  return sTake(*fifo, fifo->packets.begin());
}

vPacket* vPacketFifo_Await(uint64_t id, uint32_t timeoutMs) {
  return vPacketFifo_AwaitNumbered(id, timeoutMs, nullptr);
}

vPacket* vPacketFifo_AwaitNumbered(uint64_t id, uint32_t timeoutMs, int64_t* number) {
  FifoRef fifo = sLookup(id);
  if (!fifo) return nullptr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(fifo->mutex);
  fifo->condition.wait_until(
      lock, deadline, [&] { return !fifo->packets.empty() || !fifo->active || fifo->woken; });
  fifo->woken = false;
  if (fifo->packets.empty()) return nullptr;
  if (number) *number = fifo->packets.front().getId();
  return sTake(*fifo, fifo->packets.begin());
}

int64_t vPacketFifo_GetNextNumber(uint64_t id) {
  FifoRef fifo = sLookup(id);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return fifo->nextId;
}

vErr vPacketFifo_Wake(uint64_t id) {
  FifoRef fifo = sLookup(id);
  if (!fifo) return vErrParam;
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    fifo->woken = true;
  }
  fifo->condition.notify_all();
  return vErrNone;
}

vPacket* vPacketFifo_GetFirst(uint64_t id, vPacketFilter filter, const void* ref) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter) return nullptr;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
    if (filter(it->getPacket(), ref)) return sTake(*fifo, it);
  }
  return nullptr;
}

vPacket* vPacketFifo_AwaitFirst(uint64_t id, vPacketFilter filter, const void* ref,
                                uint32_t timeoutMs) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter) return nullptr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(fifo->mutex);
  // Every element up to lastSeen has been shown to the filter already.
  int64_t lastSeen = fifo->windowStart - 1;
  bool hit = false;
  std::deque<SerialPacket>::iterator found;
  auto test = [&]() {
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
      if (it->getId() <= lastSeen) continue;
      lastSeen = it->getId();
      if (filter(it->getPacket(), ref)) {
        found = it;
        hit = true;
        return true;
      }
    }
    return !fifo->active;
  };
  bool satisfied = test();
  while (!satisfied) {
    bool timedOut = fifo->condition.wait_until(lock, deadline) == std::cv_status::timeout;
    satisfied = test();
    if (timedOut) break;
  }
  if (!hit) return nullptr;
  return sTake(*fifo, found);
}

size_t vPacketFifo_DrainPackets(uint64_t id, vPacketFilter filter, const void* ref) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  size_t before = fifo->packets.size();
  auto kept = fifo->packets.begin();
  for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
    if (!filter(it->getPacket(), ref)) {
      if (kept != it) *kept = std::move(*it);
      ++kept;
    }
  }
  fifo->packets.erase(kept, fifo->packets.end());
  sUpdateWindow(*fifo);
  return before - fifo->packets.size();
}
