// SystemClass: the system entity of a module (address, router, LED, boot
// slot, version, power readings, name and the other module-wide values).
#pragma once
#include <cstddef>
#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "vErr.h"

namespace Corvane {
namespace Velmarine {

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

}  // namespace Velmarine
}  // namespace Corvane
