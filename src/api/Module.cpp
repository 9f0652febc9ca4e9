// Module: connecting to a module, learning its address, and the 0x49 table
// queries (build, UEI presence, class and subclass counts, entity groups).
#include "Module.h"

#include <cstring>
#include <new>

#include "vLink.h"
#include "vMutex.h"
#include "vUEI.h"

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kEchoCommand = 0x17;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClass = 4;
constexpr uint8_t kQuerySubClass = 5;
constexpr uint8_t kQueryGroup = 6;
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

// A Link that could not be allocated leaves link_ empty; every method then
// answers vErrMemory instead of using it.
Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link_(new (std::nothrow) Link("Link")),
      address_(address),
      networking_(networkingMode),
      model_(model) {}

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
  if (!link_) return vErrMemory;
  vErr err = link_->discoverAndConnect(type, serial, model_);
  return err == vErrNone ? _autoNetwork() : err;
}

vErr Module::connectFromSpec(linkSpec spec) {
  if (!link_) return vErrMemory;
  if (link_->isConnected()) return vErrBusy;
  vErr err = link_->setLinkSpecifier(spec);
  if (err == vErrNone) err = link_->connect();
  return err == vErrNone ? _autoNetwork() : err;
}

vErr Module::connectThroughLinkModule(Module* router) {
  if (!link_) return vErrMemory;
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
  if (!link_) return vErrMemory;
  vErr err = link_->connect();
  return err == vErrNone ? _autoNetwork() : err;
}

bool Module::isConnected() { return link_ && link_->isConnected(); }

uint32_t Module::getStatus() { return link_ ? link_->getStatus() : uint32_t(kLinkFault); }

vErr Module::disconnect() { return link_ ? link_->disconnect() : vErrMemory; }

vErr Module::getLinkSpecifier(linkSpec* spec) {
  return link_ ? link_->getLinkSpecifier(spec) : vErrMemory;
}

vErr Module::getConfig(vMeshConfig* config) {
  if (!link_) return vErrMemory;
  return link_->getConfig(config);
}

vErr Module::setConfig(vMeshConfig config) { return link_ ? link_->setConfig(config) : vErrMemory; }

vErr Module::enablePacketLog(const char* fileName) {
  return link_ ? link_->enablePacketLog(fileName) : vErrMemory;
}

vErr Module::disablePacketLog() { return link_ ? link_->disablePacketLog() : vErrMemory; }

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
  if (!link_) return vErrMemory;
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

}  // namespace Velmarine
}  // namespace Corvane
