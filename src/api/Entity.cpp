// Module, EntityClass, SystemClass and I2CClass: connecting to a module and
// learning its address, the 0x49 table queries, and the UEI get and set
// requests of an entity with their typed and byte-run forms.
#include "Entity.h"

#include <cstring>

#include "vLink.h"
#include "vMutex.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kEchoCommand = 0x17;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClass = 4;
constexpr uint8_t kQuerySubClass = 5;
constexpr uint8_t kQueryGroup = 6;
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint8_t kI2CMaxTransfer = 23;
constexpr uint8_t kI2CMaxSpeed = 3;

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

// ------------------------------------------------------------------ Module

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link_(new Link("Link")), address_(address), networking_(networkingMode), model_(model) {}

Module::~Module() = default;

vErr Module::_autoNetwork() {
  if (!networking_ || !link_) return vErrNone;
  vErr err = vErrNotReady;
  uint8_t address = 0;
  for (int tries = 0; tries < kAddressTries; tries++) {
    err = link_->getModuleAddress(&address);
    if (err != vErrNotReady) break;
    vTime_MSSleep(kAddressRetryMs);
  }
  if (err == vErrNone && address != 0 && address != address_) address_ = address;
  return err;
}

vErr Module::connect(linkType type, uint32_t serial) {
  if (serial == 0) return vErrParam;
  return discoverAndConnect(type, serial);
}

vErr Module::discoverAndConnect(linkType type, uint32_t serial) {
  if (!link_) return vErrInitialization;
  vErr err = link_->discoverAndConnect(type, serial, model_);
  return err == vErrNone ? _autoNetwork() : err;
}

vErr Module::connectFromSpec(linkSpec spec) {
  if (!link_) return vErrInitialization;
  if (link_->isConnected()) return vErrBusy;
  vErr err = link_->setLinkSpecifier(spec);
  if (err == vErrNone) err = link_->connect();
  return err == vErrNone ? _autoNetwork() : err;
}

vErr Module::connectThroughLinkModule(Module* router) {
  if (!link_) return vErrInitialization;
  if (link_->isConnected()) return vErrNone;
  if (!router || !router->link_) return vErrInitialization;
  linkSpec spec{};
  if (router->link_->getLinkSpecifier(&spec) != vErrNone) return vErrInitialization;
  vMeshConfig config;
  router->link_->getConfig(&config);
  vErr err = link_->setConfig(config);
  if (err != vErrNone) return err;
  if (config.enabled) {
    // Reach the router's broker as its client.
    spec.type = linkTypeVMesh;
    spec.t.ip.ipAddress = config.networkInterface;
    spec.t.ip.ipPort = config.port;
  }
  err = link_->setLinkSpecifier(spec);
  if (err == vErrNone) err = link_->connectThroughLinkModule(*router->link_);
  if (err == vErrNone) networking_ = false;
  return err;
}

vErr Module::reconnect() {
  if (!link_) return vErrInitialization;
  vErr err = link_->connect();
  return err == vErrNone ? _autoNetwork() : err;
}

bool Module::isConnected() { return link_ && link_->isConnected(); }

uint32_t Module::getStatus() { return link_ ? link_->getStatus() : uint32_t(kLinkFault); }

vErr Module::disconnect() { return link_ ? link_->disconnect() : vErrInitialization; }

vErr Module::getLinkSpecifier(linkSpec* spec) {
  return link_ ? link_->getLinkSpecifier(spec) : vErrNotReady;
}

vErr Module::getConfig(vMeshConfig* config) {
  if (!link_) return vErrNotReady;
  return link_->getConfig(config);
}

vErr Module::setConfig(vMeshConfig config) {
  return link_ ? link_->setConfig(config) : vErrNotReady;
}

vErr Module::enablePacketLog(const char* fileName) {
  return link_ ? link_->enablePacketLog(fileName) : vErrConfiguration;
}

vErr Module::disablePacketLog() { return link_ ? link_->disablePacketLog() : vErrConfiguration; }

vErr Module::debug(const uint8_t* data, uint8_t length) {
  if (!isConnected()) return vErrConnection;
  vErr err = link_->sendPacket(address_, kEchoCommand, length, data);
  if (err != vErrNone) return err;
  uint8_t match = kEchoCommand, replyLength = 1, reply[vPACKET_MAX_DATA];
  err = link_->receivePacket(address_, &match, &replyLength, reply);
  if (err != vErrNone) return err;
  if (replyLength != length + 1 || (length && memcmp(&reply[1], data, length) != 0)) return vErrIO;
  return vErrNone;
}

vErr Module::getBuild(uint32_t* build) {
  if (!build) return vErrParam;
  if (!link_) return vErrInitialization;
  if (!isConnected()) return vErrConnection;
  const uint8_t selector = kQueryBuild;
  vErr err = link_->sendPacket(address_, kQueryCommand, 1, &selector);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kQueryCommand, kQueryBuild};
  uint8_t length = sizeof match, reply[vPACKET_MAX_DATA];
  err = link_->receivePacket(address_, match, &length, reply);
  if (err != vErrNone) return err;
  if (length != 6) return vErrSize;
  *build = vUEI_RetrieveInt(&reply[2]);
  return vErrNone;
}

// One 0x49 query: the reply must have the expected length and echo the first
// `echoed` bytes of the request.
vErr Module::query(const uint8_t* request, uint8_t length, uint8_t echoed, uint8_t replyLength,
                   uint8_t* reply) {
  if (!isConnected()) return vErrConnection;
  vErr err = link_->sendPacket(address_, request[0], uint8_t(length - 1), request + 1);
  if (err != vErrNone) return err;
  uint8_t got = 1;
  err = link_->receivePacket(address_, request, &got, reply);
  if (err != vErrNone) return err;
  if (got != replyLength || memcmp(reply, request, echoed) != 0) return vErrUnknown;
  return vErrNone;
}

vErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if ((flags & 0x3F) || (flags & 0xC0) == 0xC0) return vErrParam;
  const uint8_t request[] = {kQueryCommand, kQueryHasUEI, command, option, index, flags};
  uint8_t reply[vPACKET_MAX_DATA];
  // The answer replaces the flags byte, so only the first five are echoed.
  vErr err = query(request, sizeof request, 5, 6, reply);
  if (err != vErrNone) return err;
  return vErr(reply[5]);
}

vErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (count) *count = 0;
  if (!count) return vErrParam;
  const uint8_t request[] = {kQueryCommand, kQueryClass, entityClass};
  uint8_t reply[vPACKET_MAX_DATA];
  vErr err = query(request, sizeof request, sizeof request, 4, reply);
  if (err == vErrNone) *count = reply[3];
  return err;
}

vErr Module::subClassQuantity(uint8_t entityClass, uint8_t b, uint8_t* count) {
  if (count) *count = 0;
  if (!count) return vErrParam;
  const uint8_t request[] = {kQueryCommand, kQuerySubClass, entityClass, b};
  uint8_t reply[vPACKET_MAX_DATA];
  vErr err = query(request, sizeof request, sizeof request, 5, reply);
  if (err == vErrNone) *count = reply[4];
  return err;
}

vErr Module::entityGroup(uint8_t a, uint8_t b, uint8_t* group) {
  if (group) *group = 0;
  if (!group) return vErrParam;
  const uint8_t request[] = {kQueryCommand, kQueryGroup, a, b};
  uint8_t reply[vPACKET_MAX_DATA];
  vErr err = query(request, sizeof request, sizeof request, 5, reply);
  if (err == vErrNone) *group = reply[4];
  return err;
}

// ------------------------------------------------------------------ EntityClass

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

EntityClass::EntityClass() : pimpl_(new impl{this}) {}
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  pimpl_->module = module;
  pimpl_->command = command;
  pimpl_->index = index;
}

uint8_t EntityClass::getIndex() const { return pimpl_->index; }

Link* EntityClass::link() const { return pimpl_->module ? pimpl_->module->getLink() : nullptr; }

vErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* l = link();
  if (!l) return vErrResource;
  return l->sendPacket(pimpl_->module->getModuleAddress(), command, length, data);
}

vErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
  Link* l = link();
  if (!l) return vErrResource;
  return l->receivePacket(pimpl_->module->getModuleAddress(), match, length, data);
}

vErr EntityClass::getUEI(uint8_t option, uei* request) {
  Link* l = link();
  if (!l) return vErrResource;
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
  if (!l) return vErrResource;
  if (!request) return vErrParam;
  return sSet(l, pimpl_->module->getModuleAddress(), pimpl_->command, pimpl_->index, option,
              request, nullptr);
}

vErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* request) {
  Link* l = link();
  if (!l) return vErrResource;
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
  if (!l) return vErrResource;
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
  if (!l) return vErrResource;
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
  if (!l) return vErrResource;
  return l->dropMatchingUEIPackets(pimpl_->module->getModuleAddress(), pimpl_->command, option,
                                   pimpl_->index);
}

vErr EntityClass::setStreamEnabled(bool enabled) {
  Link* l = link();
  if (!l) return vErrResource;
  return l->enableStream(pimpl_->module->getModuleAddress(), pimpl_->command, STREAM_KEY_ANY,
                         pimpl_->index, enabled);
}

vErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback,
                                         void* ref) {
  Link* l = link();
  if (!l) return vErrResource;
  return l->registerStreamCallback(pimpl_->module->getModuleAddress(), pimpl_->command, option,
                                   pimpl_->index, enable, callback, ref);
}

vErr EntityClass::getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* l = link();
  if (!l) return vErrResource;
  return l->getStreamStatus(pimpl_->module->getModuleAddress(), pimpl_->command, STREAM_KEY_ANY,
                            pimpl_->index, STREAM_KEY_ANY, entries, capacity, count);
}

// ------------------------------------------------------------------ SystemClass

namespace {

// Option codes of the system entity.
enum SystemOption : uint8_t {
  kModule = 1,
  kRouter = 2,
  kHBInterval = 3,
  kLED = 4,
  kBootSlot = 6,
  kVersion = 7,
  kModel = 8,
  kSerialNumber = 9,
  kSave = 10,
  kReset = 11,
  kInputVoltage = 12,
  kModuleHardwareOffset = 13,
  kModuleBaseAddress = 14,
  kModuleSoftwareOffset = 15,
  kRouterAddressSetting = 16,
  kRouteToMe = 20,
  kInputCurrent = 21,
  kUptime = 22,
  kMaximumTemperature = 23,
  kLogEvents = 24,
  kUnregulatedVoltage = 25,
  kUnregulatedCurrent = 26,
  kTemperature = 27,
  kMinimumTemperature = 28,
  kInputPowerSource = 29,
  kInputPowerBehavior = 30,
  kInputPowerBehaviorConfig = 31,
  kName = 32,
  kPowerLimit = 33,
  kPowerLimitMax = 34,
  kPowerLimitState = 35,
  kResetEntityToFactoryDefaults = 36,
  kResetDeviceToFactoryDefaults = 37,
  kLinkInterface = 38,
  kHardwareVersion = 40,
  kErrors = 41,
  kLEDMaxBrightness = 42,
  kBuild = 43,
};

}  // namespace

void SystemClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, kSystemCommand, index);
}

// Signed readings travel as 32-bit two's complement.
vErr SystemClass::getSigned(uint8_t option, int32_t* value) {
  if (!value) return vErrParam;
  uint32_t raw = 0;
  vErr err = getUEI32(option, &raw);
  if (err == vErrNone || err == vErrStreamStale) *value = int32_t(raw);
  return err;
}

vErr SystemClass::getModule(uint8_t* address) { return getUEI8(kModule, address); }
vErr SystemClass::setRouter(uint8_t address) { return setUEI8(kRouter, address); }
vErr SystemClass::getRouter(uint8_t* address) { return getUEI8(kRouter, address); }
vErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(kHBInterval, interval); }
vErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(kHBInterval, interval); }
vErr SystemClass::setLED(bool on) { return setUEI8(kLED, on ? 1 : 0); }
vErr SystemClass::getLED(uint8_t* state) { return getUEI8(kLED, state); }
vErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(kBootSlot, slot); }
vErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(kBootSlot, slot); }
vErr SystemClass::getVersion(uint32_t* version) { return getUEI32(kVersion, version); }
vErr SystemClass::getModel(uint8_t* model) { return getUEI8(kModel, model); }
vErr SystemClass::getSerialNumber(uint32_t* serial) { return getUEI32(kSerialNumber, serial); }
vErr SystemClass::save() { return callUEI(kSave); }
vErr SystemClass::reset() { return callUEI(kReset); }
vErr SystemClass::getInputVoltage(uint32_t* value) { return getUEI32(kInputVoltage, value); }
vErr SystemClass::getModuleHardwareOffset(uint8_t* value) {
  return getUEI8(kModuleHardwareOffset, value);
}
vErr SystemClass::getModuleBaseAddress(uint8_t* value) {
  return getUEI8(kModuleBaseAddress, value);
}
vErr SystemClass::setModuleSoftwareOffset(uint8_t value) {
  return setUEI8(kModuleSoftwareOffset, value);
}
vErr SystemClass::getModuleSoftwareOffset(uint8_t* value) {
  return getUEI8(kModuleSoftwareOffset, value);
}
vErr SystemClass::getRouterAddressSetting(uint8_t* value) {
  return getUEI8(kRouterAddressSetting, value);
}
vErr SystemClass::routeToMe(uint8_t value) { return setUEI8(kRouteToMe, value); }
vErr SystemClass::getInputCurrent(uint32_t* value) { return getUEI32(kInputCurrent, value); }
vErr SystemClass::getUptime(uint32_t* value) { return getUEI32(kUptime, value); }
vErr SystemClass::getMaximumTemperature(int32_t* value) {
  return getSigned(kMaximumTemperature, value);
}
vErr SystemClass::logEvents() { return callUEI(kLogEvents); }
vErr SystemClass::getUnregulatedVoltage(int32_t* value) {
  return getSigned(kUnregulatedVoltage, value);
}
vErr SystemClass::getUnregulatedCurrent(int32_t* value) {
  return getSigned(kUnregulatedCurrent, value);
}
vErr SystemClass::getTemperature(int32_t* value) { return getSigned(kTemperature, value); }
vErr SystemClass::getMinimumTemperature(int32_t* value) {
  return getSigned(kMinimumTemperature, value);
}
vErr SystemClass::getInputPowerSource(uint8_t* value) { return getUEI8(kInputPowerSource, value); }
vErr SystemClass::setInputPowerBehavior(uint8_t value) {
  return setUEI8(kInputPowerBehavior, value);
}
vErr SystemClass::getInputPowerBehavior(uint8_t* value) {
  return getUEI8(kInputPowerBehavior, value);
}

// The configuration travels as 4 bytes per value, in the values' memory order.
vErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, size_t n) {
  if (n > SIZE_MAX / sizeof(uint32_t)) return vErrParam;
  return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(values),
                     n * sizeof(uint32_t));
}

vErr SystemClass::getInputPowerBehaviorConfig(uint32_t* values, size_t n, size_t* count) {
  if (n > SIZE_MAX / sizeof(uint32_t)) return vErrParam;
  vErr err = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(values),
                         n * sizeof(uint32_t), count);
  if (err == vErrNone) getUEIBytesCheck(count, sizeof(uint32_t));
  return err;
}

vErr SystemClass::setName(const uint8_t* name, size_t length) {
  return setUEIBytes(kName, name, length);
}
vErr SystemClass::getName(uint8_t* buffer, size_t length, size_t* count) {
  return getUEIBytes(kName, buffer, length, count);
}
vErr SystemClass::getPowerLimit(uint32_t* value) { return getUEI32(kPowerLimit, value); }
vErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(kPowerLimitMax, value); }
vErr SystemClass::getPowerLimitMax(uint32_t* value) { return getUEI32(kPowerLimitMax, value); }
vErr SystemClass::getPowerLimitState(uint32_t* value) { return getUEI32(kPowerLimitState, value); }
vErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(kResetEntityToFactoryDefaults); }
vErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
vErr SystemClass::setLinkInterface(uint8_t value) { return setUEI8(kLinkInterface, value); }
vErr SystemClass::getLinkInterface(uint8_t* value) { return getUEI8(kLinkInterface, value); }
vErr SystemClass::getHardwareVersion(uint32_t* value) { return getUEI32(kHardwareVersion, value); }
vErr SystemClass::getErrors(uint32_t* value) { return getUEI32(kErrors, value); }
vErr SystemClass::setLEDMaxBrightness(uint8_t value) { return setUEI8(kLEDMaxBrightness, value); }
vErr SystemClass::getLEDMaxBrightness(uint8_t* value) { return getUEI8(kLEDMaxBrightness, value); }
vErr SystemClass::getBuild(uint32_t* build) { return getUEI32(kBuild, build); }

// ------------------------------------------------------------------ I2CClass

void I2CClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, kI2CCommand, index);
  speed_ = 0;
}

// Waits for the reply that starts with match; a reply without its status
// byte is malformed, and a status with 0x80 set carries a vErr code.
vErr I2CClass::awaitStatus(const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                           uint8_t* length) {
  *length = matchLength;
  vErr err = receivePacket(match, length, reply);
  if (err != vErrNone) return err;
  if (*length <= 4) return vErrPacket;
  if (reply[4] & 0x80) return (reply[4] & 0x7F) ? vErr(reply[4] & 0x7F) : vErrUnknown;
  return vErrNone;
}

vErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
  if (length > kI2CMaxTransfer) return vErrSize;
  if (!data && length) return vErrParam;
  const uint8_t index = getIndex();
  const uint8_t request[] = {index, uint8_t(address | 1), length, speed_};
  vErr err = sendPacket(kI2CCommand, sizeof request, request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, uint8_t(address | 1)};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  err = awaitStatus(match, sizeof match, reply, &replyLength);
  if (err != vErrNone) return err;
  // The count must fit both the reply and what the caller asked for.
  const uint8_t n = reply[3];
  if (n > length || n > replyLength - 5) return vErrPacket;
  if (n) memcpy(data, &reply[5], n);
  return vErrNone;
}

vErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kI2CMaxTransfer) return vErrSize;
  if (!data && length) return vErrParam;
  const uint8_t index = getIndex();
  uint8_t request[4 + kI2CMaxTransfer] = {index, address, length, speed_};
  if (length) memcpy(&request[4], data, length);
  vErr err = sendPacket(kI2CCommand, uint8_t(4 + length), request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, address, 0};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  return awaitStatus(match, sizeof match, reply, &replyLength);
}

vErr I2CClass::setPullup(bool enabled) {
  const uint8_t index = getIndex();
  const uint8_t request[] = {index, 1, uint8_t(enabled ? 1 : 0)};
  vErr err = sendPacket(kI2CCommand, sizeof request, request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, 1};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  return awaitStatus(match, sizeof match, reply, &replyLength);
}

vErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kI2CMaxSpeed) return vErrParam;
  speed_ = speed;
  return vErrNone;
}

vErr I2CClass::getSpeed(uint8_t* speed) {
  if (!speed) return vErrParam;
  *speed = speed_;
  return vErrNone;
}

}  // namespace Velmarine
}  // namespace Corvane
