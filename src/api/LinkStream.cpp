// Stream subscriptions of a Link: the stream key, the filter that takes stream
// samples out of the packet flow on the link's reader thread and caches their
// values, and the worker that runs subscribers' callbacks from a fixed ring.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>

#include "Link.h"
#include "LinkImpl.h"
#include "Log.h"
#include "vLink.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamQuery = 0x41;
constexpr uint8_t kStreamIndex = 0x20;
constexpr uint8_t kSequenceMask = 0x7F;
constexpr uint8_t kContinues = 0x80;

// Total data length of a valid sample of each kind (0: never a sample).
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint64_t sReplace(uint64_t key, int element, uint8_t value) {
  const int shift[5] = {24, 16, 8, 0, 32};
  key &= ~(uint64_t(0xFF) << shift[element]);
  return key | uint64_t(value) << shift[element];
}

bool sMatches(uint64_t key, const uint8_t query[5]) {
  for (int e = 0; e < 5; e++) {
    if (query[e] != STREAM_KEY_ANY && getStreamKeyElement(key, e) != query[e]) return false;
  }
  return true;
}

// Stream mutex held: removes the rows the pattern matches, allocating nothing.
void sEraseMatching(std::map<uint64_t, StreamEntry>& table, uint8_t module, uint8_t command,
                    uint8_t option, uint8_t index, uint8_t subindex) {
  const uint8_t query[5] = {module, command, option, index, subindex};
  for (auto row = table.begin(); row != table.end();)
    row = sMatches(row->first, query) ? table.erase(row) : std::next(row);
}

bool sHasWildcard(uint64_t key) {
  for (int e = 0; e < 5; e++)
    if (getStreamKeyElement(key, e) == STREAM_KEY_ANY) return true;
  return false;
}

// Reader thread, stream mutex held: hands the callback to the worker, or
// counts it as dropped when the ring is full.
void sQueueAsyncCallback(LinkStreams& s, const StreamEntry& entry, const vPacket* packet) {
  if (!entry.callback) return;
  asyncPacket item;
  item.ref = entry.ref;
  item.packet = vPacket_Copy(packet);
  if (!item.packet) return;
  // Copying the callback allocates; a copy that fails counts as a drop.
  bool queued = false;
  try {
    item.callback = entry.callback;
    queued = s.ring.push(item);
  } catch (const std::bad_alloc&) {
  }
  if (!queued) {
    vPacket_Destroy(&item.packet);
    s.dropped.fetch_add(1, std::memory_order_relaxed);
  }
}

// Reader thread: one stream packet for one Link's table, with the stream
// mutex taken here: queues the callbacks of the rows it matches and caches a
// sample's value.
void sDeliver(LinkStreams& s, const vPacket* packet, STREAM_PACKET kind) {
  uint8_t subindex = isSubindexType(kind) ? packet->data[4] : 0;
  uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                                 packet->data[2] & 0x1F, subindex);
  uint32_t value = 0;
  bool sample = getStreamSample(packet, nullptr, &value, nullptr) == vErrNone;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.table.empty()) return;
  auto exact = s.table.find(key);
  if (exact != s.table.end()) {
    sQueueAsyncCallback(s, exact->second, packet);
    if (sample) {
      exact->second.value = value;
      exact->second.fresh = true;
    }
  }
  // Every pattern with index, option, command and subindex (bits 0 to 3 of
  // the count) replaced by the wildcard; the module address never is.
  static const int kElement[4] = {STREAM_KEY_INDEX, STREAM_KEY_OPTION, STREAM_KEY_CMD,
                                  STREAM_KEY_SUBINDEX};
  bool anyWildcard = false;
  for (int pattern = 1; pattern < 16; pattern++) {
    uint64_t wild = key;
    for (int bit = 0; bit < 4; bit++)
      if (pattern & (1 << bit)) wild = sReplace(wild, kElement[bit], STREAM_KEY_ANY);
    auto found = s.table.find(wild);
    if (found == s.table.end()) continue;
    anyWildcard = true;
    sQueueAsyncCallback(s, found->second, packet);
  }
  if (exact == s.table.end() && anyWildcard && sample) {
    StreamEntry entry;
    entry.key = key;
    entry.value = value;
    entry.fresh = true;
    // Without room the value is simply not cached; the module is asked next time.
    try {
      s.table.emplace(key, entry);
    } catch (const std::bad_alloc&) {
    }
  }
}

// The one user packet filter of a link id while any Link of this process
// has subscribed on it. Every Link on the id gets each stream packet for its
// own table, so one Link subscribing or leaving never takes another's
// samples, and every stream packet is kept out of the link's reply queue.
struct SharedStreamFilter {
  uint32_t linkId = 0;
  // Guards links. Taken by the reader inside the link's user-filter mutex;
  // nobody holding it takes another lock but a Link's stream mutex.
  std::mutex mutex;
  std::vector<LinkStreams*> links;
};

// The shared filters by link id. The mutex is held while a filter is put on
// or taken off a link (that takes the user-filter mutex), never by the reader.
struct SharedStreamFilters {
  std::mutex mutex;
  std::map<uint32_t, SharedStreamFilter*> byLink;
};

SharedStreamFilters& sSharedFilters() {
  static SharedStreamFilters* filters = new SharedStreamFilters();  // outlives every Link
  return *filters;
}

uint8_t sSharedStreamFilter(const vPacket* packet, const void* ref) {
  SharedStreamFilter& f = *static_cast<SharedStreamFilter*>(const_cast<void*>(ref));
  STREAM_PACKET kind;
  if (!getStreamPacketType(packet, &kind)) return 0;
  std::lock_guard<std::mutex> lock(f.mutex);
  for (LinkStreams* s : f.links) sDeliver(*s, packet, kind);
  return 1;
}

// Puts the Link on the shared filter of the link id, making and installing
// the filter for the first Link. The filter is installed again each time: a
// reset of the link clears its user filter.
vErr sJoinSharedFilter(LinkStreams& s, uint32_t linkId) {
  SharedStreamFilters& all = sSharedFilters();
  std::lock_guard<std::mutex> lock(all.mutex);
  SharedStreamFilter* f = nullptr;
  auto found = all.byLink.find(linkId);
  bool made = found == all.byLink.end();
  try {
    if (made) {
      f = new SharedStreamFilter();
      f->linkId = linkId;
      all.byLink[linkId] = f;
    } else {
      f = found->second;
    }
    std::lock_guard<std::mutex> members(f->mutex);
    if (std::find(f->links.begin(), f->links.end(), &s) == f->links.end()) f->links.push_back(&s);
  } catch (const std::bad_alloc&) {
    if (made && f) {
      all.byLink.erase(linkId);
      delete f;
    }
    return vErrMemory;
  }
  s.sharedLink = linkId;
  vErr err = vLink_InstallUserPacketFilter(linkId, sSharedStreamFilter, f);
  if (err != vErrNone && made) {
    // Nothing else is on it: a filter that could not be installed goes again.
    all.byLink.erase(linkId);
    delete f;
    s.sharedLink = 0;
  }
  return err;
}

// Takes the Link off its shared filter; the last Link removes the filter.
// Once this returns the reader no longer reaches the Link's table or ring.
void sLeaveSharedFilter(LinkStreams& s) {
  if (!s.sharedLink) return;
  SharedStreamFilters& all = sSharedFilters();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto found = all.byLink.find(s.sharedLink);
  s.sharedLink = 0;
  if (found == all.byLink.end()) return;
  SharedStreamFilter* f = found->second;
  bool last;
  {
    std::lock_guard<std::mutex> members(f->mutex);
    f->links.erase(std::remove(f->links.begin(), f->links.end(), &s), f->links.end());
    last = f->links.empty();
  }
  if (!last) return;
  // A link already gone answers vErrParam; its filter went with it.
  vLink_InstallUserPacketFilter(f->linkId, nullptr, nullptr);
  all.byLink.erase(found);
  delete f;
}

void sReportDrops(LinkStreams& s, const char* name) {
  uint64_t dropped = s.dropped.load(std::memory_order_relaxed);
  if (dropped == s.reported) return;
  Log::log(DEBUG_Network,
           "Link %s: %llu stream callbacks dropped (callback queue full), %llu in all\n", name,
           (unsigned long long)(dropped - s.reported), (unsigned long long)dropped);
  s.reported = dropped;
}

// The callback worker: runs queued callbacks in order until told to stop.
void asyncWork(LinkStreams* s, std::future<void> stop, std::string name) {
  for (;;) {
    if (stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready) break;
    asyncPacket item;
    bool ran = false;
    while (s->ring.pop(item)) {
      ran = true;
      if (item.callback) item.callback(item.packet, item.ref);
      vPacket_Destroy(&item.packet);
      item.callback = nullptr;
    }
    sReportDrops(*s, name.c_str());
    if (!ran) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sReportDrops(*s, name.c_str());
}

}  // namespace

// ------------------------------------------------------------------ keys and samples

uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex) {
  return uint64_t(index) | uint64_t(option) << 8 | uint64_t(command) << 16 |
         uint64_t(module) << 24 | uint64_t(subindex) << 32;
}

uint8_t getStreamKeyElement(uint64_t key, int element) {
  switch (element) {
    case STREAM_KEY_MODULE_ADDRESS: return uint8_t(key >> 24);
    case STREAM_KEY_CMD: return uint8_t(key >> 16);
    case STREAM_KEY_OPTION: return uint8_t(key >> 8);
    case STREAM_KEY_INDEX: return uint8_t(key);
    case STREAM_KEY_SUBINDEX: return uint8_t(key >> 32);
    default: return 0;
  }
}

void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower) {
  if (upper) *upper = uint32_t(timestamp >> 32);
  if (lower) *lower = uint32_t(timestamp);
}

bool isStreamPacket(const vPacket* packet) {
  return vVALIDPACKET(packet) && vUEI_isStreamPacket(packet);
}

bool isSubindexType(STREAM_PACKET kind) {
  return kind >= STREAM_PACKET_SUBINDEX_U8 && kind <= STREAM_PACKET_SUBINDEX_U32;
}

bool getStreamPacketType(const vPacket* packet, STREAM_PACKET* kind) {
  if (kind) *kind = STREAM_PACKET_NONE;
  if (!isStreamPacket(packet)) return false;
  uint8_t last = packet->data[packet->length - 1];
  STREAM_PACKET found;
  if ((last & kSequenceMask) != 0 || (last & kContinues) != 0)
    found = STREAM_PACKET_BYTES;
  else if (packet->data[3] >= 1 && packet->data[3] <= 7)
    found = STREAM_PACKET(packet->data[3]);
  else
    return false;
  if (kind) *kind = found;
  return true;
}

bool isStreamSample(const vPacket* packet) {
  STREAM_PACKET kind;
  if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES) return false;
  return packet->length == kSampleLength[kind] && packet->data[packet->length - 1] == 0;
}

vErr getStreamSample(const vPacket* packet, uint64_t* timestamp, uint32_t* value,
                     uint8_t* subindex) {
  STREAM_PACKET kind;
  if (!getStreamPacketType(packet, &kind)) return vErrPacket;
  if (kind == STREAM_PACKET_BYTES) return vErrSize;
  if (!isStreamSample(packet)) return vErrPacket;
  const bool sub = isSubindexType(kind);
  const uint8_t* at = &packet->data[sub ? 5 : 4];
  if (timestamp) *timestamp = uint64_t(vUEI_RetrieveInt(at)) << 32 | vUEI_RetrieveInt(at + 4);
  at += 8;
  if (value) {
    switch (kind) {
      case STREAM_PACKET_U8:
      case STREAM_PACKET_SUBINDEX_U8: *value = at[0]; break;
      case STREAM_PACKET_U16:
      case STREAM_PACKET_SUBINDEX_U16: *value = vUEI_RetrieveShort(at); break;
      default: *value = vUEI_RetrieveInt(at); break;
    }
  }
  if (subindex) *subindex = sub ? packet->data[4] : 0;
  return vErrNone;
}

// ------------------------------------------------------------------ filter and worker

void Link::impl::stopWorker() {
  if (!streams.worker.joinable()) return;
  streams.stop.set_value();
  streams.worker.join();
  // Callbacks the worker did not get to are let go with their packets.
  asyncPacket item;
  while (streams.ring.pop(item)) vPacket_Destroy(&item.packet);
}

vErr Link::impl::installStreamFilter(bool on) {
  if (!handle) return vErrConnection;
  if (on) {
    // A Link that moved to another link id leaves the old one's filter first.
    if (streams.sharedLink && streams.sharedLink != handle) sLeaveSharedFilter(streams);
    vErr err = sJoinSharedFilter(streams, handle);
    if (err != vErrNone || streams.worker.joinable()) return err;
    // Each worker gets a fresh stop signal: the last one was used up.
    try {
      streams.stop = std::promise<void>();
      streams.worker = std::thread(asyncWork, &streams, streams.stop.get_future(), name);
      return vErrNone;
    } catch (const std::bad_alloc&) {
      err = vErrMemory;
    } catch (const std::system_error&) {
      err = vErrResource;
    }
    // Without a worker nobody would drain the ring the reader fills: the Link
    // leaves the filter, so what the reader queued is ours to free.
    sLeaveSharedFilter(streams);
    asyncPacket item;
    while (streams.ring.pop(item)) vPacket_Destroy(&item.packet);
    return err;
  }
  // With the table empty the reader queues nothing more for this Link.
  {
    std::lock_guard<std::mutex> lock(streams.mutex);
    streams.table.clear();
  }
  stopWorker();
  return vErrNone;
}

void Link::impl::stopStreams() {
  sLeaveSharedFilter(streams);
  {
    std::lock_guard<std::mutex> lock(streams.mutex);
    streams.table.clear();
  }
  stopWorker();
}

// ------------------------------------------------------------------ operations

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
  const uint8_t query[5] = {module, command, option, index, subindex};
  std::vector<uint64_t> keys;
  if (!pimpl_) return keys;
  std::unique_lock<std::mutex> guard(pimpl_->streams.mutex, std::defer_lock);
  if (lock) guard.lock();
  // Without room for them all, none: a partial list would pass for complete.
  try {
    for (const auto& row : pimpl_->streams.table)
      if (sMatches(row.first, query)) keys.push_back(row.first);
  } catch (const std::bad_alloc&) {
    keys.clear();
  }
  return keys;
}

vErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable, StreamCallback callback, void* ref) {
  if (!pimpl_) return vErrMemory;
  if ((module & 1) != 0) return vErrParam;  // 0xFF included
  LinkStreams& s = pimpl_->streams;
  const uint64_t key = createStreamKey(module, command, option, index, STREAM_KEY_ANY);
  bool empty;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (enable) {
      // Both allocations come before any change, so a failure leaves the
      // table as it was; a row already there keeps its latest value.
      try {
        StreamCallback copy = callback;
        StreamEntry& entry = s.table[key];
        entry.key = key;
        entry.callback = std::move(copy);
        entry.ref = ref;
      } catch (const std::bad_alloc&) {
        return vErrMemory;
      }
    } else {
      sEraseMatching(s.table, module, command, option, index, STREAM_KEY_ANY);
    }
    empty = s.table.empty();
  }
  vErr err = pimpl_->installStreamFilter(!empty);
  if (err == vErrNone) {
    uei request{};
    request.address = module;
    request.command = kStreamCommand;
    request.option = enable ? kStreamEnable : kStreamDisable;
    request.index = kStreamIndex;
    request.kind = ueiKind32;
    request.value.u32 = uint32_t(key);
    err = sendUEI(request);
  }
  if (err == vErrNone) {
    uei reply{};
    reply.address = module;
    reply.command = kStreamCommand;
    reply.option = uint8_t(enable ? kStreamEnable | 0x40 : kStreamDisable | 0x40);
    reply.index = 0;
    err = receiveUEI(module, kStreamCommand, reply.option, 0, &reply);
    if (err == vErrNone && (reply.index & vUEI_INDEX_ERROR))
      err = reply.value.u8 ? vErr(reply.value.u8) : vErrUnknown;
  }
  if (err != vErrNone) {
    bool nowEmpty;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      sEraseMatching(s.table, module, command, option, index, STREAM_KEY_ANY);
      nowEmpty = s.table.empty();
    }
    // A failed subscription that leaves no other leaves no filter or worker
    // behind: the module streams nothing for this Link.
    if (nowEmpty && !empty) pimpl_->stopStreams();
  }
  return err;
}

vErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

vErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (!pimpl_) return vErrMemory;
  if (!state) return vErrParam;
  uei request{};
  request.address = module;
  request.command = kStreamCommand;
  request.option = kStreamQuery;
  request.index = kStreamIndex;
  request.kind = ueiKindNone;
  vErr err = sendUEI(request);
  if (err != vErrNone) return err;
  uei reply{};
  reply.address = module;
  reply.command = kStreamCommand;
  reply.option = kStreamQuery & 0x3F;
  reply.index = 0;
  err = receiveUEI(module, kStreamCommand, reply.option, 0, &reply);
  if (err != vErrNone) return err;
  if (reply.index & vUEI_INDEX_ERROR) return reply.value.u8 ? vErr(reply.value.u8) : vErrUnknown;
  *state = reply.value.u8;
  return vErrNone;
}

vErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
  if (!pimpl_) return vErrMemory;
  if (!value) return vErrParam;
  LinkStreams& s = pimpl_->streams;
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.table.find(createStreamKey(module, command, option, index, subindex));
  if (found == s.table.end()) return vErrNotFound;
  *value = found->second.value;
  bool fresh = found->second.fresh;
  found->second.fresh = false;
  return fresh ? vErrNone : vErrStreamStale;
}

vErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                           size_t* count) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (!entries || !count || capacity == 0) return vErrParam;
  // The table is walked in place, in key order, so the answer needs no
  // allocation of its own.
  const uint8_t query[5] = {module, command, option, index, subindex};
  LinkStreams& s = pimpl_->streams;
  std::lock_guard<std::mutex> lock(s.mutex);
  *count = 0;
  for (const auto& row : s.table) {
    if (!sMatches(row.first, query) || sHasWildcard(row.first)) continue;
    if (*count >= capacity) return vErrSize;
    entries[*count].key = row.first;
    entries[*count].value = row.second.value;
    ++*count;
  }
  return vErrNone;
}

uint64_t Link::getStreamDropCount() const {
  if (!pimpl_) return 0;
  return pimpl_->streams.dropped.load(std::memory_order_relaxed);
}

}  // namespace Velmarine
}  // namespace Corvane
