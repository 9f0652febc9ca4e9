// Device discovery (-D): the modules reachable over USB or TCP/IP, and those
// behind a router module on its device network, each read for its version,
// addresses, model and build while it is connected, one at a time.
#include <memory>

#include "Entity.h"
#include "Link.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterStoreAccess.h"
#include "vDefs.h"
#include "vDiscovery.h"
#include "vVersion.h"

using Corvane::Velmarine::I2CClass;
using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

namespace {

constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
// The device network's addresses: even, from 2 to 252.
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;
constexpr uint8_t kFastestI2CSpeed = 3;

// What _discover_link_type looks for and what it found.
struct LinkSearch {
  uint32_t serial = 0;
  linkType found = linkTypeInvalid;
};

// A linkSpec from discovery, released on every path.
struct SpecHolder {
  linkSpec* spec = nullptr;
  ~SpecHolder() { vLinkSpec_Destroy(&spec); }
};

}  // namespace

// Takes every module found and adds a record for it; the search goes on.
bool _discovered_device(const linkSpec* found, bool* accepted, void* ref) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(ref);
  if (found && list) {
    DeviceInfo info;
    info.spec = *found;
    list->push_back(info);
  }
  if (accepted) *accepted = true;
  return true;
}

// Takes every module; ends the search at the one with the wanted serial number.
bool _discovered_link(const linkSpec* found, bool* accepted, void* ref) {
  auto* search = static_cast<LinkSearch*>(ref);
  if (accepted) *accepted = true;
  if (!found || !search || found->serialNumber != search->serial) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", found->serialNumber,
           int(found->type));
  search->found = found->type;
  return false;
}

linkType _discover_link_type(uint32_t serial) {
  LinkSearch search;
  search.serial = serial;
  vDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search, vMESH_LOOPBACK_INTERFACE);
  if (search.found == linkTypeInvalid)
    vDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search, vMESH_LOOPBACK_INTERFACE);
  return search.found;
}

uint32_t _get_build_number(Module& module) {
  Corvane::Velmarine::Link* link = module.getLink();
  if (!link) return 0;
  const uint8_t address = module.getModuleAddress();
  const uint8_t request[] = {kQueryBuild};
  if (link->sendPacket(address, kQueryCommand, sizeof request, request) != vErrNone) return 0;
  const uint8_t match[] = {kQueryCommand, kQueryBuild};
  uint8_t data[vPACKET_MAX_DATA] = {0};
  uint8_t length = sizeof match;
  if (link->receivePacket(address, match, &length, data) != vErrNone) return 0;
  if (length != 6) return 0;
  return uint32_t(data[2]) << 24 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 8 | data[5];
}

vErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  vErr err = system.getVersion(&version);
  if (err != vErrNone) return err;
  info.versionMajor = uint8_t(vVersion_ParseMajor(version));
  info.versionMinor = uint8_t(vVersion_ParseMinor(version));
  info.versionPatch = vVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != vErrNone) return err;
  info.spec.moduleAddress = address;
  err = system.getRouter(&address);
  if (err != vErrNone) return err;
  info.spec.routerAddress = address;
  return vErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == linkTypeInvalid) {
    devices = Enumerate_Devices(linkTypeUSB);
    std::vector<DeviceInfo> more = Enumerate_Devices(linkTypeTCPIP);
    devices.insert(devices.end(), more.begin(), more.end());
  } else {
    devices = Enumerate_Devices(type);
  }
  for (DeviceInfo& info : devices) Read_Device(info);
  return devices;
}

std::vector<DeviceInfo> Updater::Enumerate_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  vDiscovery_EnumerateModules(type, _discovered_device, &devices, vMESH_LOOPBACK_INTERFACE);
  return devices;
}

void Updater::Read_Device(DeviceInfo& info) {
  info.modelName = vDefs_GetModelName(info.spec.model);
  Module module(2, uint8_t(0));
  if (_disableEther(module, display) != vErrNone) return;
  vErr err = module.connectFromSpec(info.spec);
  if (err != vErrNone) {
    info.error = err;
    return;
  }
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);
  module.disconnect();
}

std::vector<DeviceInfo> Updater::Discover_VLNetwork_Devices(uint32_t routerSerial, linkType type) {
  const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
  std::vector<DeviceInfo> devices;
  if (type == linkTypeInvalid) type = _discover_link_type(routerSerial);

  SpecHolder routerSpec;
  routerSpec.spec = vDiscovery_FindModule(type, routerSerial, vMESH_LOOPBACK_INTERFACE);
  if (!routerSpec.spec) return devices;

  Log::log(DEBUG_Updater, "Found Link Module");
  Module router(2, uint8_t(0));
  if (_disableEther(router, display) != vErrNone) return devices;
  vErr err = router.connectFromSpec(*routerSpec.spec);
  if (err != vErrNone) {
    display.message(ERROR, "Error %d on connectFromSpec", int(err));
    _usb_permission_hint(display);
    return devices;
  }

  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != vErrNone) {
    display.message(ERROR, "Error %d on route to me", int(err));
    router.disconnect();
    return devices;
  }

  I2CClass i2c;
  i2c.init(&router, 0);
  i2c.setSpeed(kFastestI2CSpeed);

  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned a = kFirstNetworkAddress; a <= kLastNetworkAddress; a += 2) {
    const uint8_t address = uint8_t(a);
    if (address == routerAddress) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0, 0};
    if (i2c.write(address, sizeof probe, probe) != vErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module target(address, false, 0);
    _disableEther(target, display);
    if (target.connectThroughLinkModule(&router) != vErrNone) continue;

    SystemClass targetSystem;
    targetSystem.init(&target, 0);
    uint32_t serial = 0;
    if (targetSystem.getSerialNumber(&serial) != vErrNone) {
      target.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.routerAddress = routerAddress;
    info.spec.routerSerialNumber = routerSerial;
    info.spec.t = routerSpec.spec->t;  // reached through the router's transport
    info.networkAddress = address;
    info.build = _get_build_number(target);
    info.error = _get_version(target, info);

    uint8_t model = 0;
    err = targetSystem.getModel(&model);
    if (err != vErrNone) {
      info.error = err;
    } else {
      info.spec.model = model;
      info.modelName = vDefs_GetModelName(model);
    }
    target.disconnect();
    devices.push_back(info);
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
