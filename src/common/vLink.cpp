// The link engine: the process-wide registry of links with use counts, the
// creation of links over each transport, their start, synchronisation, stop,
// reset and teardown, the packet operations callers use, and the packet log
// operations of a link.
//
// Lifetimes. A link is an entry held by counted references. The registry
// holds one while the link is registered; every operation takes its own
// under the registry mutex and keeps it until it returns, so the entry and
// its record outlive every operation that started on them. The use count is
// a separate thing: it counts the callers that created (or re-created) the
// link. The destroy that brings it to zero takes the entry out of the
// registry in the same locked step, so no create can pick it up again; it
// then stops the link (joining its threads), ends the server and the link
// beneath, destroys the queues, which wakes every caller waiting in them, and
// lets go of its reference. Whoever lets go of the last reference, that
// destroy or the last operation still running, frees the record, its stream
// and the entry. The link's own threads and a broker's server use the record
// without a reference: the threads are joined and the server is destroyed
// before the destroy lets go.
#include "vLink.h"

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "vLinkPipe.h"
#include "vServer_ZeroMQ.h"
#include "vStream_Serial.h"
#include "vStream_Socket.h"
#include "vStream_USB.h"
#include "vStream_ZeroMQClient.h"
#include "vTrace.h"

std::atomic<uint8_t> vVelmarineDebuggingEnable{0};
std::atomic<uint32_t> vVelmarineDebuggingLevel{0};

#define sSTART_POLLS 200
#define sPOLL_MS 10
#define sSYNC_SETTLE_MS 100
#define sRESET_ATTEMPTS 20
#define sRESET_PAUSE_MS 100
#define sQUERY_ATTEMPTS 5
#define sQUERY_PAUSE_MS 10
#define sQUERY_TIMEOUT_MS 1000
// Longest a create waits for another thread's create of the same module.
#define sBUILD_WAIT_MS 60000
// Longest a sync waits for the writer to write the probes it has queued.
#define sPROBE_WRITE_WAIT_MS 100
// Write failures a link remembers, newest last.
#define sWRITE_FAILURES_KEPT 16

namespace {

void sFreeRecord(linkRecord* record);

struct linkEntry {
  uint32_t id = 0;
  uint32_t underlyingLink = 0;
  vServer* server = nullptr;
  uint32_t identifier = 0;
  uint32_t ipPort = 0;
  uint32_t clientNumber = 0;
  linkType type = linkTypeInvalid;
  int16_t useCount = 0;
  // Set from registration until its creator has it running (or gives it up);
  // meanwhile a create for the same module waits instead of sharing it.
  bool building = true;
  linkRecord* record = nullptr;

  linkEntry() = default;
  linkEntry(const linkEntry&) = delete;
  linkEntry& operator=(const linkEntry&) = delete;
  // Runs in the thread that lets go of the last reference.
  ~linkEntry() { sFreeRecord(record); }
};

typedef std::shared_ptr<linkEntry> LinkRef;

// Registered links by id; ids grow, so the newest link comes last. Never
// freed, so a link destroyed while the process exits finds its registry.
std::map<uint32_t, LinkRef>* gpLinks = new std::map<uint32_t, LinkRef>();
uint32_t gNextId = 1;  // guarded by the registry mutex

std::mutex* gpRegistryMutex = new std::mutex();
// Signalled when a link is built or leaves the registry.
std::condition_variable* gpBuilt = new std::condition_variable();

struct RegistryLock {
  RegistryLock() : hold(*gpRegistryMutex) {}
  std::unique_lock<std::mutex> hold;
};

// The registered entry; none for 0 or an unregistered id. Caller holds the
// registry mutex.
linkEntry* sFind(uint32_t id) {
  if (id == 0) return nullptr;
  auto it = gpLinks->find(id);
  return it == gpLinks->end() ? nullptr : it->second.get();
}

// A reference to a registered link; none for an unregistered id.
LinkRef sAcquire(uint32_t id) {
  if (id == 0) return nullptr;
  RegistryLock lock;
  auto it = gpLinks->find(id);
  if (it == gpLinks->end() || !it->second->record) return nullptr;
  return it->second;
}

// The caller's reference for the length of one operation.
struct Acquired {
  explicit Acquired(uint32_t id) : entry(sAcquire(id)) {}
  linkRecord* record() const { return entry ? entry->record : nullptr; }
  LinkRef entry;
};

// Counts one more holder of the newest link the test accepts and returns its
// id; 0 when there is none (*none set, when given). A link another thread is
// still building is waited for, so it is handed out only once it runs, and a
// failed one not at all. A link over a caller's stream names no module and is
// never handed out. A link shared through a broker is not handed out either:
// `shared` is set. Caller holds the registry mutex in lock.
template <typename Test>
uint32_t sHoldBuiltLocked(RegistryLock& lock, Test accepts, bool* shared, bool* none) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(sBUILD_WAIT_MS);
  for (;;) {
    linkEntry* e = nullptr;
    for (auto it = gpLinks->rbegin(); it != gpLinks->rend() && !e; ++it) {
      if (it->second->type != linkTypeInvalid && accepts(*it->second)) e = it->second.get();
    }
    if (!e) {
      if (none) *none = true;
      return 0;
    }
    if (e->building) {
      if (gpBuilt->wait_until(lock.hold, deadline) == std::cv_status::timeout) return 0;
      continue;
    }
    if (e->server) {
      if (shared) *shared = true;
      return 0;
    }
    e->useCount++;
    return e->id;
  }
}

template <typename Test>
uint32_t sHoldBuilt(Test accepts, bool* shared) {
  RegistryLock lock;
  return sHoldBuiltLocked(lock, accepts, shared, nullptr);
}

// Puts the entry in the registry under the next id. Caller holds the
// registry mutex. 0 when the registry cannot grow.
uint32_t sRegister(const LinkRef& entry) {
  uint32_t id = gNextId++;
  if (id == 0) id = gNextId++;
  entry->id = id;
  entry->record->id = id;
  try {
    (*gpLinks)[id] = entry;
  } catch (...) {
    return 0;  // the entry goes with the last reference
  }
  return id;
}

// A new entry with a zero-filled record; none when memory is exhausted.
LinkRef sNewEntry(uint32_t identifier, uint32_t ipPort, uint32_t clientNumber, linkType type) {
  LinkRef entry;
  try {
    entry = std::make_shared<linkEntry>();
  } catch (...) {
    return nullptr;
  }
  entry->record = new (std::nothrow) linkRecord();
  if (!entry->record) return nullptr;
  entry->identifier = identifier;
  entry->ipPort = ipPort;
  entry->clientNumber = clientNumber;
  entry->type = type;
  return entry;
}

// The newest link with this identifier and port, held once more, or else a
// new entry registered for the caller to build (*created set), in one locked
// step: two creates of one module never both register it. The port is
// compared too, so that two modules behind one IPv4 address on different
// ports get a link each (links keyed by serial number have port 0). 0 when
// the module is shared through a broker (*shared set), when a link being
// built by another thread failed to come up in time, or without memory.
uint32_t sHoldOrRegister(uint32_t identifier, uint32_t port, linkType type, bool* shared,
                         bool* created) {
  *created = false;
  LinkRef fresh = sNewEntry(identifier, port, 0, type);
  if (!fresh) return 0;
  RegistryLock lock;
  bool none = false;
  uint32_t id = sHoldBuiltLocked(
      lock, [&](const linkEntry& c) { return c.identifier == identifier && c.ipPort == port; },
      shared, &none);
  if (!none) return id;
  id = sRegister(fresh);
  *created = id != 0;
  return id;
}

// Makes a link its creator has running available to others; returns its id.
uint32_t sBuilt(uint32_t id) {
  {
    RegistryLock lock;
    if (linkEntry* e = sFind(id)) e->building = false;
  }
  gpBuilt->notify_all();
  return id;
}

void sTrace(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void sTrace(uint32_t level, const char* format, ...) {
  if (!vVelmarineDebuggingEnable || !(vVelmarineDebuggingLevel & level)) return;
  va_list args;
  va_start(args, format);
  vTrace_VPrintf(format, args);
  va_end(args);
}

vErr sForceRoute(linkRecord* record, uint8_t value) {
  vPacket* packet = vPacket_CreateWithData(vPACKET_ROUTE_ADDRESS, 1, &value);
  if (!packet) return vErrMemory;
  vErr err = vPacketFifo_Put(record->outQueue, packet);
  vPacket_Destroy(&packet);
  return err;
}

// Everything a record owns apart from the stream and the user filter with
// its mutex: queues, assembly packet, packet log and its mutex. Safe on a
// zero-filled record.
void sReleaseContents(linkRecord* record) {
  if (record->inQueue) vPacketFifo_Destroy(&record->inQueue);
  if (record->outQueue) vPacketFifo_Destroy(&record->outQueue);
  if (record->packet) vPacket_Destroy(&record->packet);
  vPacketLog* log = record->log.exchange(nullptr);
  vPacketLog_Destroy(&log);
  vMutex* logMutex = record->logMutex.exchange(nullptr);
  if (logMutex) vMutex_Destroy(&logMutex);
}

// What goes only with the record: the user filter and its mutex.
void sReleaseFilter(linkRecord* record) {
  if (record->userFilterMutex) vMutex_Destroy(&record->userFilterMutex);
  record->userFilter = nullptr;
  record->userFilterRef = nullptr;
}

// Stops what may still run on the record and frees it with everything it owns.
void sFreeRecord(linkRecord* record) {
  if (!record) return;
  vLink_Stop(record);
  sReleaseContents(record);
  sReleaseFilter(record);
  vStream_Destroy(&record->stream);
  record->check = 0;
  delete record;
}

// A fresh record, or one reset: the user filter and its mutex stay as they
// are, since another thread may be installing a filter meanwhile.
bool sInitRecord(linkRecord* record, uint32_t id, vStream* stream) {
  // A record initialised again (reset) lets go of what it held first.
  sReleaseContents(record);
  record->id = id;
  record->check = vLINK_CHECK;
  record->running = 0;
  record->stream = stream;
  record->status = stream ? kLinkStopped : kLinkNoStream;
  record->readerThread = nullptr;
  record->writerThread = nullptr;
  record->inQueue = vPacketFifo_Create();
  record->outQueue = vPacketFifo_Create();
  record->readerProc = vLinkPipe_InProcess;
  record->writerProc = vLinkPipe_OutProcess;
  record->readerStarted = 0;
  record->writerStarted = 0;
  record->packet = vPacket_Create();
  record->logSize = 0;
  record->syncState = kSyncStateIdle;
  record->syncAddress = 1;
  {
    // New queues number their packets from 0 again.
    std::lock_guard<std::mutex> hold(record->writeMutex);
    record->lastWritten = -1;
    record->writeFailures.clear();
    record->writerEnded = false;
  }
  if (!record->userFilterMutex) {
    char name[64];
    snprintf(name, sizeof(name), "vLink(%p)->userFilterSema", static_cast<void*>(record));
    record->userFilterMutex = vMutex_Create(name);
  }
  return record->inQueue && record->outQueue && record->packet && record->userFilterMutex;
}

// Makes the stream of a link type: the creation switch shared by creation and reset.
vErr sCreateStream(linkType type, uint32_t identifier, uint32_t port, vStream** stream) {
  *stream = nullptr;
  switch (type) {
    case linkTypeTCPIP: return vStream_CreateSocket(identifier, port, stream);
    case linkTypeUSB: return vStream_CreateUSB(identifier, stream);
    case linkTypeVMesh: return vStream_CreateClient(identifier, uint16_t(port), stream);
    default: return vErrParam;
  }
}

vErr sResetLink(linkEntry* entry) {
  linkRecord* record = entry->record;
  vLink_Stop(record);
  vPacketFifo_Destroy(&record->inQueue);
  vPacketFifo_Destroy(&record->outQueue);
  vStream_Destroy(&record->stream);
  vStream* stream = nullptr;
  vErr made = vErrNone;
  for (int attempt = 0; attempt < sRESET_ATTEMPTS; attempt++) {
    made = sCreateStream(entry->type, entry->identifier, entry->ipPort, &stream);
    if (made == vErrNone && stream) break;
    if (made == vErrParam || made == vErrUnimplemented) break;  // no retry can help
    vTime_MSSleep(sRESET_PAUSE_MS);
  }
  // Without a new stream the link still gets fresh queues, so its threads
  // wait on them rather than spin, and it reports status 6 from then on.
  vLink_Init(entry->id, stream);
  vErr result = vLink_Start(entry->id);
  // Its reader may report status 2 for a moment before the first read fails;
  // a reset that left the link without a stream never counts as a success.
  if (!stream && result == vErrNone) result = made != vErrNone ? made : vErrConnection;
  // A USB module is synchronised again, as when the link was created.
  if (result == vErrNone && entry->type == linkTypeUSB) {
    result = vLink_Sync(entry->id);
    if (result == vErrNone) result = vLink_ForceRoute(entry->id, 1);
  }
  return result;
}

// Joins a link thread; false when the join failed.
bool sJoin(vThread** thread) { return !*thread || vThread_Destroy(thread) == 0; }

uint8_t sAcceptAll(const vPacket*, const void*) { return 1; }

}  // namespace

// ---------------------------------------------------------------- registry

uint32_t vLink_RegistryCreate(uint32_t identifier, uint32_t ipPort, uint32_t clientNumber,
                              linkType type) {
  LinkRef entry = sNewEntry(identifier, ipPort, clientNumber, type);
  if (!entry) return 0;
  RegistryLock lock;
  return sRegister(entry);
}

uint32_t vLink_RegistryFindByIdentifier(uint32_t identifier) {
  RegistryLock lock;
  for (auto it = gpLinks->rbegin(); it != gpLinks->rend(); ++it) {
    if (it->second->identifier == identifier) return it->first;
  }
  return 0;
}

uint32_t vLink_RegistryFindByKey(uint32_t identifier, uint32_t ipPort, uint32_t clientNumber) {
  RegistryLock lock;
  for (auto it = gpLinks->rbegin(); it != gpLinks->rend(); ++it) {
    const linkEntry& e = *it->second;
    if (e.identifier == identifier && e.ipPort == ipPort && e.clientNumber == clientNumber) {
      return it->first;
    }
  }
  return 0;
}

vErr vLink_RegistryChangeUseCount(uint32_t id, int16_t delta) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  if (!entry) return vErrNotFound;
  entry->useCount = int16_t(entry->useCount + delta);
  return vErrNone;
}

int32_t vLink_RegistryGetUseCount(uint32_t id) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  return entry ? entry->useCount : -1;
}

vErr vLink_RegistrySetUnderlyingLink(uint32_t id, uint32_t underlyingLink) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  if (!entry) return vErrNotFound;
  entry->underlyingLink = underlyingLink;
  return vErrNone;
}

vErr vLink_RegistrySetServer(uint32_t id, vServer* server) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  if (!entry) return vErrNotFound;
  entry->server = server;
  return vErrNone;
}

vServer* vLink_RegistryGetServer(uint32_t id) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  return entry ? entry->server : nullptr;
}

uint32_t vLink_RegistryGetIdentifier(uint32_t id) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  return entry ? entry->identifier : 0;
}

uint32_t vLink_RegistryGetUnderlyingLink(uint32_t id) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  return entry ? entry->underlyingLink : 0;
}

linkRecord* vLink_GetRecord(uint32_t id) {
  RegistryLock lock;
  linkEntry* entry = sFind(id);
  return entry ? entry->record : nullptr;
}

// ---------------------------------------------------------------- creation

uint32_t vLink_CreateUSB(uint32_t serialNumber) {
  // A module shared through a broker must be reached as a client.
  bool shared = false, created = false;
  uint32_t id = sHoldOrRegister(serialNumber, 0, linkTypeUSB, &shared, &created);
  if (!created) return id;
  vStream* stream = nullptr;
  vErr err = sCreateStream(linkTypeUSB, serialNumber, 0, &stream);
  if (vLink_Init(id, stream) != id && err == vErrNone) err = vErrConnection;
  if (err == vErrNone && stream) {
    vLink_RegistryChangeUseCount(id, 1);
    err = vLink_Start(id);
    if (err == vErrNone) err = vLink_Sync(id);
    if (err == vErrNone) err = vLink_ForceRoute(id, 1);
  }
  if (err != vErrNone || !stream) {
    sTrace(vLINK_TRACE_LIFECYCLE, "vLink_CreateUSB(%08X) failed: %s\n", serialNumber,
           vError_GetErrorText(err));
    vLink_Destroy(&id);
    return 0;
  }
  return sBuilt(id);
}

uint32_t vLink_CreateTCPIP(uint32_t ipAddress, uint32_t port) {
  bool created = false;
  uint32_t id = sHoldOrRegister(ipAddress, port, linkTypeTCPIP, nullptr, &created);
  if (!created) return id;
  vStream* stream = nullptr;
  vErr err = sCreateStream(linkTypeTCPIP, ipAddress, port, &stream);
  // A module that cannot be reached gives no link: without a stream the link
  // could never carry a packet, and the caller learns it at once.
  if (err == vErrNone && vLink_Init(id, stream) == id)
    err = vLink_Start(id);
  else if (err == vErrNone)
    err = vErrConnection;
  if (err != vErrNone) {
    sTrace(vLINK_TRACE_LIFECYCLE, "vLink_CreateTCPIP failed: %s\n", vError_GetErrorText(err));
    vLink_Destroy(&id);
    return 0;
  }
  vLink_RegistryChangeUseCount(id, 1);
  return sBuilt(id);
}

uint32_t vLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  bool created = false;
  uint32_t id = sHoldOrRegister(serialNumber, 0, linkTypeSerial, nullptr, &created);
  if (!created) return id;
  uint32_t code;
  switch (baudRate) {
    case 2400: code = 0; break;
    case 4800: code = 1; break;
    case 9600: code = 2; break;
    case 19200: code = 3; break;
    case 38400: code = 4; break;
    case 57600: code = 5; break;
    case 115200: code = 6; break;
    case 230400: code = 7; break;
    default: vLink_Destroy(&id); return 0;  // no entry is left behind
  }
  vStream* stream = nullptr;
  vErr err = vStream_CreateSerial(portName, code, 0, 0, 0, &stream);
  if (vLink_Init(id, stream) != id && err == vErrNone) err = vErrConnection;
  if (err == vErrNone && stream) {
    vLink_RegistryChangeUseCount(id, 1);
    err = vLink_Start(id);
  }
  if (err != vErrNone || !stream) {
    sTrace(vLINK_TRACE_LIFECYCLE, "vLink_CreateSerial(%s) failed: %s\n", portName ? portName : "",
           vError_GetErrorText(err));
    vLink_Destroy(&id);
    return 0;
  }
  return sBuilt(id);
}

uint32_t vLink_Create(vStream* stream) {
  uint32_t id = vLink_RegistryCreate(vLINK_ANY_IDENTIFIER, 0, 0, linkTypeInvalid);
  if (!id) {
    vStream_Destroy(&stream);
    return 0;
  }
  if (vLink_Init(id, stream) != id || vLink_Start(id) != vErrNone) {
    vLink_Destroy(&id);
    return 0;
  }
  vLink_RegistryChangeUseCount(id, 1);
  return sBuilt(id);
}

// ---------------------------------------------------------------- broker

namespace {

unsigned _clientCount = 0;  // guarded by the registry mutex

vPacket* sAwaitAny(uint32_t id, uint8_t address, uint8_t length, const uint8_t* data) {
  uint8_t none = 0;
  vPacket* request = vPacket_CreateWithData(address, length, length ? data : &none);
  if (!request) return nullptr;
  vErr err = vLink_PutPacket(id, request);
  vPacket_Destroy(&request);
  return err == vErrNone ? vLink_AwaitPacket(id, sQUERY_TIMEOUT_MS) : nullptr;
}

// Asks the module over the new client link for its address and model and
// tells the server; on failure the server forgets the client's requests.
vErr sQueryAddressAndModel(uint32_t id, vServer* server) {
  vErr err = vErrNone;
  vPacket* reply = sAwaitAny(id, vPACKET_MAGIC_ADDRESS, 0, nullptr);
  if (!reply) {
    err = vErrTimeout;
  } else if (reply->length != 0 || reply->address == 0) {
    err = vErrIO;
  } else {
    const uint8_t address = reply->address;
    vServer_SetModuleAddress(server, address);
    vPacket_Destroy(&reply);
    const uint8_t model[] = {3, 0x48, 0x20};
    reply = sAwaitAny(id, address, sizeof model, model);
    if (!reply)
      err = vErrTimeout;
    else if (reply->length != 4 || reply->address != address || reply->data[0] != 3)
      err = vErrIO;
    else
      vServer_SetModel(server, reply->data[3]);
  }
  vPacket_Destroy(&reply);
  if (err != vErrNone) vServer_FlushFIFO(server);
  return err;
}

}  // namespace

uint32_t vLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                            bool localOnly) {
  if (!port || !interfaceAddress) return 0;
  uint32_t usb = vLink_CreateUSB(serialNumber);
  if (!usb) return 0;
  vServer* server = vServer_Create(usb, *interfaceAddress, localOnly);
  if (!server) {
    vLink_Destroy(&usb);
    return 0;
  }
  vLink_RegistrySetServer(usb, server);
  uint32_t client = 0;
  uint32_t address = 0;
  uint16_t brokerPort = 0;
  vErr err = vServer_Start(server);
  if (err == vErrNone) {
    vServer_GetPort(server, &brokerPort);
    vServer_GetInterface(server, &address);
    client = vLink_CreateClient(localOnly ? htonl(INADDR_LOOPBACK) : address, brokerPort, 0);
    if (!client) err = vErrConnection;
  }
  if (err == vErrNone) {
    vLink_RegistrySetUnderlyingLink(client, usb);
    err = vErrTimeout;
    for (int attempt = 0; attempt < sQUERY_ATTEMPTS && err != vErrNone; attempt++) {
      if (attempt) vTime_MSSleep(sQUERY_PAUSE_MS);
      err = sQueryAddressAndModel(client, server);
    }
  }
  if (err != vErrNone) {
    sTrace(vLINK_TRACE_BROKER, "vLink_CreateServer(%08X) failed: %s\n", serialNumber,
           vError_GetErrorText(err));
    // The client link takes the shared link (and its server) with it.
    if (client)
      vLink_Destroy(&client);
    else
      vLink_Destroy(&usb);
    return 0;
  }
  *port = brokerPort;
  *interfaceAddress = address;
  return client;
}

uint32_t vLink_CreateClient(uint32_t ipAddress, uint16_t port, uint32_t existingId) {
  if (existingId) {
    RegistryLock lock;
    linkEntry* entry = sFind(existingId);
    if (!entry) return 0;
    entry->useCount++;
    return entry->id;
  }
  uint32_t number;
  {
    RegistryLock lock;
    number = _clientCount;
  }
  uint32_t existing = sHoldBuilt(
      [&](const linkEntry& e) {
        return e.identifier == ipAddress && e.ipPort == port && e.clientNumber == number;
      },
      nullptr);
  if (existing) return existing;
  uint32_t id = vLink_RegistryCreate(ipAddress, port, number, linkTypeVMesh);
  if (!id) return 0;
  {
    RegistryLock lock;
    _clientCount++;
  }
  vStream* stream = nullptr;
  vErr err = vStream_CreateClient(ipAddress, port, &stream);
  if (err == vErrNone && vLink_Init(id, stream) == id)
    err = vLink_Start(id);
  else if (err == vErrNone)
    err = vErrConnection;
  if (err != vErrNone) {
    sTrace(vLINK_TRACE_BROKER, "vLink_CreateClient failed: %s\n", vError_GetErrorText(err));
    vLink_Destroy(&id);
    return 0;
  }
  vLink_RegistryChangeUseCount(id, 1);
  return sBuilt(id);
}

// ---------------------------------------------------------------- lifecycle

uint32_t vLink_Init(uint32_t id, vStream* stream) {
  linkRecord* record = vLink_GetRecord(id);
  if (!record) return 0;
  // The stream belongs to the record even when something else fails.
  sInitRecord(record, id, stream);
  if (!record->inQueue || !record->outQueue || !record->packet || !record->userFilterMutex) {
    return 0;
  }
  return id;
}

// Waits up to ms for the test on the record to hold, woken by every status
// change; returns whether it held.
template <typename Test>
bool sAwaitStatus(linkRecord* record, uint32_t ms, Test holds) {
  std::unique_lock<std::mutex> hold(record->statusMutex);
  return record->statusChanged.wait_for(hold, std::chrono::milliseconds(ms), holds);
}

vErr vLink_Start(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  if (record->running) return vErrNone;
  record->running = 1;
  vLink_SetStatus(record, kLinkStarting);
  record->readerStarted = 0;
  record->writerStarted = 0;
  {
    std::lock_guard<std::mutex> hold(record->writeMutex);
    record->writerEnded = false;
  }
  record->readerThread = vThread_Create(record->readerProc, record);
  if (record->readerThread) record->writerThread = vThread_Create(record->writerProc, record);
  if (!record->readerThread || !record->writerThread) {
    // Leave no half-started link behind.
    record->running = 0;
    vPacketFifo_Wake(record->outQueue);
    vStream_Interrupt(record->stream);
    sJoin(&record->readerThread);
    record->status = record->stream ? kLinkStopped : kLinkNoStream;
    return vErrResource;
  }
  bool started = sAwaitStatus(record, sSTART_POLLS * sPOLL_MS, [record] {
    return record->readerStarted && record->writerStarted && record->status == kLinkRunning;
  });
  if (!started) {
    sTrace(vLINK_TRACE_LIFECYCLE, "vLink_Start(%u): threads did not start\n", id);
    return vErrIndexRange;
  }
  return sForceRoute(record, 1);
}

vErr vLink_Sync(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  vLink_SetStatus(record, kLinkSyncing);
  // The read the reader has pending ends now and counts as the empty read
  // after which it sends its probes.
  vStream_Interrupt(record->stream);
  bool stopped = false;
  bool synced = sAwaitStatus(record, sSTART_POLLS * sPOLL_MS, [record, &stopped] {
    uint32_t status = record->status;
    stopped = status == kLinkStopping || status == kLinkStopped || !record->running;
    return status == kLinkRunning || stopped;
  });
  vErr result = synced && !stopped ? vErrNone : vErrNotReady;
  sTrace(vLINK_TRACE_LIFECYCLE, "vLink_Sync(%u): %s\n", id, vError_GetErrorText(result));
  if (result == vErrNone) {
    // The handshake ends as soon as two probes are answered, while the writer
    // may still be writing the others: let it finish the round it has.
    int64_t last = vPacketFifo_GetNextNumber(record->outQueue) - 1;
    std::unique_lock<std::mutex> hold(record->writeMutex);
    record->writeDone.wait_for(hold, std::chrono::milliseconds(sPROBE_WRITE_WAIT_MS),
                               [&] { return record->lastWritten >= last || record->writerEnded; });
  }
  // Drop the probes not yet sent and, once the module had time to answer the
  // rest, the surplus answers. A link being stopped is left alone: what its
  // stop queued (the route release) must go out.
  if (stopped) return result;
  vPacketFifo_DrainPackets(record->outQueue, sAcceptAll, nullptr);
  vTime_MSSleep(sSYNC_SETTLE_MS);
  vPacketFifo_DrainPackets(record->inQueue, sAcceptAll, nullptr);
  return result;
}

vErr vLink_ForceRoute(uint32_t id, uint8_t value) {
  Acquired link(id);
  if (!link.entry) {
    RegistryLock lock;
    return sFind(id) ? vErrParam : vErrNotFound;
  }
  return sForceRoute(link.record(), value);
}

vErr vLink_Stop(linkRecord* record) {
  if (!record) return vErrParam;
  uint32_t status = record->status;
  if (status == kLinkStopping || status == kLinkStopped) return vErrNone;
  // Also ends a sync that waits for the handshake.
  vLink_SetStatus(record, kLinkStopping);
  vErr result = vErrNone;
  if (record->readerThread || record->writerThread) {
    // Queued straight on the record: during teardown the id is no longer
    // registered. The writer writes it, and everything queued before it,
    // before it ends.
    result = sForceRoute(record, 0);
    record->running = 0;
    // Neither thread waits out a timer: the writer's queue wait and the
    // reader's pending read end now.
    vPacketFifo_Wake(record->outQueue);
    vStream_Interrupt(record->stream);
    if (!sJoin(&record->readerThread)) result = vErrUnknown;
    if (!sJoin(&record->writerThread)) result = vErrUnknown;
  }
  record->running = 0;
  record->readerStarted = 0;
  record->writerStarted = 0;
  vPacket_Reset(record->packet);
  vLink_SetStatus(record, kLinkStopped);
  return result;
}

void vLink_SetStatus(linkRecord* record, uint32_t status) {
  record->status = status;
  vLink_AnnounceStatus(record);
}

void vLink_AnnounceStatus(linkRecord* record) {
  // Taken between the change and the wake, so a waiter that has just found
  // the old state is already waiting when the wake comes.
  { std::lock_guard<std::mutex> hold(record->statusMutex); }
  record->statusChanged.notify_all();
}

void vLink_NoteWritten(linkRecord* record, int64_t number, vErr result) {
  {
    std::lock_guard<std::mutex> hold(record->writeMutex);
    if (number > record->lastWritten) record->lastWritten = number;
    if (result != vErrNone) {
      record->writeFailures.emplace_back(number, result);
      if (record->writeFailures.size() > sWRITE_FAILURES_KEPT) record->writeFailures.pop_front();
    }
  }
  record->writeDone.notify_all();
}

void vLink_NoteWriterEnded(linkRecord* record) {
  {
    std::lock_guard<std::mutex> hold(record->writeMutex);
    record->writerEnded = true;
  }
  record->writeDone.notify_all();
}

vErr vLink_Reset(uint32_t id) {
  Acquired link(id);
  if (!link.record()) return vErrParam;
  return sResetLink(link.entry.get());
}

vErr vLink_Destroy(uint32_t* id) {
  if (!id) return vErrParam;
  uint32_t target = *id;
  *id = 0;
  LinkRef entry;
  {
    // The last holder takes the entry out in the same step, so no create
    // can pick up a link that is being torn down.
    RegistryLock lock;
    auto found = gpLinks->find(target);
    if (target == 0 || found == gpLinks->end()) return vErrParam;
    found->second->useCount--;
    if (found->second->useCount > 0) return vErrNone;
    entry = std::move(found->second);
    gpLinks->erase(found);
  }
  // A create waiting for this link while it was built looks again.
  gpBuilt->notify_all();
  linkRecord* record = entry->record;
  if (!record) return vErrUnknown;
  if (record->userFilterMutex) {
    vMutexGuard hold(record->userFilterMutex);
    record->userFilter = nullptr;
    record->userFilterRef = nullptr;
  }
  vLink_Stop(record);
  if (entry->server) vServer_Destroy(&entry->server);
  if (entry->underlyingLink) vLink_Destroy(&entry->underlyingLink);
  // Destroying the queues wakes the callers waiting in them. The record keeps
  // the ids, so a caller still inside reads them unchanged and finds the
  // queues gone; the last reference frees the rest.
  uint64_t inQueue = record->inQueue;
  uint64_t outQueue = record->outQueue;
  vPacketFifo_Destroy(&inQueue);
  return vPacketFifo_Destroy(&outQueue);
}

uint32_t vLink_GetStatus(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  return record ? record->status.load() : uint32_t(kLinkNoStream);
}

// ---------------------------------------------------------------- packets

vErr vLink_PutPacket(uint32_t id, const vPacket* packet) {
  Acquired link(id);
  if (!link.record()) return vErrParam;
  return vPacketFifo_Put(link.record()->outQueue, packet);
}

vErr vLink_PutPacketWritten(uint32_t id, const vPacket* packet, uint32_t timeoutMs) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  int64_t number = -1;
  vErr err = vPacketFifo_PutNumbered(record->outQueue, packet, &number);
  if (err != vErrNone) return err;
  std::unique_lock<std::mutex> hold(record->writeMutex);
  bool seen = record->writeDone.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    return record->lastWritten >= number || record->writerEnded;
  });
  for (const auto& failure : record->writeFailures)
    if (failure.first == number) return failure.second;
  if (seen && record->lastWritten < number) return vErrConnection;
  return vErrNone;
}

vErr vLink_GetLastWriteError(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  std::lock_guard<std::mutex> hold(record->writeMutex);
  return record->writeFailures.empty() ? vErrNone : record->writeFailures.back().second;
}

vPacket* vLink_GetPacket(uint32_t id) {
  Acquired link(id);
  return link.record() ? vPacketFifo_Get(link.record()->inQueue) : nullptr;
}

vPacket* vLink_AwaitPacket(uint32_t id, uint32_t timeoutMs) {
  Acquired link(id);
  return link.record() ? vPacketFifo_Await(link.record()->inQueue, timeoutMs) : nullptr;
}

vPacket* vLink_GetFirst(uint32_t id, vPacketFilter filter, const void* ref) {
  Acquired link(id);
  return link.record() ? vPacketFifo_GetFirst(link.record()->inQueue, filter, ref) : nullptr;
}

vPacket* vLink_AwaitFirst(uint32_t id, vPacketFilter filter, const void* ref, uint32_t timeoutMs) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return nullptr;
  // Elapsed time on the steady clock, so a change of the wall clock does not
  // shorten or stretch the wait.
  auto start = std::chrono::steady_clock::now();
  vPacket* found = nullptr;
  for (;;) {
    if (!record->running || record->status != kLinkRunning || found) break;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    if (elapsed >= int64_t(timeoutMs)) break;
    found = vPacketFifo_AwaitFirst(record->inQueue, filter, ref, uint32_t(timeoutMs - elapsed));
  }
  return found;
}

size_t vLink_DrainPackets(uint32_t id, vPacketFilter filter, const void* ref) {
  Acquired link(id);
  return link.record() ? vPacketFifo_DrainPackets(link.record()->inQueue, filter, ref) : 0;
}

vErr vLink_InstallUserPacketFilter(uint32_t id, vPacketFilter filter, const void* ref) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record || !record->userFilterMutex) return vErrParam;
  vMutexGuard hold(record->userFilterMutex);
  record->userFilter = filter;
  record->userFilterRef = filter ? ref : nullptr;
  return vErrNone;
}

// ---------------------------------------------------------------- packet log

vErr vLink_PacketDebug_SetLogSize(uint32_t id, int32_t bytes) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record || bytes > vPACKETLOG_MAX_SIZE) return vErrParam;
  if (record->log) return vErrBusy;
  record->logSize = bytes < 0 ? 0 : uint32_t(bytes);
  return vErrNone;
}

vErr vLink_PacketDebug_Enable(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  if (record->logSize == 0) record->logSize = vPACKETLOG_DEFAULT_SIZE;
  if (!record->log) {
    if (!record->logMutex) {
      char name[64];
      snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(record));
      vMutex* mutex = vMutex_Create(name);
      if (!mutex) return vErrResource;
      record->logMutex = mutex;
    }
    vPacketLog* log = vPacketLog_Create(record->logSize);
    if (!log) return vErrResource;
    record->log = log;
  }
  vMutexGuard hold(record->logMutex);
  record->log.load()->logMark = 1;
  return vErrNone;
}

vErr vLink_PacketDebug_Disable(uint32_t id) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  vPacketLog* log = record->log;
  if (!log) return vErrNotReady;
  vMutexGuard hold(record->logMutex);
  log->logMark = 0;
  return vErrNone;
}

vErr vLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint8_t* length, uint8_t* buffer) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  vPacketLog* log = record->log;
  if (!log) return vErrNotReady;
  vMutexGuard hold(record->logMutex);
  return vPacketLog_Get(log, type, length, buffer);
}

vErr vLink_PacketDebug_Write(uint32_t id, uint8_t type, uint8_t length, const uint8_t* bytes) {
  Acquired link(id);
  linkRecord* record = link.record();
  if (!record) return vErrParam;
  vPacketLog* log = record->log;
  if (!log) return vErrNotReady;
  vMutexGuard hold(record->logMutex);
  return vPacketLog_Put(log, type, length, bytes);
}

// ---------------------------------------------------------------- detached records

linkRecord* vLink_CreateDetachedRecord(vStream* stream) {
  linkRecord* record = new (std::nothrow) linkRecord();
  if (!record) {
    vStream_Destroy(&stream);
    return nullptr;
  }
  if (!sInitRecord(record, 0, stream)) {
    sReleaseContents(record);
    sReleaseFilter(record);
    vStream_Destroy(&record->stream);
    delete record;
    return nullptr;
  }
  return record;
}

vErr vLink_DestroyDetachedRecord(linkRecord** record) {
  if (!record || !*record || (*record)->check != vLINK_CHECK) return vErrParam;
  linkRecord* r = *record;
  vLink_Stop(r);
  sReleaseContents(r);
  sReleaseFilter(r);
  vStream_Destroy(&r->stream);
  r->check = 0;
  delete r;
  *record = nullptr;
  return vErrNone;
}
