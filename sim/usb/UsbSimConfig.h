// Configuration of the simulated USB bus: which modules it presents and how
// each one misbehaves, read from the VELMARINE_USB_SIM environment variable.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SimStream.h"
#include "VelmarineSim.h"

namespace usbsim {

// The maker's USB vendor id, which the host's device test looks for.
constexpr uint16_t kMakerVendorId = 0x2B8E;

struct DeviceConfig {
  uint32_t serial = 0;
  uint8_t model = 0;
  uint8_t address = 4;
  uint16_t vendor = kMakerVendorId;
  uint16_t product = 0;    // the model unless given
  std::string serialText;  // "%08X" of the serial unless given
  uint8_t interfaceSubclass = 0x88;
  bool inEndpoint = true, outEndpoint = true;
  int claim = 0;                           // libusb result of claiming the interface (0: success)
  bool denied = false;                     // every open is refused for lack of permission
  bool node = false;                       // reached through a driver node instead of the bus
  bool stallOut = false, stallIn = false;  // the first transfer stalls
  bool ioError = false;                    // every transfer fails with an I/O error
  bool gone = false;                       // unplugged from the start
  int unplugAfter = -1;  // OUT transfers that pass before the device is unplugged (-1: never)
  // Requests (command, option or -1) whose OUT transfer unplugs the device: it never arrives.
  std::vector<std::pair<int, int>> unplugOn;
  // Values the module streams while a host subscribes to them (command 0x5D),
  // and the samples per second of each.
  std::vector<velsim::StreamSource> streams;
  uint32_t streamRate = 100;
  // The simulated module behind the device (router, build, version,
  // fingerprint, loader settings, state file), and its faults (muted requests,
  // upgrade loader faults).
  velsim::ModuleConfig module;
  velsim::FaultConfig faults;
};

// "40F5849A:19,2181F0EE:4:busy": entries split by commas, fields by colons:
// serial (hex), model (decimal or 0x), then options. Throws
// std::invalid_argument with a message naming the bad part.
std::vector<DeviceConfig> ParseBusSpec(const std::string& spec);
// One entry of that list ("DEADDEAD:19:address=4").
DeviceConfig ParseDeviceSpec(const std::string& entry);

}  // namespace usbsim
