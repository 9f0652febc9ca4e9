// The Link object: one connection to one module through the link engine, with
// UEI requests and replies, raw packets, store slots, factory data and the
// packet log. Every wait runs a filter in the waiting caller's thread.
#include "Link.h"

#include <cstring>
#include <new>
#include <string>

#include "LinkImpl.h"
#include "vFile.h"
#include "vLink.h"
#include "vLogger.h"
#include "vMutex.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kOpenSlotTimeoutMs = 3000;
constexpr int kWaitForLinkRounds = 200;
constexpr uint32_t kWaitForLinkPollMs = 10;
constexpr uint8_t kMaxPacketPayload = 27;  // after the command byte

constexpr uint8_t kSlotCommand = 0x04;
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kSlotError = 0x80;
constexpr uint8_t kSlotBadHandle = 255;
constexpr size_t kSlotChunk = 25;

constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t kFactoryOverhead = 2;  // command and selector precede the payload
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryError = 0x80;
constexpr size_t kFactoryChunk = vPACKET_MAX_DATA - kFactoryOverhead;

constexpr uint8_t kLogEntryMax = 64;

bool sBadModuleAddress(uint8_t module) { return module == 0 || (module & 1) != 0; }

// A module's error reply carries its code in the byte after the header; a
// reply cut off before that byte still counts as a failure.
vErr sCodeAt(const vPacket* p, uint8_t at) {
  if (p->length <= at) return vErrUnknown;
  return p->data[at] == vErrNone ? vErrUnknown : vErr(p->data[at]);
}

vErr sPut(uint32_t handle, uint8_t address, uint8_t length, const uint8_t* data) {
  uint8_t none = 0;
  vPacket* p = vPacket_CreateWithData(address, length, length ? data : &none);
  if (!p) return vErrResource;
  vErr err = vLink_PutPacket(handle, p);
  vPacket_Destroy(&p);
  return err;
}

// As sPut, and then waits until the link's writer has written the packet,
// so that a packet the module never got (its write failed) is an error here
// rather than a missing reply later.
vErr sPutWritten(uint32_t handle, uint8_t address, uint8_t length, const uint8_t* data) {
  uint8_t none = 0;
  vPacket* p = vPacket_CreateWithData(address, length, length ? data : &none);
  if (!p) return vErrResource;
  vErr err = vLink_PutPacketWritten(handle, p, kReplyTimeoutMs);
  vPacket_Destroy(&p);
  return err;
}

// ------------------------------------------------------------------ filters

uint8_t MatchMagic(const vPacket* p, const void*) { return p->length == 0; }

// Accepts the UEI reply the uei describes and writes its value into it.
uint8_t sUEIFilter(const vPacket* p, const void* ref) {
  uei* u = static_cast<uei*>(const_cast<void*>(ref));
  if (p->address != u->address || p->length <= 2) return 0;
  if (p->data[0] != u->command || p->data[1] != u->option) return 0;
  if ((p->data[2] & 0x1F) != u->index) return 0;
  // A stream sample carries the bare option and index too, but is never a reply.
  if (p->data[2] & vUEI_INDEX_STREAM) return 0;
  if (p->data[2] & vUEI_INDEX_ERROR) {
    u->index = p->data[2];
    // An error reply without its code byte still reports a failure.
    u->value.u32 = 0;
    u->value.u8 = p->length > 3 ? p->data[3] : uint8_t(vErrUnknown);
    return 1;
  }
  switch (p->length) {
    case 3: u->kind = ueiKindNone; break;
    case 4:
      u->value.u32 = 0;
      u->value.u8 = p->data[3];
      u->kind = ueiKind8;
      break;
    case 5:
      u->value.u32 = 0;
      u->value.u16 = vUEI_RetrieveShort(&p->data[3]);
      u->kind = ueiKind16;
      break;
    case 7:
      u->value.u32 = vUEI_RetrieveInt(&p->data[3]);
      u->kind = ueiKind32;
      break;
    default: break;
  }
  return 1;
}

// The drain's filter: sUEIFilter on a fresh copy of the description for each
// packet, since an error reply rewrites the index it compares later packets with.
uint8_t sUEIDrainFilter(const vPacket* p, const void* ref) {
  uei match = *static_cast<const uei*>(ref);
  return sUEIFilter(p, &match);
}

// Filter of a raw receive: the first n data bytes equal the match.
struct CommandMatch {
  const uint8_t* match;
  uint8_t length;
};

uint8_t sCommandFilter(const vPacket* p, const void* ref) {
  const CommandMatch* m = static_cast<const CommandMatch*>(ref);
  if (p->length < m->length) return 0;
  return m->length == 0 || memcmp(p->data, m->match, m->length) == 0;
}

struct SlotMatch {
  uint8_t operation;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};

uint8_t sSlotFilter(const vPacket* p, const void* ref) {
  const SlotMatch* m = static_cast<const SlotMatch*>(ref);
  if (p->length <= 3 || p->data[0] != kSlotCommand) return 0;
  if ((p->data[1] & 0x7F) != m->operation) return 0;
  if (m->operation <= kSlotOpenWrite) return p->data[2] == m->store && p->data[3] == m->slot;
  return p->data[2] == m->handle;
}

uint8_t sFactoryFilter(const vPacket* p, const void* ref) {
  uint8_t selector = *static_cast<const uint8_t*>(ref) & 0x0F;
  if (p->length <= 1 || p->data[0] != kFactoryCommand) return 0;
  return p->data[1] == selector || p->data[1] == (selector | kFactoryError);
}

}  // namespace

// ------------------------------------------------------------------ impl

vErr Link::impl::linkCreateHelper() {
  created = false;
  switch (spec->type) {
    case linkTypeUSB:
      // Shared through a broker of this process, reached as its first client.
      if (config.enabled)
        handle = vLink_CreateServer(spec->serialNumber, &config.port, &config.networkInterface,
                                    config.localOnly);
      else
        handle = vLink_CreateUSB(spec->serialNumber);
      created = true;
      break;
    case linkTypeTCPIP:
      handle = vLink_CreateTCPIP(spec->t.ip.ipAddress, spec->t.ip.ipPort);
      created = true;
      break;
    case linkTypeSerial: {
      char port[vLINKSPEC_PORTNAME_SIZE + 1];
      memcpy(port, spec->t.serial.portName, vLINKSPEC_PORTNAME_SIZE);
      port[vLINKSPEC_PORTNAME_SIZE] = '\0';
      handle = vLink_CreateSerial(spec->serialNumber, port, spec->t.serial.baudRate);
      created = true;
      break;
    }
    case linkTypeVMesh:
      if (!config.enabled) return vErrConfiguration;
      // A handle taken over from a router's Link is held once more instead.
      handle = vLink_CreateClient(spec->t.ip.ipAddress, uint16_t(spec->t.ip.ipPort), handle);
      created = true;
      break;
    default: return vErrMode;
  }
  return handle ? vErrNone : vErrConnection;
}

vErr Link::impl::waitForLink(int rounds) {
  for (int round = 0;; round++) {
    switch (vLink_GetStatus(handle)) {
      case kLinkRunning: return vErrNone;
      case kLinkStopped:
      case kLinkStarting:
      case kLinkSyncing:
        if (round >= rounds) return vErrConnection;
        vTime_MSSleep(kWaitForLinkPollMs);
        break;
      case kLinkNoStream:
      case kLinkIOError:
      case kLinkFault: return vErrConnection;
      case kLinkStopping: return vErrBusy;
      default: return vErrDuplicate;
    }
  }
}

vErr Link::impl::connectHelper() {
  if (!spec) return vErrConfiguration;
  vErr err = linkCreateHelper();
  if (err != vErrNone) return err;
  return waitForLink(kWaitForLinkRounds);
}

vErr Link::impl::request(uint8_t module, uint8_t length, const uint8_t* data, vPacketFilter filter,
                         const void* ref, uint32_t timeoutMs, vPacket** reply) {
  *reply = nullptr;
  vErr err = sPut(handle, module, length, data);
  if (err != vErrNone) return err;
  *reply = vLink_AwaitFirst(handle, filter, ref, timeoutMs);
  return *reply ? vErrNone : vErrTimeout;
}

uint8_t Link::impl::openSlot(uint8_t module, uint8_t operation, uint8_t store, uint8_t slot) {
  const uint8_t data[] = {kSlotCommand, operation, store, slot};
  SlotMatch match{operation, store, slot, 0};
  vPacket* reply = nullptr;
  if (request(module, sizeof data, data, sSlotFilter, &match, kOpenSlotTimeoutMs, &reply) !=
      vErrNone)
    return kSlotBadHandle;
  uint8_t result = kSlotBadHandle;
  if (!(reply->data[1] & kSlotError) && reply->length > 4) result = reply->data[4];
  vPacket_Destroy(&reply);
  return result;
}

vErr Link::impl::closeSlot(uint8_t module, uint8_t slotHandle) {
  const uint8_t data[] = {kSlotCommand, kSlotClose, slotHandle};
  SlotMatch match{kSlotClose, 0, 0, slotHandle};
  vPacket* reply = nullptr;
  vErr err = request(module, sizeof data, data, sSlotFilter, &match, kReplyTimeoutMs, &reply);
  // A close that the module never confirms is not a finished transfer.
  if (err != vErrNone) return err;
  // A close reply, error or not, is four bytes; any other length is garbled.
  if (reply->length != 4)
    err = vErrIO;
  else if (reply->data[1] & kSlotError)
    err = sCodeAt(reply, 3);
  vPacket_Destroy(&reply);
  return err;
}

vErr Link::impl::slotValue(uint8_t module, uint8_t operation, uint8_t store, uint8_t slot,
                           size_t* value) {
  const uint8_t data[] = {kSlotCommand, operation, store, slot};
  SlotMatch match{operation, store, slot, 0};
  vPacket* reply = nullptr;
  vErr err = request(module, sizeof data, data, sSlotFilter, &match, kReplyTimeoutMs, &reply);
  if (err != vErrNone) return err;
  if (reply->data[1] & kSlotError)
    err = sCodeAt(reply, 4);
  else if (reply->length == 6)
    *value = vUEI_RetrieveShort(&reply->data[4]);
  else
    err = vErrUnknown;
  vPacket_Destroy(&reply);
  return err;
}

vErr Link::impl::closeFactory(uint8_t module, uint8_t selector, size_t count) {
  const uint8_t data[] = {kFactoryCommand, kFactoryClose, uint8_t(count >> 8), uint8_t(count)};
  const uint8_t sel = kFactoryClose;
  vPacket* reply = nullptr;
  vErr err = request(module, sizeof data, data, sFactoryFilter, &sel, kReplyTimeoutMs, &reply);
  if (err != vErrNone) return err;
  if ((reply->data[1] & kFactoryError) && reply->length == 3) err = sCodeAt(reply, 2);
  vPacket_Destroy(&reply);
  return err;
}

// ------------------------------------------------------------------ life

// The state holds a name, a table and a callback ring that allocate as they
// are built. When that fails pimpl_ stays empty and every method answers
// vErrMemory (or reports no connection), so nothing escapes a constructor.
Link::Link(const char* name) {
  try {
    pimpl_.reset(new impl(this, name));
  } catch (const std::bad_alloc&) {
    pimpl_.reset();
  }
}

Link::Link(linkSpec spec, const char* name) : Link(name) {
  if (pimpl_) pimpl_->spec.reset(new (std::nothrow) linkSpec(spec));
}

Link::~Link() {
  if (!pimpl_) return;
  pimpl_->stopStreams();
  if (pimpl_->handle) vLink_Destroy(&pimpl_->handle);
  pimpl_->spec.reset();
  if (pimpl_->logger) vLogger_Destroy(&pimpl_->logger);
}

vErr Link::connect() {
  if (!pimpl_) return vErrMemory;
  if (pimpl_->handle) return vErrConnection;
  return pimpl_->connectHelper();
}

vErr Link::connectThroughLinkModule(Link& other) {
  if (!pimpl_) return vErrMemory;
  if (!other.pimpl_ || !other.pimpl_->handle) return vErrInitialization;
  if (pimpl_->handle) return vErrConnection;
  pimpl_->handle = other.pimpl_->handle;
  pimpl_->created = false;
  vErr err = pimpl_->connectHelper();
  // Only a create gives this Link a hold of its own; a borrowed handle that no
  // create replaced must not be destroyed later in the other Link's place.
  if (!pimpl_->created) pimpl_->handle = 0;
  return err;
}

bool Link::isConnected() { return pimpl_ && pimpl_->connected(); }

uint32_t Link::getStatus() {
  return pimpl_ && pimpl_->handle ? vLink_GetStatus(pimpl_->handle) : kLinkFault;
}

vErr Link::disconnect() {
  if (!pimpl_) return vErrMemory;
  // Subscriptions end with the link that carried them.
  pimpl_->stopStreams();
  if (pimpl_->handle) vLink_Destroy(&pimpl_->handle);
  return vErrNone;
}

vErr Link::reset() {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->handle) return vErrConnection;
  return vLink_Reset(pimpl_->handle);
}

// ------------------------------------------------------------------ packets

vErr Link::getModuleAddress(uint8_t* address) {
  if (!pimpl_) return vErrMemory;
  if (address) *address = 0;
  if (!pimpl_->connected()) return vErrNotReady;
  if (!address) return vErrParam;
  vPacket* reply = nullptr;
  if (pimpl_->request(vPACKET_MAGIC_ADDRESS, 0, nullptr, MatchMagic, nullptr, kReplyTimeoutMs,
                      &reply) != vErrNone)
    return vErrNotReady;
  *address = reply->address;
  vPacket_Destroy(&reply);
  return vErrNone;
}

vErr Link::sendUEI(const uei& request) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(request.address)) return vErrPacket;
  uint8_t data[vPACKET_MAX_DATA] = {request.command, request.option, request.index};
  switch (request.kind) {
    case ueiKindNone: return sPut(pimpl_->handle, request.address, 3, data);
    case ueiKind8:
      data[3] = request.value.u8;
      return sPut(pimpl_->handle, request.address, 4, data);
    case ueiKind16:
      vUEI_StoreShort(&data[3], request.value.u16);
      return sPut(pimpl_->handle, request.address, 5, data);
    case ueiKind32:
      vUEI_StoreInt(&data[3], request.value.u32);
      return sPut(pimpl_->handle, request.address, 7, data);
    case ueiKindBytes: {
      if (!request.value.bytes && request.size) return vErrParam;
      size_t packets = vUEI_BytesPacketCount(request.size);
      vErr err = vErrNone;
      for (size_t n = 0; n < packets && err == vErrNone; n++) {
        vPacket* p = vUEI_CreateBytesPacket(request.address, request.command, request.option,
                                            request.index, request.value.bytes, request.size, n);
        if (!p) return vErrResource;
        err = vLink_PutPacket(pimpl_->handle, p);
        vPacket_Destroy(&p);
      }
      return err;
    }
    default: return vErrParam;
  }
}

vErr Link::sendUEI(const uei& request, uint8_t subindex) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(request.address)) return vErrPacket;
  uint8_t data[8] = {request.command, request.option, request.index, subindex};
  switch (request.kind) {
    case ueiKindNone: return sPut(pimpl_->handle, request.address, 4, data);
    case ueiKind8:
      data[4] = request.value.u8;
      return sPut(pimpl_->handle, request.address, 5, data);
    case ueiKind16:
      vUEI_StoreShort(&data[4], request.value.u16);
      return sPut(pimpl_->handle, request.address, 6, data);
    case ueiKind32:
      vUEI_StoreInt(&data[4], request.value.u32);
      return sPut(pimpl_->handle, request.address, 8, data);
    default: return vErrParam;
  }
}

vErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
  return receiveUEI(module, command, option, index, reply, sUEIFilter);
}

vErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                      vPacketFilter filter) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!reply || !filter) return vErrParam;
  vPacket* p = vLink_AwaitFirst(pimpl_->handle, filter, reply, kReplyTimeoutMs);
  if (!p) return vErrTimeout;
  vPacket_Destroy(&p);
  return vErrNone;
}

vErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->handle) return vErrNone;
  uei match{};
  match.address = module;
  match.command = command;
  match.option = option;
  match.index = index;
  vLink_DrainPackets(pimpl_->handle, sUEIDrainFilter, &match);
  return vErrNone;
}

vErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (length > kMaxPacketPayload) return vErrParam;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (length && !data) return vErrParam;
  uint8_t bytes[vPACKET_MAX_DATA] = {command};
  if (length) memcpy(&bytes[1], data, length);
  // A raw packet may be one the module answers by going away (a reboot):
  // whether it was written is then all the caller can learn of it.
  return sPutWritten(pimpl_->handle, module, uint8_t(length + 1), bytes);
}

vErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!length || !data || (*length && !match)) return vErrParam;
  CommandMatch m{match, *length};
  vPacket* p = vLink_AwaitFirst(pimpl_->handle, sCommandFilter, &m, kReplyTimeoutMs);
  if (!p) return vErrTimeout;
  *length = p->length;
  memcpy(data, p->data, p->length);
  vPacket_Destroy(&p);
  return vErrNone;
}

// ------------------------------------------------------------------ store slots

vErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!size) return vErrParam;
  return pimpl_->slotValue(module, kSlotSize, store, slot, size);
}

vErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!capacity) return vErrParam;
  return pimpl_->slotValue(module, kSlotCapacity, store, slot, capacity);
}

vErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (length && !data) return vErrParam;
  uint8_t slotHandle = pimpl_->openSlot(module, kSlotOpenWrite, store, slot);
  if (slotHandle == kSlotBadHandle) return vErrMedia;
  vErr err = vErrNone;
  for (size_t offset = 0; offset < length && err == vErrNone;) {
    size_t n = length - offset < kSlotChunk ? length - offset : kSlotChunk;
    uint8_t bytes[vPACKET_MAX_DATA] = {kSlotCommand, kSlotWrite, slotHandle};
    memcpy(&bytes[3], data + offset, n);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; i++) sum = uint8_t(sum + data[offset + i]);
    SlotMatch match{kSlotWrite, 0, 0, slotHandle};
    vPacket* reply = nullptr;
    err = pimpl_->request(module, uint8_t(3 + n), bytes, sSlotFilter, &match, kReplyTimeoutMs,
                          &reply);
    if (err != vErrNone) break;
    // An error reply of four bytes carries the module's code; one of another
    // length is garbled and fails as an I/O error. A plain reply of another
    // length than 4 carries no sum and counts as an acknowledgement.
    if ((reply->data[1] & kSlotError) && reply->length != 4)
      err = vErrIO;
    else if (reply->data[1] & kSlotError)
      err = sCodeAt(reply, 3);
    else if (reply->length == 4 && reply->data[3] != sum)
      err = vErrIO;
    vPacket_Destroy(&reply);
    offset += n;
  }
  vErr closed = pimpl_->closeSlot(module, slotHandle);
  return err != vErrNone ? err : closed;
}

vErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t bufferLength, size_t* count) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!count || (bufferLength && !buffer)) return vErrParam;
  *count = 0;
  size_t size = 0;
  vErr err = pimpl_->slotValue(module, kSlotSize, store, slot, &size);
  if (err != vErrNone) return err;
  uint8_t slotHandle = pimpl_->openSlot(module, kSlotOpenRead, store, slot);
  if (slotHandle == kSlotBadHandle) return vErrMedia;
  const size_t total = bufferLength < size ? bufferLength : size;
  size_t stored = 0;
  while (stored < total && err == vErrNone) {
    const uint8_t bytes[] = {kSlotCommand, kSlotRead, slotHandle};
    SlotMatch match{kSlotRead, 0, 0, slotHandle};
    vPacket* reply = nullptr;
    err =
        pimpl_->request(module, sizeof bytes, bytes, sSlotFilter, &match, kReplyTimeoutMs, &reply);
    if (err != vErrNone) break;
    if (reply->data[1] & kSlotError) {
      err = sCodeAt(reply, 3);
    } else if (reply->length <= 3) {
      err = vErrUnknown;
    } else {
      size_t n = reply->length - 3u;
      if (n > total - stored) n = total - stored;
      memcpy(buffer + stored, &reply->data[3], n);
      stored += n;
    }
    vPacket_Destroy(&reply);
  }
  vErr closed = pimpl_->closeSlot(module, slotHandle);
  *count = stored;
  if (err != vErrNone) return err;
  if (closed != vErrNone) return closed;
  return bufferLength < size ? vErrOverrun : vErrNone;
}

// ------------------------------------------------------------------ factory data

vErr Link::getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t length,
                          size_t* count) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (!count || (length && !buffer)) return vErrParam;
  *count = 0;
  const uint8_t sel = selector & 0x0F;
  size_t received = 0;
  vErr err = vErrNone;
  bool first = true, more = true;
  while (more && err == vErrNone) {
    const uint8_t bytes[] = {kFactoryCommand, uint8_t(sel | (first ? kFactoryFirst : 0))};
    first = false;
    vPacket* reply = nullptr;
    err =
        pimpl_->request(module, sizeof bytes, bytes, sFactoryFilter, &sel, kReplyTimeoutMs, &reply);
    if (err != vErrNone) break;
    if (reply->data[1] & kFactoryError) {
      err = sCodeAt(reply, 2);
    } else {
      size_t n = reply->length - size_t(kFactoryOverhead);
      // Data that fills the buffer exactly is still delivered whole.
      if (received + n > length) {
        err = vErrOverrun;
      } else {
        if (n) memcpy(buffer + received, &reply->data[kFactoryOverhead], n);
        received += n;
        more = reply->length == vPACKET_MAX_DATA;
      }
    }
    vPacket_Destroy(&reply);
  }
  // The closing request ends the transfer on the module's side in any case.
  vErr closed = pimpl_->closeFactory(module, sel, received);
  if (err != vErrNone) return err;
  if (closed != vErrNone) return closed;
  *count = received;
  return vErrNone;
}

vErr Link::setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->connected()) return vErrConnection;
  if (sBadModuleAddress(module)) return vErrPacket;
  if (length && !data) return vErrParam;
  const uint8_t sel = selector & 0x0F;
  size_t sent = 0;
  vErr err = vErrNone;
  bool first = true;
  while (sent < length && err == vErrNone) {
    size_t n = length - sent < kFactoryChunk ? length - sent : kFactoryChunk;
    uint8_t bytes[vPACKET_MAX_DATA] = {kFactoryCommand,
                                       uint8_t(sel | kFactoryWrite | (first ? kFactoryFirst : 0))};
    first = false;
    memcpy(&bytes[kFactoryOverhead], data + sent, n);
    vPacket* reply = nullptr;
    err = pimpl_->request(module, uint8_t(kFactoryOverhead + n), bytes, sFactoryFilter, &sel,
                          kReplyTimeoutMs, &reply);
    if (err != vErrNone) break;
    if (reply->length != 2)
      err = vErrSize;
    else if (reply->data[1] & kFactoryError)
      err = sCodeAt(reply, 2);
    vPacket_Destroy(&reply);
    if (err == vErrNone) sent += n;
  }
  vErr closed = pimpl_->closeFactory(module, sel, sent);
  return err != vErrNone ? err : closed;
}

// ------------------------------------------------------------------ packet log

namespace {

// Writes one recorded entry to the log file; false when there was none.
bool sWriteLogEntry(vFile* file, uint32_t id) {
  uint8_t type = 0, length = kLogEntryMax, bytes[kLogEntryMax];
  if (vLink_PacketDebug_Read(id, &type, &length, bytes) != vErrNone) return false;
  vFile_Printf(file, "%d %s ", length, type == vPacketLogSent ? ">" : "<");
  for (uint8_t i = 0; i < length; i++) {
    if (type == vPacketLogText)
      vFile_Printf(file, "%c", bytes[i]);
    else
      vFile_Printf(file, "0x%X ", bytes[i]);
  }
  vFile_Printf(file, "\r\n");
  return true;
}

void readDebugBuffer(vFile* file, uint32_t id) {
  if (!sWriteLogEntry(file, id)) vTime_MSSleep(5);
}

}  // namespace

vErr Link::enablePacketLog(const char* fileName) {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->handle) return vErrConfiguration;
  if (!fileName) return vErrParam;
  vErr err = vLink_PacketDebug_Enable(pimpl_->handle);
  if (err != vErrNone) return err;
  // A logger made for an earlier connection would read a link that is gone.
  if (pimpl_->logger && pimpl_->logger->id != pimpl_->handle) vLogger_Destroy(&pimpl_->logger);
  if (!pimpl_->logger) {
    pimpl_->logger = vLogger_Create(pimpl_->handle, readDebugBuffer, fileName);
    if (!pimpl_->logger) return vErrIO;
  }
  err = vLogger_Enable(pimpl_->logger);
  if (err == vErrNone) {
    static const uint8_t kStart[] = "START";
    vLink_PacketDebug_Write(pimpl_->handle, vPacketLogText, sizeof kStart, kStart);
  }
  return err;
}

vErr Link::disablePacketLog() {
  if (!pimpl_) return vErrMemory;
  if (!pimpl_->handle) return vErrConfiguration;
  vLink_PacketDebug_Disable(pimpl_->handle);
  if (!pimpl_->logger) return vErrNone;
  vErr err = vLogger_Disable(pimpl_->logger);
  // What was recorded before the switch goes to the file too.
  if (err == vErrNone)
    while (sWriteLogEntry(pimpl_->logger->file, pimpl_->logger->id)) {
    }
  return err;
}

// ------------------------------------------------------------------ settings

const char* Link::getName() const { return pimpl_ ? pimpl_->name.c_str() : ""; }

vErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!pimpl_) return vErrMemory;
  if (!spec) return vErrParam;
  if (!pimpl_->spec) return vErrNotFound;
  *spec = *pimpl_->spec;
  return vErrNone;
}

vErr Link::setLinkSpecifier(linkSpec spec) {
  if (!pimpl_) return vErrMemory;
  if (pimpl_->connected()) return vErrBusy;
  linkSpec* copy = new (std::nothrow) linkSpec(spec);
  if (!copy) return vErrMemory;
  pimpl_->spec.reset(copy);
  return vErrNone;
}

vErr Link::getConfig(vMeshConfig* config) const {
  if (!pimpl_) return vErrMemory;
  if (!config) return vErrParam;
  *config = pimpl_->config;
  return vErrNone;
}

vErr Link::setConfig(vMeshConfig config) {
  if (!pimpl_) return vErrMemory;
  if (pimpl_->connected()) return vErrMode;
  pimpl_->config = config;
  return vErrNone;
}

}  // namespace Velmarine
}  // namespace Corvane
