// The broker that shares a USB module over ZeroMQ. Threads talk only through
// socket pairs, each socket used by one thread: the broker thread serves the
// clients (frontend), the sync thread moves one request at a time through the
// USB link, the link's reader thread batches stream packets, and a discovery
// thread (or beacon) announces the broker. Every send between threads is
// non-blocking with bounded retries, so a stalled client never stalls it.
#include "vServer_ZeroMQ.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "Log.h"
#include "vDiscovery.h"
#include "vLink.h"
#include "vMulticast.h"
#include "vTrace.h"
#include "vUEI.h"
#include "zBeaconInterface.h"

namespace {

constexpr int kPollMs = 1000;
constexpr int kSendTries = 100;
constexpr int kPoolTimeToLive = 2000;
constexpr uint64_t kAnnounceMs = 2000;
constexpr int kBeaconIntervalMs = 100;
constexpr uint64_t kBatchAgeMs = 20;
constexpr int kMaxInterfaces = 50;
constexpr int kMulticastAttempts = 50;
constexpr uint8_t kFlushSignal = 5;
constexpr uint8_t kCommandDropped = 0;
constexpr uint8_t kCommandIncoming = 1;
constexpr size_t kCommandSize = 3;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamRequestIndex = 0x20;
constexpr uint8_t kReplyBits = 0x40;   // a set's reply carries 0xC0 in its option byte
constexpr uint8_t kErrorReply = 0x80;  // in the index byte

struct WritePool {
  zframe_t* identity = nullptr;
  std::vector<vPacket*> packets;
  uint8_t lastSequence = 0;
  int ttl = kPoolTimeToLive;
};

// A request whose replies are awaited: the client that sent it (none for the
// broker's own requests, whose replies are dropped) and, for a stream enable
// sent on to the module, the stream key it asks for.
struct Waiting {
  zframe_t* identity = nullptr;
  bool enable = false;
  uint32_t key = 0;
};

// The clients holding one stream on, counted across clients: the module is
// told to start it for the first and to stop it after the last.
struct StreamHolders {
  std::vector<std::string> clients;  // identities
  bool confirmed = false;            // the module accepted the enable
};

void sDestroyPool(WritePool* pool) {
  zframe_destroy(&pool->identity);
  for (vPacket*& p : pool->packets) vPacket_Destroy(&p);
  delete pool;
}

}  // namespace

struct vServer {
  uint16_t check = vSERVER_CHECK;
  uint32_t linkId = 0;
  linkRecord* record = nullptr;  // of the shared link; lives until after the server
  std::atomic<uint32_t> serialNumber{0};
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  bool localOnly = true;
  uint32_t interfaceAddress = 0;
  uint64_t announceStart = 0;  // broker thread
  bool announcing = false;     // broker thread
  zactor_t* broker = nullptr;
  zactor_t* sync = nullptr;
  zactor_t* discovery = nullptr;  // multicast thread
  zactor_t* beacon = nullptr;
  bool beaconMode = false;
  uint16_t frontendPort = 0;
  zsock_t* frontend = nullptr;
  zsock_t* syncWorker = nullptr;
  zsock_t* syncBroker = nullptr;
  zsock_t* streamProducer = nullptr;
  zsock_t* streamBroker = nullptr;
  uint8_t batch[vSERVER_STREAM_BATCH];  // reader thread
  uint16_t batchUsed = 0;
  uint64_t batchStart = 0;
  uint32_t announceAddress = 0;
  std::list<WritePool*>* pools = nullptr;  // broker thread
  uint16_t expectedReplies = 0;            // broker thread
  Waiting replying;                        // broker thread: whom those replies go to
  bool filterInstalled = false;
  std::atomic<uint64_t> dropped{0};
  // Broker thread: clients waiting for replies (front first) and clients
  // that enabled streaming.
  std::deque<Waiting> waiting;
  std::vector<zframe_t*> streaming;
  std::map<uint32_t, StreamHolders> streams;  // by stream key
  uint32_t localAddress = 0;  // the frontend also listens in process (address it is known by)
};

namespace {

bool sValid(const vServer* s) { return s && s->check == vSERVER_CHECK; }

void sTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void sTrace(const char* format, ...) {
  if (!vVelmarineDebuggingEnable || !(vVelmarineDebuggingLevel & vLINK_TRACE_BROKER)) return;
  va_list args;
  va_start(args, format);
  vTrace_VPrintf(format, args);
  va_end(args);
}

struct Part {
  const void* data;
  size_t size;
};

// Sends the parts as one message without blocking, retrying a full queue
// up to 100 times 1 ms apart; false when it could not be sent. The parts are
// the caller's array, so a send allocates nothing (it also runs on the
// link's reader thread).
bool sSendParts(zsock_t* socket, const Part* parts, size_t count) {
  void* handle = zsock_resolve(socket);
  for (int attempt = 0; attempt < kSendTries; attempt++) {
    int rc = zmq_send(handle, parts[0].data, parts[0].size,
                      ZMQ_DONTWAIT | (count > 1 ? ZMQ_SNDMORE : 0));
    if (rc >= 0) {
      // Once the first part is taken, the rest of the message follows it.
      for (size_t i = 1; i < count; i++)
        zmq_send(handle, parts[i].data, parts[i].size, i + 1 < count ? ZMQ_SNDMORE : 0);
      return true;
    }
    if (zmq_errno() != EAGAIN) return false;
    zclock_sleep(1);
  }
  return false;
}

bool sSend(zsock_t* socket, const void* data, size_t size) {
  const Part parts[] = {{data, size}};
  return sSendParts(socket, parts, 1);
}

void sPacketWire(const vPacket* p, uint8_t* wire, size_t* size) {
  wire[0] = p->address;
  wire[1] = p->length;
  memcpy(wire + 2, p->data, p->length);
  *size = size_t(p->length) + 2;
}

void sDropped(vServer* s, const char* why, size_t size) {
  s->dropped++;
  Log::log(DEBUG_Network, "Broker %08X: dropped a client message (%s, %zu bytes)\n",
           s->serialNumber.load(), why, size);
}

// ---------------------------------------------------------------- requests

// The broker thread's lists grow as clients come; growth that fails must not
// throw out of the thread. Appends item, which the list then owns; when item
// is null (making it failed) or the list cannot grow, returns false with the
// list unchanged and item destroyed.
template <typename List, typename Item, typename Destroy>
bool sAppend(List& list, Item* item, Destroy destroy) {
  if (!item) return false;
  try {
    list.push_back(item);
  } catch (const std::bad_alloc&) {
    destroy(item);
    return false;
  }
  return true;
}

void sFreePacket(vPacket* p) { vPacket_Destroy(&p); }

// Adds a copy of the packet to the pool.
bool sPoolAdd(WritePool* pool, const vPacket* p) {
  return sAppend(pool->packets, vPacket_Copy(p), sFreePacket);
}

void sDropPool(vServer* s, WritePool* pool) {
  s->pools->remove(pool);
  sDestroyPool(pool);
}

// Puts a request at the end of the waiting list, with a copy of the client's
// identity (none for the broker's own request). False when it could not.
bool sPushWaiting(vServer* s, zframe_t* identity, bool enable = false, uint32_t key = 0) {
  Waiting w;
  w.identity = identity ? zframe_dup(identity) : nullptr;
  w.enable = enable;
  w.key = key;
  if (identity && !w.identity) return false;
  try {
    s->waiting.push_back(w);
  } catch (const std::bad_alloc&) {
    zframe_destroy(&w.identity);
    return false;
  }
  return true;
}

void sClearWaiting(Waiting* w) {
  zframe_destroy(&w->identity);
  *w = Waiting();
}

std::string sIdentity(zframe_t* identity) {
  return std::string(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
}

void sForgetClient(vServer* s, const std::string& client);

// Sends one frame to a client, once: a client whose queue is full loses it
// (no retry may hold the broker), and a client that is gone is forgotten.
void sSendToClient(vServer* s, zframe_t* identity, const void* data, size_t size) {
  void* handle = zsock_resolve(s->frontend);
  if (zmq_send(handle, zframe_data(identity), zframe_size(identity), ZMQ_DONTWAIT | ZMQ_SNDMORE) <
      0) {
    if (zmq_errno() == EHOSTUNREACH) {
      sForgetClient(s, sIdentity(identity));
    } else {
      s->dropped++;
    }
    return;
  }
  zmq_send(handle, data, size, 0);
}

// A stream key's request: module, command, option and index, big-endian.
uint32_t sStreamKey(const vPacket* p) {
  return uint32_t(p->data[3]) << 24 | uint32_t(p->data[4]) << 16 | uint32_t(p->data[5]) << 8 |
         p->data[6];
}

// Asks the module to stop a stream no client holds any more. Its reply goes
// to nobody.
void sSendOwnDisable(vServer* s, uint32_t key) {
  const uint8_t wire[] = {uint8_t(key >> 24),  7,
                          kStreamCommand,      kStreamDisable,
                          kStreamRequestIndex, uint8_t(key >> 24),
                          uint8_t(key >> 16),  uint8_t(key >> 8),
                          uint8_t(key)};
  if (!sPushWaiting(s, nullptr)) return;
  if (!sSend(s->syncBroker, wire, sizeof wire)) {
    zframe_destroy(&s->waiting.back().identity);
    s->waiting.pop_back();
  }
}

// Removes the client from a stream's holders; true when it held it.
bool sRelease(StreamHolders& holders, const std::string& client) {
  auto it = std::find(holders.clients.begin(), holders.clients.end(), client);
  if (it == holders.clients.end()) return false;
  holders.clients.erase(it);
  return true;
}

// A client whose connection is gone: it gets no more stream batches, and
// each stream only it held is stopped at the module, as if it had disabled
// its streams.
void sForgetClient(vServer* s, const std::string& client) {
  for (auto it = s->streaming.begin(); it != s->streaming.end();) {
    if (sIdentity(*it) == client) {
      zframe_destroy(&*it);
      it = s->streaming.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = s->streams.begin(); it != s->streams.end();) {
    if (sRelease(it->second, client) && it->second.clients.empty()) {
      Log::log(DEBUG_Network, "Broker %08X: client gone, stream %08X stopped\n",
               s->serialNumber.load(), it->first);
      if (it->second.confirmed) sSendOwnDisable(s, it->first);
      it = s->streams.erase(it);
    } else {
      ++it;
    }
  }
}

// The module's answer to a stream enable sent on for a client: the stream
// counts as on once accepted; a refused or unanswered enable holds nothing.
void sEnableAnswered(vServer* s, const Waiting& w, bool accepted) {
  auto it = s->streams.find(w.key);
  if (it == s->streams.end()) return;
  if (accepted) {
    it->second.confirmed = true;
    return;
  }
  if (w.identity) sRelease(it->second, sIdentity(w.identity));
  if (it->second.clients.empty()) s->streams.erase(it);
}

// A stream enable or disable: counted per stream key across clients. The
// module hears the enable of the first client and the disable of the last;
// every other one is answered here with the reply the module would give.
// Returns true when answered here; otherwise *enable says whether the
// request goes on as an enable whose answer must be seen.
bool sHandleStreamSwitch(vServer* s, zframe_t* identity, const vPacket* p, bool* enable) {
  *enable = false;
  if (p->length != 7 || p->data[0] != kStreamCommand ||
      (p->data[1] != kStreamEnable && p->data[1] != kStreamDisable) || (p->data[2] & 0x1F) != 0)
    return false;
  const uint32_t key = sStreamKey(p);
  const std::string client = sIdentity(identity);
  auto it = s->streams.find(key);
  if (p->data[1] == kStreamEnable) {
    try {
      StreamHolders& holders = s->streams[key];
      const bool holds = std::find(holders.clients.begin(), holders.clients.end(), client) !=
                         holders.clients.end();
      if (!holds) holders.clients.push_back(client);
      // Until the module accepted it, each enable goes on and learns its answer.
      if (!holders.confirmed) {
        *enable = true;
        return false;
      }
    } catch (const std::bad_alloc&) {
      return false;  // uncounted, the module still hears it
    }
  } else if (it == s->streams.end()) {
    return false;  // nobody holds it: the module answers
  } else {
    sRelease(it->second, client);
    if (it->second.clients.empty()) {
      s->streams.erase(it);
      return false;  // the last holder: the module stops it
    }
  }
  const uint8_t reply[] = {p->address, 3, kStreamCommand, uint8_t(p->data[1] | kReplyBits), 0};
  sSendToClient(s, identity, reply, sizeof reply);
  return true;
}

// A UEI byte run being collected from one client. Returns true when the
// packet was taken by a pool (sent on, kept or dropped).
bool _handleSetUEIBytes(vServer* s, zframe_t* identity, const vPacket* p) {
  if (!vUEI_isUEIPayload(p) || p->length < 4) return false;
  for (auto it = s->pools->begin(); it != s->pools->end();) {
    WritePool* pool = *it;
    if (pool->ttl-- <= 0) {
      sDestroyPool(pool);
      it = s->pools->erase(it);
    } else {
      ++it;
    }
  }
  WritePool* pool = nullptr;
  for (WritePool* candidate : *s->pools)
    if (zframe_eq(candidate->identity, identity)) pool = candidate;
  const uint8_t sequence = vUEI_getBytesSequence(p);
  const bool continues = vUEI_getBytesContinue(p);
  if (!pool) {
    if (p->length != vPACKET_MAX_DATA || sequence != 0 || !continues) return false;
    // Without room for a pool the run goes to the module packet by packet,
    // as any other request.
    pool = new (std::nothrow) WritePool();
    if (!pool) return false;
    pool->identity = zframe_dup(identity);
    if (!pool->identity || !sPoolAdd(pool, p)) {
      sDestroyPool(pool);
      return false;
    }
    return sAppend(*s->pools, pool, sDestroyPool);
  }
  if (sequence != uint8_t(pool->lastSequence + 1)) {
    sTrace("broker: byte run out of sequence, dropped\n");
    return true;
  }
  // A run that cannot be held whole is dropped whole: the client gets no
  // reply rather than a module that saw part of it.
  if (!sPoolAdd(pool, p)) {
    sDropPool(s, pool);
    sDropped(s, "out of memory", p->length);
    return true;
  }
  if (vUEI_getBytesFullPacket(p) && continues) {
    pool->lastSequence++;
    return true;
  }
  // The final packet: the whole run goes to the module in one piece.
  if (!sPushWaiting(s, identity)) {
    sDropPool(s, pool);
    sDropped(s, "out of memory", p->length);
    return true;
  }
  for (vPacket* q : pool->packets) {
    uint8_t wire[vPACKET_MAX_WIRE];
    size_t size = 0;
    if (!q) continue;
    sPacketWire(q, wire, &size);
    sSend(s->syncBroker, wire, size);
  }
  sDropPool(s, pool);
  return true;
}

// A stream enable puts the client on the streaming list for good. False
// when the list cannot grow; *added says whether it was put there now.
bool sNoteStreaming(vServer* s, zframe_t* identity, const vPacket* p, bool* added) {
  *added = false;
  if (p->length != 7 || p->data[0] != kStreamCommand || p->data[1] != kStreamEnable) return true;
  for (zframe_t* f : s->streaming)
    if (zframe_eq(f, identity)) return true;
  *added = sAppend(s->streaming, zframe_dup(identity), [](zframe_t* f) { zframe_destroy(&f); });
  return *added;
}

void sHandleFrontend(vServer* s) {
  zmsg_t* msg = zmsg_recv(s->frontend);
  if (!msg) return;
  if (zmsg_size(msg) != 2) {
    sDropped(s, "wrong frame count", zmsg_content_size(msg));
    zmsg_destroy(&msg);
    return;
  }
  zframe_t* identity = zmsg_pop(msg);
  zframe_t* frame = zmsg_pop(msg);
  vPacket* p = vPacket_Create();
  vErr err = p ? vServer_FrameToPacket(zframe_data(frame), zframe_size(frame), p) : vErrMemory;
  if (err != vErrNone) {
    sDropped(s, err == vErrSize ? "frame size" : "bad length byte", zframe_size(frame));
  } else {
    // When the lists cannot grow the request is dropped, so the client sees
    // no reply rather than a success without its samples, and a reply never
    // goes to the wrong client.
    bool added = false, enable = false;
    bool room = sNoteStreaming(s, identity, p, &added);
    if (room && !sHandleStreamSwitch(s, identity, p, &enable) &&
        !_handleSetUEIBytes(s, identity, p)) {
      if (p->address != vPACKET_ROUTE_ADDRESS &&
          !sPushWaiting(s, identity, enable, enable ? sStreamKey(p) : 0)) {
        room = false;
        if (added) {
          zframe_destroy(&s->streaming.back());
          s->streaming.pop_back();
        }
        if (enable) {
          Waiting w;
          w.identity = identity;
          w.key = sStreamKey(p);
          sEnableAnswered(s, w, false);
        }
      }
      // A route command belongs to the broker's own link: never forwarded.
      if (room && !(p->address == vPACKET_ROUTE_ADDRESS && p->length == 1)) {
        uint8_t wire[vPACKET_MAX_WIRE];
        size_t size = 0;
        sPacketWire(p, wire, &size);
        sSend(s->syncBroker, wire, size);
      }
    }
    if (!room) sDropped(s, "out of memory", zframe_size(frame));
  }
  vPacket_Destroy(&p);
  zframe_destroy(&frame);
  zframe_destroy(&identity);
  zmsg_destroy(&msg);
}

// One reply of a request: to its client, and, for a stream enable, the
// module's answer to it (an error reply has bit 7 of its index byte set).
void sReply(vServer* s, Waiting* w, zframe_t* frame) {
  const uint8_t* d = zframe_data(frame);
  const size_t size = zframe_size(frame);
  if (w->enable) {
    const bool accepted = size >= 5 && d[2] == kStreamCommand &&
                          d[3] == (kStreamEnable | kReplyBits) && !(d[4] & kErrorReply);
    sEnableAnswered(s, *w, accepted);
    w->enable = false;
  }
  if (w->identity) sSendToClient(s, w->identity, d, size);
}

// A frame from the sync thread: a reply announced by the last command, a
// command, or a reply for the first request waiting.
void sHandleSync(vServer* s) {
  zframe_t* frame = zframe_recv(s->syncBroker);
  if (!frame) return;
  // While replies are expected every frame is a reply, so a one-byte reply
  // (a three-byte frame) is not taken for a command.
  if (s->expectedReplies > 0) {
    sReply(s, &s->replying, frame);
    if (--s->expectedReplies == 0) sClearWaiting(&s->replying);
    zframe_destroy(&frame);
    return;
  }
  if (s->waiting.empty()) {
    zframe_destroy(&frame);
    return;
  }
  Waiting w = s->waiting.front();
  s->waiting.pop_front();
  if (zframe_size(frame) == kCommandSize) {
    const uint8_t* c = zframe_data(frame);
    const uint16_t n = uint16_t(c[1] << 8 | c[2]);
    if (c[0] == kCommandIncoming && n > 0) {
      // The request keeps its place until all n replies have gone to it.
      s->replying = w;
      w = Waiting();
      s->expectedReplies = n;
    } else if (w.enable) {
      sEnableAnswered(s, w, false);  // dropped: the module did not answer
    }
  } else {
    sReply(s, &w, frame);
  }
  sClearWaiting(&w);
  zframe_destroy(&frame);
}

void sHandleStreamBatch(vServer* s) {
  zframe_t* frame = zframe_recv(s->streamBroker);
  if (!frame) return;
  // A client found gone is forgotten while sending, which changes the list:
  // the batch goes to a copy of it.
  std::vector<zframe_t*> clients;
  try {
    for (zframe_t* f : s->streaming) clients.push_back(zframe_dup(f));
  } catch (const std::bad_alloc&) {
  }
  for (zframe_t*& client : clients) {
    if (client) sSendToClient(s, client, zframe_data(frame), zframe_size(frame));
    zframe_destroy(&client);
  }
  zframe_destroy(&frame);
}

void sAnnouncement(vServer* s, uint8_t* image) {
  linkSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.type = linkTypeVMesh;
  spec.serialNumber = s->serialNumber;
  spec.model = s->model;
  spec.t.ip.ipAddress = s->announceAddress;
  spec.t.ip.ipPort = s->frontendPort;
  vLinkSpec_Pack(&spec, image, vLINKSPEC_IMAGE_SIZE);
}

void sHandleBeacon(vServer* s) {
  char* sender = zstr_recv(s->beacon);
  zframe_t* content = sender ? zframe_recv(s->beacon) : nullptr;
  const size_t service = strlen(vDISCOVERY_BEACON_SERVICE);
  if (content && s->model != 0 && !s->announcing && zframe_size(content) >= service &&
      memcmp(zframe_data(content), vDISCOVERY_BEACON_SERVICE, service) == 0) {
    uint8_t image[vLINKSPEC_IMAGE_SIZE];
    sAnnouncement(s, image);
    zsock_send(s->beacon, "sbi", "PUBLISH", image, size_t(vLINKSPEC_IMAGE_SIZE), kBeaconIntervalMs);
    s->announceStart = vTime_GetMSTicks();
    s->announcing = true;
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void sForgetWaiting(vServer* s) {
  for (Waiting& w : s->waiting) sClearWaiting(&w);
  s->waiting.clear();
  sClearWaiting(&s->replying);
  s->expectedReplies = 0;
}

void _serverWorker_broker(zsock_t* pipe, void* argument) {
  vServer* s = static_cast<vServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, s->syncBroker, s->frontend, s->streamBroker, nullptr);
  if (poller && s->beaconMode && s->beacon) zpoller_add(poller, s->beacon);
  zsock_signal(pipe, 0);
  while (poller) {
    void* ready = zpoller_wait(poller, kPollMs);
    if (ready == pipe) {
      zframe_t* signal = zframe_recv(pipe);
      bool flush = signal && zframe_size(signal) == 8 && zframe_data(signal)[0] == kFlushSignal;
      zframe_destroy(&signal);
      if (!flush) break;
      sForgetWaiting(s);
    } else if (ready == s->syncBroker) {
      sHandleSync(s);
    } else if (ready == s->frontend) {
      sHandleFrontend(s);
    } else if (ready == s->streamBroker) {
      sHandleStreamBatch(s);
    } else if (s->beacon && ready == s->beacon) {
      sHandleBeacon(s);
    } else if (zpoller_terminated(poller)) {
      break;
    }
    if (s->announcing && vTime_GetMSTicks() - s->announceStart > kAnnounceMs) {
      zstr_sendx(s->beacon, "SILENCE", nullptr);
      s->announcing = false;
    }
  }
  zpoller_destroy(&poller);
  sForgetWaiting(s);
  for (zframe_t*& f : s->streaming) zframe_destroy(&f);
  s->streaming.clear();
}

// ---------------------------------------------------------------- sync thread

// A packet after which the module sends nothing: a route command, or a
// packet of a byte run that more packets follow.
bool _isResponseRequired(const vPacket* p) {
  if (p->address == vPACKET_ROUTE_ADDRESS) return false;
  return !(vUEI_isUEIPayload(p) && p->length >= 4 && vUEI_getBytesFullPacket(p) &&
           vUEI_getBytesContinue(p));
}

bool _doesPacketContinue(const vPacket* p) {
  return vUEI_isUEIPayload(p) && p->length >= 4 && vUEI_getBytesFullPacket(p) &&
         vUEI_getBytesContinue(p);
}

uint8_t sAcceptAll(const vPacket*, const void*) { return 1; }

void sSyncOne(vServer* s, zsock_t* worker, zframe_t* frame) {
  vPacket* p = vPacket_Create();
  if (!p || vServer_FrameToPacket(zframe_data(frame), zframe_size(frame), p) != vErrNone) {
    vPacket_Destroy(&p);
    return;
  }
  const uint8_t dropped[kCommandSize] = {kCommandDropped, 0, 0};
  const bool reply = _isResponseRequired(p);
  // A late reply to an earlier request must not pass for this one's.
  if (reply) vPacketFifo_DrainPackets(s->record->inQueue, sAcceptAll, nullptr);
  if (vPacketFifo_Put(s->record->outQueue, p) != vErrNone) {
    vPacket_Destroy(&p);
    sSend(worker, dropped, sizeof dropped);
    return;
  }
  vPacket_Destroy(&p);
  if (!reply) return;
  std::vector<vPacket*> kept;
  bool room = true;
  for (;;) {
    vPacket* r = vPacketFifo_Await(s->record->inQueue, vSERVER_REPLY_TIMEOUT_MS);
    if (!r) break;
    if (!sAppend(kept, r, sFreePacket)) {
      room = false;
      break;
    }
    if (!_doesPacketContinue(r)) break;
  }
  // Replies that cannot all be held are not passed on in part: the client
  // is told of a drop, as when none came.
  if (!room) {
    for (vPacket*& r : kept) vPacket_Destroy(&r);
    kept.clear();
    s->dropped++;
  }
  if (kept.empty()) {
    sSend(worker, dropped, sizeof dropped);
    return;
  }
  const uint8_t incoming[kCommandSize] = {kCommandIncoming, uint8_t(kept.size() >> 8),
                                          uint8_t(kept.size())};
  // The command and its replies go as one message: the broker thread wakes
  // once for all of them and finds them complete.
  std::vector<uint8_t> wires;
  std::vector<Part> parts;
  try {
    wires.resize(kept.size() * vPACKET_MAX_WIRE);
    parts.reserve(kept.size() + 1);
  } catch (const std::bad_alloc&) {
    wires.clear();
  }
  if (wires.empty()) {
    // Without room for the message the frames go one by one.
    sSend(worker, incoming, sizeof incoming);
    for (vPacket*& r : kept) {
      uint8_t wire[vPACKET_MAX_WIRE];
      size_t size = 0;
      sPacketWire(r, wire, &size);
      sSend(worker, wire, size);
    }
  } else {
    parts.push_back(Part{incoming, sizeof incoming});
    for (size_t i = 0; i < kept.size(); i++) {
      size_t size = 0;
      sPacketWire(kept[i], &wires[i * vPACKET_MAX_WIRE], &size);
      parts.push_back(Part{&wires[i * vPACKET_MAX_WIRE], size});
    }
    sSendParts(worker, parts.data(), parts.size());
  }
  for (vPacket*& r : kept) vPacket_Destroy(&r);
}

void _serverWorker_syncCommands(zsock_t* pipe, void* argument) {
  vServer* s = static_cast<vServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, s->syncWorker, nullptr);
  zsock_signal(pipe, 0);
  while (poller) {
    void* ready = zpoller_wait(poller, kPollMs);
    if (ready == pipe || zpoller_terminated(poller)) break;
    if (ready != s->syncWorker) continue;
    zframe_t* frame = zframe_recv(s->syncWorker);
    if (frame) sSyncOne(s, s->syncWorker, frame);
    zframe_destroy(&frame);
  }
  zpoller_destroy(&poller);
}

// ---------------------------------------------------------------- streaming filter

// The shared link's user filter (its reader thread): stream packets are
// batched for the clients and kept from the link's queue.
uint8_t _streamingPacketFilter(const vPacket* p, const void* ref) {
  vServer* s = static_cast<vServer*>(const_cast<void*>(ref));
  bool stream = vUEI_isStreamPacket(p);
  if (stream && s->batchUsed + size_t(p->length) + 2 <= sizeof s->batch) {
    if (s->batchUsed == 0) s->batchStart = vTime_GetMSTicks();
    size_t size = 0;
    sPacketWire(p, s->batch + s->batchUsed, &size);
    s->batchUsed = uint16_t(s->batchUsed + size);
  }
  // Sent at the module's heartbeat, when nearly full, and also once the
  // oldest sample waited a moment or other traffic passes, so a module that
  // sends no heartbeats still has its samples delivered.
  const bool heartbeat = p->length == 2 && p->data[0] == 0;
  if (s->batchUsed > 0 && (heartbeat || !stream || s->batchUsed > vSERVER_STREAM_FLUSH ||
                           vTime_GetMSTicks() - s->batchStart >= kBatchAgeMs)) {
    if (!sSend(s->streamProducer, s->batch, s->batchUsed)) s->dropped++;
    s->batchUsed = 0;
  }
  return stream ? 1 : 0;
}

// ---------------------------------------------------------------- discovery

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument) {
  vServer* s = static_cast<vServer*>(argument);
  uint32_t group = 0;
  inet_pton(AF_INET, vDISCOVERY_LOCAL_GROUP, &group);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  vMulticast* receiver = nullptr;
  vMulticast* sender = nullptr;
  for (int attempt = 0; attempt < kMulticastAttempts && !sender; attempt++) {
    int n = 0;
    for (; n < vDISCOVERY_LOCAL_PORT_COUNT && !receiver; n++)
      receiver = vMulticast_Create(loopback, group, vDISCOVERY_LOCAL_REQUEST_PORT + n,
                                   vMULTICAST_RECEIVER);
    if (!receiver) break;
    sender =
        vMulticast_Create(loopback, group, vDISCOVERY_LOCAL_REPLY_PORT + n - 1, vMULTICAST_SENDER);
    if (!sender) vMulticast_Destroy(&receiver);
  }
  zsock_signal(pipe, 0);
  // Requests and the pipe are watched together, so a request is answered
  // at once and an end signal is seen at once.
  zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                             {nullptr, receiver ? receiver->socket : -1, ZMQ_POLLIN, 0}};
  for (;;) {
    int rc = zmq_poll(items, receiver ? 2 : 1, kPollMs);
    if (rc < 0 || (items[0].revents & ZMQ_POLLIN)) break;
    if (!receiver || !(items[1].revents & ZMQ_POLLIN)) continue;
    uint8_t request[16];
    int got = vMulticast_Receive(receiver, request, sizeof request);
    const uint8_t expected[4] = {
        uint8_t(vDISCOVERY_LOCAL_REQUEST), uint8_t(vDISCOVERY_LOCAL_REQUEST >> 8),
        uint8_t(vDISCOVERY_LOCAL_REQUEST >> 16), uint8_t(vDISCOVERY_LOCAL_REQUEST >> 24)};
    if (got == 4 && memcmp(request, expected, 4) == 0 && s->model != 0) {
      uint8_t image[vLINKSPEC_IMAGE_SIZE];
      sAnnouncement(s, image);
      vMulticast_Send(sender, image, sizeof image);
    }
  }
  vMulticast_Destroy(&receiver);
  vMulticast_Destroy(&sender);
}

// The brokers of this process by the address and port their frontend
// listens on: a client of this process reaches one through an in-process
// endpoint of the same frontend, which spares a request the socket
// library's I/O threads on both sides.
struct LocalFrontends {
  std::mutex mutex;
  std::set<std::pair<uint32_t, uint16_t>> listening;
};

LocalFrontends& sLocalFrontends() {
  static LocalFrontends* frontends = new LocalFrontends();  // outlives every broker
  return *frontends;
}

void sLocalEndpoint(char* endpoint, size_t size, uint32_t address, uint16_t port) {
  snprintf(endpoint, size, "inproc://velmarine-frontend-%08x-%u", unsigned(address),
           unsigned(port));
}

// Binds to a free port; the port, or 0.
uint16_t _findPortAndBindSocket(zsock_t* socket, const char* host) {
  int port = zsock_bind(socket, "tcp://%s:*", host);
  return port > 0 ? uint16_t(port) : 0;
}

// The pairs between the threads of this process are in-process endpoints:
// they pass a frame without the kernel or the socket library's I/O thread,
// which keeps a request's way through the broker short. Each pair is named
// by a number no other pair of this process has had.
std::atomic<uint64_t> sPairNumber{0};

bool sPair(zsock_t* bound, zsock_t* connected) {
  unsigned long long number = ++sPairNumber;
  return zsock_bind(bound, "inproc://velmarine-broker-%llu", number) == 0 &&
         zsock_connect(connected, "inproc://velmarine-broker-%llu", number) == 0;
}

void sStartAnnouncer(vServer* s) {
  uint32_t interfaces[kMaxInterfaces];
  int count = vDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  if (!s->localOnly && count > 0) {
    if (s->interfaceAddress == 0 || s->interfaceAddress == htonl(INADDR_LOOPBACK))
      s->interfaceAddress = interfaces[0];
    char dotted[16];
    vDiscovery_ConvertIPv4Interface(s->interfaceAddress, dotted, sizeof dotted);
    if (zBeaconInterface_setAndLock(dotted)) {
      s->beacon = zactor_new(zbeacon, nullptr);
      zBeaconInterface_unlock();
    }
    if (s->beacon) {
      zsock_send(s->beacon, "si", "CONFIGURE", vDISCOVERY_BEACON_PORT);
      char* host = zstr_recv(s->beacon);
      struct in_addr parsed;
      if (host && inet_pton(AF_INET, host, &parsed) == 1) s->announceAddress = parsed.s_addr;
      zstr_free(&host);
      zsock_send(s->beacon, "sb", "SUBSCRIBE", vDISCOVERY_BEACON_SERVICE,
                 strlen(vDISCOVERY_BEACON_SERVICE));
      zsock_set_rcvtimeo(s->beacon, kBeaconIntervalMs);
      s->beaconMode = true;
    }
    return;
  }
  s->announceAddress = htonl(INADDR_LOOPBACK);
  s->discovery = zactor_new(_serverWorker_multicastDiscovery, s);
  s->beaconMode = false;
}

}  // namespace

// ---------------------------------------------------------------- public

vErr vServer_FrameToPacket(const uint8_t* frame, size_t size, vPacket* packet) {
  if (!frame || !vVALIDPACKET(packet)) return vErrParam;
  if (size < vSERVER_FRAME_MIN || size > vSERVER_FRAME_MAX) return vErrSize;
  if (frame[1] > vPACKET_MAX_DATA || size_t(frame[1]) > size - 2) return vErrPacket;
  vPacket_Reset(packet);
  packet->address = frame[0];
  packet->length = frame[1];
  memcpy(packet->data, frame + 2, frame[1]);
  packet->count = uint8_t(frame[1] + 2);
  return vErrNone;
}

vServer* vServer_Create(uint32_t usbLinkId, uint32_t interfaceAddress, bool localOnly) {
  linkRecord* record = vLink_GetRecord(usbLinkId);
  if (!record) return nullptr;
  // Its client lists may allocate as they are built.
  vServer* s = nullptr;
  try {
    s = new vServer();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  s->linkId = usbLinkId;
  s->record = record;
  s->serialNumber = vLink_RegistryGetIdentifier(usbLinkId);
  s->localOnly = localOnly;
  s->interfaceAddress = interfaceAddress ? interfaceAddress : htonl(INADDR_LOOPBACK);
  return s;
}

vErr vServer_Start(vServer* s) {
  if (!sValid(s)) return vErrParam;
  s->expectedReplies = 0;
  s->frontend = zsock_new(ZMQ_ROUTER);
  s->syncBroker = zsock_new(ZMQ_DEALER);
  s->syncWorker = zsock_new(ZMQ_DEALER);
  s->streamBroker = zsock_new(ZMQ_DEALER);
  s->streamProducer = zsock_new(ZMQ_DEALER);
  if (!s->frontend || !s->syncBroker || !s->syncWorker || !s->streamBroker || !s->streamProducer)
    return vErrResource;
  // Nothing lingers at close, and no send waits: a peer that does not read
  // loses messages instead of holding a thread.
  for (zsock_t* z :
       {s->frontend, s->syncBroker, s->syncWorker, s->streamBroker, s->streamProducer}) {
    zsock_set_linger(z, 0);
    zsock_set_sndtimeo(z, 0);
  }
  // A send to a client that is gone fails instead of vanishing, so the
  // broker learns of it and stops the streams only it held.
  zsock_set_router_mandatory(s->frontend, 1);
  sStartAnnouncer(s);
  char host[16] = "127.0.0.1";
  if (!s->localOnly) vDiscovery_ConvertIPv4Interface(s->interfaceAddress, host, sizeof host);
  s->frontendPort = _findPortAndBindSocket(s->frontend, host);
  bool connected = sPair(s->streamBroker, s->streamProducer);
  connected = sPair(s->syncBroker, s->syncWorker) && connected;
  // The same frontend for clients of this process, without the network.
  const uint32_t bound = s->localOnly ? htonl(INADDR_LOOPBACK) : s->interfaceAddress;
  char local[64];
  sLocalEndpoint(local, sizeof local, bound, s->frontendPort);
  if (s->frontendPort && zsock_bind(s->frontend, "%s", local) == 0) {
    LocalFrontends& all = sLocalFrontends();
    std::lock_guard<std::mutex> lock(all.mutex);
    try {
      all.listening.emplace(bound, s->frontendPort);
      s->localAddress = bound;
    } catch (const std::bad_alloc&) {
    }
  }
  s->pools = new (std::nothrow) std::list<WritePool*>();
  if (!s->frontendPort || !connected || !s->pools) return vErrResource;
  s->broker = zactor_new(_serverWorker_broker, s);
  if (s->broker) s->sync = zactor_new(_serverWorker_syncCommands, s);
  if (!s->broker || !s->sync || (!s->discovery && !s->beacon)) return vErrResource;
  if (vLink_InstallUserPacketFilter(s->linkId, _streamingPacketFilter, s) != vErrNone)
    return vErrResource;
  s->filterInstalled = true;
  vPacketFifo_DrainPackets(s->record->inQueue, sAcceptAll, nullptr);
  sTrace("broker %08X: port %u\n", s->serialNumber.load(), unsigned(s->frontendPort));
  return vErrNone;
}

vErr vServer_Destroy(vServer** server) {
  if (!server || !sValid(*server)) return vErrParam;
  vServer* s = *server;
  if (s->localAddress) {
    LocalFrontends& all = sLocalFrontends();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.listening.erase({s->localAddress, s->frontendPort});
  }
  // The filter goes first: once it is removed the reader no longer batches.
  if (s->filterInstalled) vLink_InstallUserPacketFilter(s->linkId, nullptr, nullptr);
  zactor_destroy(&s->sync);
  zactor_destroy(&s->broker);
  zactor_destroy(&s->discovery);
  zactor_destroy(&s->beacon);
  zsock_destroy(&s->syncBroker);
  zsock_destroy(&s->syncWorker);
  zsock_destroy(&s->streamBroker);
  zsock_destroy(&s->streamProducer);
  zsock_destroy(&s->frontend);
  if (s->pools) {
    for (WritePool* pool : *s->pools) sDestroyPool(pool);
    delete s->pools;
  }
  for (Waiting& w : s->waiting) sClearWaiting(&w);
  for (zframe_t*& f : s->streaming) zframe_destroy(&f);
  sClearWaiting(&s->replying);
  s->check = 0;
  delete s;
  *server = nullptr;
  return vErrNone;
}

vErr vServer_GetPort(const vServer* s, uint16_t* port) {
  if (!sValid(s) || !port) return vErrParam;
  *port = s->frontendPort;
  return vErrNone;
}

vErr vServer_GetInterface(const vServer* s, uint32_t* interfaceAddress) {
  if (!sValid(s) || !interfaceAddress) return vErrParam;
  *interfaceAddress = s->interfaceAddress;
  return vErrNone;
}

vErr vServer_SetModuleAddress(vServer* s, uint8_t address) {
  if (!sValid(s)) return vErrParam;
  s->moduleAddress = address;
  return vErrNone;
}

vErr vServer_SetModel(vServer* s, uint8_t model) {
  if (!sValid(s)) return vErrParam;
  s->model = model;
  return vErrNone;
}

vErr vServer_SetSerialNumber(vServer* s, uint32_t serialNumber) {
  if (!sValid(s)) return vErrParam;
  s->serialNumber = serialNumber;
  return vErrNone;
}

vErr vServer_FlushFIFO(vServer* s) {
  if (!sValid(s) || !s->broker) return vErrParam;
  uint8_t signal[8] = {kFlushSignal};
  zframe_t* frame = zframe_new(signal, sizeof signal);
  if (!frame) return vErrMemory;
  if (zframe_send(&frame, s->broker, 0) != 0) {
    zframe_destroy(&frame);
    return vErrIO;
  }
  return vErrNone;
}

bool vServer_LocalEndpoint(uint32_t ipAddress, uint16_t port, char* endpoint, size_t size) {
  if (!endpoint || size == 0) return false;
  LocalFrontends& all = sLocalFrontends();
  std::lock_guard<std::mutex> lock(all.mutex);
  if (!all.listening.count({ipAddress, port})) return false;
  sLocalEndpoint(endpoint, size, ipAddress, port);
  return true;
}

uint64_t vServer_DroppedFrames(const vServer* s) { return sValid(s) ? s->dropped.load() : 0; }
