// The object through which main runs every command. It holds only what the
// commands share; each operation opens the store and its modules afresh.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Module.h"
#include "UpdateHold.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "vErr.h"
#include "vLinkSpec.h"

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

// What one update works with, handed from step to step. The caller fills the
// request; the steps fill the rest.
struct UpdateJob {
  // The request.
  uint32_t serial = 0;
  uint32_t build = 0;         // 0: chosen by Choose_Build
  std::string birdFile;       // an image file instead of a stored build
  uint8_t moduleAddress = 0;  // behind a router: the network address; 0 looks it up
  uint32_t routerSerial = 0;  // 0: a direct connection
  bool override = false;      // skip the check of the image against the module

  // What the steps found and hold.
  UpdaterStoreItem item;  // the device's store entry (empty when it has none)
  uint64_t start = 0;     // when the update began, in ms ticks
  BirdFile image;
  std::unique_ptr<UpdateHold> hold;
  std::unique_ptr<Corvane::Velmarine::Module> module;
  linkType reachedOver = linkTypeUSB;
  // The first failure of the connection or the transfer; the later steps do
  // nothing once it is set.
  vErr error = vErrNone;
};

class Updater {
 public:
  Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);

  // Update (-U).
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                       uint32_t routerSerial, bool override);
  BirdFile load_bird(const char* purpose, std::string birdFile, uint32_t serial, uint32_t build,
                     bool allowDownload);

  // The steps of an update, in order: Update_Firmware runs them one after
  // the other, and so does each worker of the fleet. A step that returns
  // false has said why and the update ends there.
  //
  // The device's store entry, and the start of the update's clock.
  bool Find_Entry(UpdateJob& job);
  // Without an image file and a build: the server's newest build when the
  // store has it, else the entry's latest download, else its latest transfer.
  bool Choose_Build(UpdateJob& job);
  // Loads the image, checks that it can be sent whole, and writes the
  // module's serial number into a generic one.
  bool Prepare_Image(UpdateJob& job);
  // Takes the module's update hold; false when another process holds it.
  bool Hold_Module(UpdateJob& job);
  // Connects directly (USB, then TCP/IP) or through the router, and checks
  // the image against the module unless override is set. False: the update
  // ends here. True with job.error set: the connection could not be set up,
  // and Report_Failure says so.
  bool Connect_Module(UpdateJob& job);
  // Loads and starts the loader (only while job.error is not set).
  void Transfer_Loader(UpdateJob& job);
  // Brings the module back when the loader restarted it, over the transport
  // it was reached on; the transfer goes on whether or not that succeeded.
  void Reconnect_Module(UpdateJob& job);
  // Sends the firmware blocks and reboots the module (only while job.error
  // is not set).
  void Transfer_Firmware(UpdateJob& job);
  // Says that the connection or the transfer failed, with job.error.
  void Report_Failure(UpdateJob& job);
  // Records the transfer in the device's entry and says how long it took.
  void Record_Transfer(UpdateJob& job);

  // Discovery (-D).
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_VLNetwork_Devices(uint32_t routerSerial, linkType type);
  // The steps of Discover_Devices: the modules found on one transport (none
  // of them opened for more than its serial number), then one module's
  // version, addresses and build read over a connection of its own.
  std::vector<DeviceInfo> Enumerate_Devices(linkType type);
  void Read_Device(DeviceInfo& info);

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
