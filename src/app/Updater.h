// The object through which main runs every command. It holds only what the
// commands share; each operation opens the store and its modules afresh.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "vErr.h"
#include "vLinkSpec.h"

class BirdFile;
class UpdaterStore;
namespace Corvane {
namespace Velmarine {
class Module;
}
}  // namespace Corvane

// Transport value of -t RECOVER: the module is reached through its boot ROM.
#define TRANSPORT_RECOVER 255u

// Four 32-bit words that identify a chip to its boot ROM and the update server.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};

// One discovered module, as listed by -D.
struct DeviceInfo {
  linkSpec spec{};
  uint16_t networkAddress = 0;
  uint32_t build = 0;
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  uint32_t error = 0;
};

class Updater {
 public:
  Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);

  // Update (-U).
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile,
                       uint8_t moduleAddress, uint32_t routerSerial, bool override);
  BirdFile load_bird(const char* purpose, std::string birdFile, uint32_t serial, uint32_t build,
                     bool allowDownload);

  // Discovery (-D).
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_VLNetwork_Devices(uint32_t routerSerial, linkType type);

  // Builds and downloads (-B, -L, -G).
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal);
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  std::map<std::string, std::string> Get_BuildList(uint32_t serial);
  std::map<std::string, std::string> Get_BuildListLocal(uint32_t serial);

  // Recovery (-U -t RECOVER) and fingerprint (-N).
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                        std::string birdFile, bool override);
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serial,
                       std::string birdFile, uint32_t baud, bool reset);

  std::string serverUrl;
  std::string storeDirectory;
  UpdaterDisplayInterface& display;
  uint8_t chipFamily = 0;
};

// Discovery steps shared by the commands: the transport over which a module
// answers (USB, else TCP/IP, else 0), and reads from a connected module (the
// build from the 0x49 query, 0 when it fails; the version and addresses).
linkType _discover_link_type(uint32_t serial);
uint32_t _get_build_number(Corvane::Velmarine::Module& module);
vErr _get_version(Corvane::Velmarine::Module& module, DeviceInfo& info);
// Enumeration callbacks: every module found becomes a record (a vector of
// DeviceInfo as ref); the module with the wanted serial ends the search.
bool _discovered_device(const linkSpec* found, bool* accepted, void* ref);
bool _discovered_link(const linkSpec* found, bool* accepted, void* ref);

// Whether the server's build list for the module holds the build.
bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl);

// A build text: decimal digits only (leading zeros allowed) whose value fits
// 32 bits. Anything else, too large a number included, is no build number.
bool _parse_build(const std::string& text, uint32_t& value);
// Up to 15 rounds, 1000 ms apart, of Module::discoverAndConnect over the
// transport with each serial number in turn; true once the module is
// connected. A try that fails lets go of its link, so the next starts afresh.
bool _connect_with_retries(Corvane::Velmarine::Module& module, linkType type,
                           const std::vector<uint32_t>& serials);
// One line, once per run, on how to give the user access to the maker's USB
// devices, when an open or claim of one was refused for lack of permission.
void _usb_permission_hint(UpdaterDisplayInterface& display);
// The local time in the ctime form without its line end, as the store keeps
// the dates of downloads and transfers.
std::string _local_time_text();
