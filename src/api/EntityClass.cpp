// EntityClass: the UEI get and set requests of one entity with their typed
// and byte-run forms, and its stream subscriptions.
#include "EntityClass.h"

#include <cstring>
#include <new>

#include "vLink.h"

namespace Corvane {
namespace Velmarine {

namespace {

// The value of a reply as a number, whatever width it came in.
uint32_t sReplyValue(const uei& u) {
  switch (u.kind) {
    case ueiKind8: return u.value.u8;
    case ueiKind16: return u.value.u16;
    case ueiKind32: return u.value.u32;
    default: return 0;
  }
}

// The code of an error reply; a code of 0 would read as success.
vErr sErrorCode(const uei& u) { return u.value.u8 ? vErr(u.value.u8) : vErrUnknown; }

}  // namespace

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

// When the state cannot be allocated pimpl_ stays empty: init does nothing
// and every request answers vErrMemory.
EntityClass::EntityClass() : pimpl_(new (std::nothrow) impl{this}) {}
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (!pimpl_) return;
  pimpl_->module = module;
  pimpl_->command = command;
  pimpl_->index = index;
}

uint8_t EntityClass::getIndex() const { return pimpl_ ? pimpl_->index : 0; }

Link* EntityClass::link() const {
  return pimpl_ && pimpl_->module ? pimpl_->module->getLink() : nullptr;
}

vErr EntityClass::noLink() const { return pimpl_ ? vErrResource : vErrMemory; }

vErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* l = link();
  if (!l) return noLink();
  return l->sendPacket(pimpl_->module->getModuleAddress(), command, length, data);
}

vErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
  Link* l = link();
  if (!l) return noLink();
  return l->receivePacket(pimpl_->module->getModuleAddress(), match, length, data);
}

vErr EntityClass::getUEI(uint8_t option, uei* request) {
  Link* l = link();
  if (!l) return noLink();
  if (!request) return vErrParam;
  const uint8_t module = pimpl_->module->getModuleAddress();
  // A value the module streams is answered from the link's cache.
  const uint8_t subindex = request->kind == ueiKindNone ? 0 : request->value.u8;
  uint32_t cached = 0;
  vErr cache = l->getStreamValue(module, pimpl_->command, option, pimpl_->index, subindex, &cached);
  if (cache == vErrNone || cache == vErrStreamStale) {
    request->kind = ueiKind32;
    request->value.u32 = cached;
    return cache;
  }
  request->address = module;
  request->command = pimpl_->command;
  request->option = uint8_t(option | vUEI_OPTION_GET);
  request->index = uint8_t(pimpl_->index | vUEI_INDEX_REQUEST);
  vErr err = l->sendUEI(*request);
  if (err != vErrNone) return err;
  // The request's parameter must not pass for the reply's value.
  request->kind = ueiKindNone;
  request->value.u32 = 0;
  request->option = option;
  request->index = pimpl_->index;
  err = l->receiveUEI(module, pimpl_->command, option, pimpl_->index, request);
  if (err != vErrNone) return err;
  return (request->index & vUEI_INDEX_ERROR) ? sErrorCode(*request) : vErrNone;
}

static vErr sSet(Link* l, uint8_t module, uint8_t command, uint8_t index, uint8_t option,
                 uei* request, const uint8_t* subindex) {
  request->address = module;
  request->command = command;
  request->option = uint8_t(option | vUEI_OPTION_SET);
  request->index = uint8_t(index | vUEI_INDEX_REQUEST);
  vErr err = subindex ? l->sendUEI(*request, *subindex) : l->sendUEI(*request);
  if (err != vErrNone) return err;
  // The reply carries no value: the request's own must not pass for one.
  request->kind = ueiKindNone;
  request->value.u32 = 0;
  request->option = uint8_t(option | vUEI_OPTION_GET | vUEI_OPTION_SET);
  request->index = index;
  err = l->receiveUEI(module, command, request->option, index, request);
  if (err != vErrNone) return err;
  return (request->index & vUEI_INDEX_ERROR) ? sErrorCode(*request) : vErrNone;
}

vErr EntityClass::setUEI(uint8_t option, uei* request) {
  Link* l = link();
  if (!l) return noLink();
  if (!request) return vErrParam;
  return sSet(l, pimpl_->module->getModuleAddress(), pimpl_->command, pimpl_->index, option,
              request, nullptr);
}

vErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* request) {
  Link* l = link();
  if (!l) return noLink();
  if (!request) return vErrParam;
  return sSet(l, pimpl_->module->getModuleAddress(), pimpl_->command, pimpl_->index, option,
              request, &subindex);
}

vErr EntityClass::callUEI(uint8_t option) {
  uei u{};
  u.kind = ueiKindNone;
  return setUEI(option, &u);
}

vErr EntityClass::getTyped(uint8_t option, bool withParam, uint8_t param, uint32_t* value) {
  uei u{};
  if (withParam) {
    u.kind = ueiKind8;
    u.value.u8 = param;
  }
  vErr err = getUEI(option, &u);
  if (err == vErrNone || err == vErrStreamStale) *value = sReplyValue(u);
  return err;
}

vErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  if (!value) return vErrParam;
  uint32_t v = 0;
  vErr err = getTyped(option, false, 0, &v);
  if (err == vErrNone || err == vErrStreamStale) *value = uint8_t(v);
  return err;
}

vErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  if (!value) return vErrParam;
  uint32_t v = 0;
  vErr err = getTyped(option, false, 0, &v);
  if (err == vErrNone || err == vErrStreamStale) *value = uint16_t(v);
  return err;
}

vErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  if (!value) return vErrParam;
  return getTyped(option, false, 0, value);
}

vErr EntityClass::getUEI8(uint8_t option, uint8_t param, uint8_t* value) {
  if (!value) return vErrParam;
  uint32_t v = 0;
  vErr err = getTyped(option, true, param, &v);
  if (err == vErrNone || err == vErrStreamStale) *value = uint8_t(v);
  return err;
}

vErr EntityClass::getUEI16(uint8_t option, uint8_t param, uint16_t* value) {
  if (!value) return vErrParam;
  uint32_t v = 0;
  vErr err = getTyped(option, true, param, &v);
  if (err == vErrNone || err == vErrStreamStale) *value = uint16_t(v);
  return err;
}

vErr EntityClass::getUEI32(uint8_t option, uint8_t param, uint32_t* value) {
  if (!value) return vErrParam;
  return getTyped(option, true, param, value);
}

vErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei u{};
  u.kind = ueiKind8;
  u.value.u8 = value;
  return setUEI(option, &u);
}

vErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei u{};
  u.kind = ueiKind16;
  u.value.u16 = value;
  return setUEI(option, &u);
}

vErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei u{};
  u.kind = ueiKind32;
  u.value.u32 = value;
  return setUEI(option, &u);
}

vErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei u{};
  u.kind = ueiKind8;
  u.value.u8 = value;
  return setUEI(option, subindex, &u);
}

vErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei u{};
  u.kind = ueiKind16;
  u.value.u16 = value;
  return setUEI(option, subindex, &u);
}

vErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei u{};
  u.kind = ueiKind32;
  u.value.u32 = value;
  return setUEI(option, subindex, &u);
}

vErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (length && !data) return vErrParam;
  uei u{};
  u.kind = ueiKindBytes;
  u.value.bytes = const_cast<uint8_t*>(data);
  u.size = length;
  return setUEI(option, &u);
}

namespace {

// State of a byte-run read. The Link hands the filter a pointer to `reply`,
// the first member, so the filter reaches the rest of the record through it.
struct BytesRead {
  uei reply;
  uint8_t* buffer;
  size_t capacity;
  size_t count;
  uint8_t expected;  // sequence number of the next packet
  bool continues;    // the accepted packet announced another
  vErr result;       // of the accepted packet
};

// Takes the next packet of the run (the expected sequence number only) or an
// error reply, and appends its payload to the caller's buffer.
uint8_t sUEIBytesFilter(const vPacket* p, const void* ref) {
  BytesRead* r = reinterpret_cast<BytesRead*>(const_cast<void*>(ref));
  const uei& u = r->reply;
  if (p->address != u.address || p->length <= 2) return 0;
  if (p->data[0] != u.command || p->data[1] != u.option) return 0;
  if ((p->data[2] & vUEI_INDEX_MASK) != u.index) return 0;
  r->continues = false;
  if (p->data[2] & vUEI_INDEX_ERROR) {
    r->result = p->length > 3 && p->data[3] ? vErr(p->data[3]) : vErrUnknown;
    return 1;
  }
  // A packet without room for a sequence byte cannot be part of a run.
  if (p->length < 4) {
    r->result = vErrPacket;
    return 1;
  }
  const uint8_t last = p->data[p->length - 1];
  if ((last & 0x7F) != r->expected) return 0;
  const size_t n = p->length - 4u;
  if (r->count + n > r->capacity) {
    r->result = vErrMemory;
    return 1;
  }
  memcpy(r->buffer + r->count, &p->data[3], n);
  r->count += n;
  r->continues = (last & vUEI_BYTES_CONTINUE) != 0;
  r->result = vErrNone;
  return 1;
}

}  // namespace

vErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count) {
  if (!buffer || !count || length == 0) return vErrParam;
  *count = 0;
  Link* l = link();
  if (!l) return noLink();
  const uint8_t module = pimpl_->module->getModuleAddress();
  uei request{};
  request.address = module;
  request.command = pimpl_->command;
  request.option = uint8_t(option | vUEI_OPTION_GET);
  request.index = uint8_t(pimpl_->index | vUEI_INDEX_REQUEST);
  vErr err = l->sendUEI(request);
  if (err != vErrNone) return err;
  BytesRead read{};
  read.reply.address = module;
  read.reply.command = pimpl_->command;
  read.reply.option = option;
  read.reply.index = pimpl_->index;
  read.buffer = buffer;
  read.capacity = length;
  for (;;) {
    err =
        l->receiveUEI(module, pimpl_->command, option, pimpl_->index, &read.reply, sUEIBytesFilter);
    if (err == vErrNone) err = read.result;
    if (err != vErrNone) break;
    *count = read.count;
    if (!read.continues) break;
    read.expected = uint8_t((read.expected + 1) & 0x7F);
  }
  return err;
}

vErr EntityClass::getUEIBytesCheck(size_t* count, size_t elementSize) {
  if (!count || elementSize == 0) return vErrParam;
  if (*count % elementSize) return vErr(1);
  *count /= elementSize;
  return vErrNone;
}

vErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
  if (!value) return vErrParam;
  Link* l = link();
  if (!l) return noLink();
  const uint8_t module = pimpl_->module->getModuleAddress();
  uei u{};
  u.address = module;
  u.command = pimpl_->command;
  u.option = option;
  u.index = pimpl_->index;
  vErr err = l->receiveUEI(module, pimpl_->command, option, pimpl_->index, &u);
  if (err != vErrNone) return err;
  if (u.index & vUEI_INDEX_ERROR) return sErrorCode(u);
  *value = sReplyValue(u);
  return vErrNone;
}

vErr EntityClass::drainUEI(uint8_t option) {
  Link* l = link();
  if (!l) return noLink();
  return l->dropMatchingUEIPackets(pimpl_->module->getModuleAddress(), pimpl_->command, option,
                                   pimpl_->index);
}

vErr EntityClass::setStreamEnabled(bool enabled) {
  Link* l = link();
  if (!l) return noLink();
  return l->enableStream(pimpl_->module->getModuleAddress(), pimpl_->command, STREAM_KEY_ANY,
                         pimpl_->index, enabled);
}

vErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback,
                                         void* ref) {
  Link* l = link();
  if (!l) return noLink();
  return l->registerStreamCallback(pimpl_->module->getModuleAddress(), pimpl_->command, option,
                                   pimpl_->index, enable, callback, ref);
}

vErr EntityClass::getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* l = link();
  if (!l) return noLink();
  return l->getStreamStatus(pimpl_->module->getModuleAddress(), pimpl_->command, STREAM_KEY_ANY,
                            pimpl_->index, STREAM_KEY_ANY, entries, capacity, count);
}

}  // namespace Velmarine
}  // namespace Corvane
