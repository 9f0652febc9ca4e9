// SystemClass: each value of the system entity as its option code with the
// typed get, set or call that carries it.
#include "SystemClass.h"

#include <cstdint>

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kSystemCommand = 3;

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

}  // namespace Velmarine
}  // namespace Corvane
