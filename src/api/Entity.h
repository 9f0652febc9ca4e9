// Modules and their entities: a Module owns the Link to one module and knows
// its address; EntityClass reads and writes one entity's values with UEI
// requests; SystemClass and I2CClass are the system entity and the I2C bus.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "vErr.h"
#include "vLinkSpec.h"
#include "vUEI.h"

namespace Corvane {
namespace Velmarine {

class Module {
 public:
  // Networking mode on: every connect learns the module's address.
  explicit Module(uint8_t address, uint8_t model = 0);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // serial 0: vErrParam; otherwise discoverAndConnect.
  vErr connect(linkType type, uint32_t serial);
  vErr discoverAndConnect(linkType type, uint32_t serial);
  vErr connectFromSpec(linkSpec spec);
  // Reaches this module through the router's connection; the caller sets the
  // module address.
  vErr connectThroughLinkModule(Module* router);
  vErr reconnect();
  bool isConnected();
  uint32_t getStatus();
  vErr disconnect();

  uint8_t getModuleAddress() const { return address_; }
  void setModuleAddress(uint8_t address) { address_ = address; }
  void setNetworkingMode(bool on) { networking_ = on; }
  Link* getLink() { return link_.get(); }
  vErr getLinkSpecifier(linkSpec* spec);
  vErr getConfig(vMeshConfig* config);
  vErr setConfig(vMeshConfig config);
  vErr enablePacketLog(const char* fileName);
  vErr disablePacketLog();

  // Echo test with command 0x17.
  vErr debug(const uint8_t* data, uint8_t length);
  // The firmware build from the 0x49 query.
  vErr getBuild(uint32_t* build);
  // vErrNone when the module has that UEI; otherwise the module's verdict.
  vErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  vErr classQuantity(uint8_t entityClass, uint8_t* count);
  vErr subClassQuantity(uint8_t entityClass, uint8_t b, uint8_t* count);
  vErr entityGroup(uint8_t a, uint8_t b, uint8_t* group);

 private:
  vErr _autoNetwork();
  vErr query(const uint8_t* request, uint8_t length, uint8_t echoed, uint8_t replyLength,
             uint8_t* reply);

  std::unique_ptr<Link> link_;
  uint8_t address_;
  bool networking_;
  uint8_t model_;
};

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  vErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  vErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

  // The uei's value, when it has one, travels as the request's parameter; the
  // reply is written back into it.
  vErr getUEI(uint8_t option, uei* request);
  vErr setUEI(uint8_t option, uei* request);
  vErr setUEI(uint8_t option, uint8_t subindex, uei* request);
  vErr callUEI(uint8_t option);

  vErr getUEI8(uint8_t option, uint8_t* value);
  vErr getUEI16(uint8_t option, uint16_t* value);
  vErr getUEI32(uint8_t option, uint32_t* value);
  vErr getUEI8(uint8_t option, uint8_t param, uint8_t* value);
  vErr getUEI16(uint8_t option, uint8_t param, uint16_t* value);
  vErr getUEI32(uint8_t option, uint8_t param, uint32_t* value);
  vErr setUEI8(uint8_t option, uint8_t value);
  vErr setUEI16(uint8_t option, uint16_t value);
  vErr setUEI32(uint8_t option, uint32_t value);
  vErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  vErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  vErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  vErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  vErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count);
  // Turns a byte count into a count of elements; returns 1 (count unchanged)
  // when the bytes do not divide into whole elements.
  vErr getUEIBytesCheck(size_t* count, size_t elementSize);
  // Waits for a value the module sends of its own accord; sends nothing.
  vErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
  vErr drainUEI(uint8_t option);

  vErr setStreamEnabled(bool enabled);
  vErr registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* ref);
  vErr getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count);

 protected:
  struct impl;
  std::unique_ptr<impl> pimpl_;

 private:
  Link* link() const;
  vErr getTyped(uint8_t option, bool withParam, uint8_t param, uint32_t* value);
};

class SystemClass : public EntityClass {
 public:
  void init(Module* module, uint8_t index);

  vErr getModule(uint8_t* address);
  vErr setRouter(uint8_t address);
  vErr getRouter(uint8_t* address);
  vErr setHBInterval(uint8_t interval);
  vErr getHBInterval(uint8_t* interval);
  vErr setLED(bool on);
  vErr getLED(uint8_t* state);
  vErr setBootSlot(uint8_t slot);
  vErr getBootSlot(uint8_t* slot);
  vErr getVersion(uint32_t* version);
  vErr getModel(uint8_t* model);
  vErr getSerialNumber(uint32_t* serial);
  vErr save();
  vErr reset();
  vErr getInputVoltage(uint32_t* value);
  vErr getModuleHardwareOffset(uint8_t* value);
  vErr getModuleBaseAddress(uint8_t* value);
  vErr setModuleSoftwareOffset(uint8_t value);
  vErr getModuleSoftwareOffset(uint8_t* value);
  vErr getRouterAddressSetting(uint8_t* value);
  vErr routeToMe(uint8_t value);
  vErr getInputCurrent(uint32_t* value);
  vErr getUptime(uint32_t* value);
  vErr getMaximumTemperature(int32_t* value);
  vErr logEvents();
  vErr getUnregulatedVoltage(int32_t* value);
  vErr getUnregulatedCurrent(int32_t* value);
  vErr getTemperature(int32_t* value);
  vErr getMinimumTemperature(int32_t* value);
  vErr getInputPowerSource(uint8_t* value);
  vErr setInputPowerBehavior(uint8_t value);
  vErr getInputPowerBehavior(uint8_t* value);
  vErr setInputPowerBehaviorConfig(const uint32_t* values, size_t n);
  vErr getInputPowerBehaviorConfig(uint32_t* values, size_t n, size_t* count);
  vErr setName(const uint8_t* name, size_t length);
  vErr getName(uint8_t* buffer, size_t length, size_t* count);
  vErr getPowerLimit(uint32_t* value);
  vErr setPowerLimitMax(uint32_t value);
  vErr getPowerLimitMax(uint32_t* value);
  vErr getPowerLimitState(uint32_t* value);
  vErr resetEntityToFactoryDefaults();
  vErr resetDeviceToFactoryDefaults();
  vErr setLinkInterface(uint8_t value);
  vErr getLinkInterface(uint8_t* value);
  vErr getHardwareVersion(uint32_t* value);
  vErr getErrors(uint32_t* value);
  vErr setLEDMaxBrightness(uint8_t value);
  vErr getLEDMaxBrightness(uint8_t* value);
  vErr getBuild(uint32_t* build);

 private:
  vErr getSigned(uint8_t option, int32_t* value);
};

class I2CClass : public EntityClass {
 public:
  void init(Module* module, uint8_t index);

  // At most 23 bytes per transfer.
  vErr read(uint8_t address, uint8_t length, uint8_t* data);
  vErr write(uint8_t address, uint8_t length, const uint8_t* data);
  vErr setPullup(bool enabled);
  // 0 to 3; sent with every transfer.
  vErr setSpeed(uint8_t speed);
  vErr getSpeed(uint8_t* speed);

 private:
  vErr awaitStatus(const uint8_t* match, uint8_t matchLength, uint8_t* reply, uint8_t* length);
  uint8_t speed_ = 0;
};

}  // namespace Velmarine
}  // namespace Corvane
