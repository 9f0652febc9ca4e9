// The update command (-U): choose the image, load and check it, connect to the
// module directly or through a router, send the loader and the firmware,
// bring the module back after the loader, and record the transfer.
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "Entity.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "UpdaterStoreAccess.h"
#include "vDefs.h"
#include "vMutex.h"

using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

namespace {

const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The entry's number under key (its leading decimal digits), 0 when absent.
uint32_t sStoredBuild(UpdaterStoreItem& item, const char* key) {
  int v = item.info.GetInt(key, 0);
  return v > 0 ? uint32_t(v) : 0;
}

// Whether the image's blocks can be sent as they are; otherwise why not.
// Checked before anything goes to the module, so a damaged image never
// leaves it half programmed.
bool sImageSendable(const BirdFile& image, std::string& why) {
  // Every byte of the content must belong to a block or the checksum: a block
  // that ran past the end was dropped by the reader, and sending the rest
  // would program an incomplete image.
  uint64_t used = 4 + 4;
  for (const BirdBlock& b : image.blocks) used += 5 + uint64_t(b.length);
  if (image.dataLength < 8 || used != image.dataLength) {
    why = "its blocks do not fill its content (truncated or damaged)";
    return false;
  }
  for (const BirdBlock& b : image.blocks) {
    if (b.type == BirdFile::BLOCK_FIRMWARE && b.length < 4) {
      why = "a firmware block is shorter than its address";
      return false;
    }
    if (b.type == BirdFile::BLOCK_LOADER && b.length <= 4) {
      why = "a loader block holds no loader";
      return false;
    }
  }
  if (image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    why = "it holds no firmware block";
    return false;
  }
  return true;
}

// Connects over USB, then over TCP/IP when the module is not on USB.
vErr sConnectDirect(Module& module, uint32_t serial) {
  vErr err = module.connect(linkTypeUSB, serial);
  if (err == vErrNotFound) {
    // A USB try that could not bring its link up must not keep it held.
    module.disconnect();
    err = module.connect(linkTypeTCPIP, serial);
  }
  return err;
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Module& module,
                        uint32_t serial) {
  if (image.blocks.empty()) return false;
  if (!image.serialBlockPresent && !image.ValidateSerialNumber(serial)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t moduleSerial = 0;
  vErr err = system.getSerialNumber(&moduleSerial);
  // A read that failed (the module went away, or stopped answering) says so:
  // it is no verdict on the image.
  if (err != vErrNone) {
    display.message(ERROR, "Could not read the serial number of module [%08X] [%d, %s]", serial,
                    int(err), vError_GetErrorText(uint32_t(err)));
    return false;
  }
  if (moduleSerial != serial) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
             int(err));
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  if (err != vErrNone) {
    display.message(ERROR, "Could not read the model of module [%08X] [%d, %s]", serial, int(err),
                    vError_GetErrorText(uint32_t(err)));
    return false;
  }
  const char* name = vDefs_GetModelName(model);
  if (!image.ValidateModel(name)) {
    display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                    name, int(err));
    return false;
  }
  return true;
}

BirdFile Updater::load_bird(const char* purpose, std::string birdFile, uint32_t serial,
                            uint32_t build, bool allowDownload) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDirectory, "load_bird");
  if (!store) return BirdFile();
  if (!birdFile.empty()) {
    display.message(INFO, "%s from Birdfile: %s", purpose, birdFile.c_str());
    return BirdFile(birdFile.c_str());
  }
  UpdaterStoreItem item = store->AddDevice(serial);
  display.message(INFO, "%s firmware with build: %u", purpose, build);
  std::string name = std::to_string(build) + ".bird";
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::runtime_error&) {
    // Caught by load_bird's callers, Update_Firmware and the recovery command.
    if (!allowDownload) throw std::runtime_error("Error reading birdfile");
  }
  display.message(INFO, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return item.ReadBirdFile(name.c_str());
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override) {
  if (serial == 0) {
    display.message(ERROR, "Update command must specify the specific device");
    return false;
  }
  UpdateJob job;
  job.serial = serial;
  job.build = build;
  job.birdFile = birdFile;
  job.moduleAddress = moduleAddress;
  job.routerSerial = routerSerial;
  job.override = override;
  if (!Find_Entry(job) || !Choose_Build(job) || !Prepare_Image(job) || !Hold_Module(job) ||
      !Connect_Module(job))
    return false;
  Transfer_Loader(job);
  Reconnect_Module(job);
  Transfer_Firmware(job);
  if (job.error != vErrNone) {
    Report_Failure(job);
    return false;
  }
  Record_Transfer(job);
  return true;
}

bool Updater::Find_Entry(UpdateJob& job) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Update_Firmware");
  if (!store) return false;
  // A stray file whose name holds the serial number is no device entry.
  if (!store->FindDevice(job.serial, &job.item) || job.item.kind != STORE_ITEM_DIRECTORY)
    job.item = UpdaterStoreItem();
  job.start = vTime_GetMSTicks();
  return true;
}

bool Updater::Choose_Build(UpdateJob& job) {
  if (!job.birdFile.empty() || job.build != 0) return true;
  uint32_t build = 0;
  std::string buildText, versionText;
  UpdateServerRequest::QueryBuild(job.serial, buildText, versionText, serverUrl.c_str());
  if (!_parse_build(buildText, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
    build = 0;
  }
  if (build != 0) {
    std::string name = std::to_string(build) + ".bird";
    // Without an entry there is no stored image to find.
    bool stored = job.item.IsValid();
    if (stored) {
      try {
        job.item.ReadBirdFile(name.c_str());
      } catch (const std::exception&) {
        stored = false;
      }
    }
    if (!stored) {
      build = 0;
      display.message(
          INFO,
          "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0) {
    build = sStoredBuild(job.item, "LATEST_DOWNLOAD");
    if (build != 0) display.message(INFO, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = sStoredBuild(job.item, "LATEST_TRANSFER");
    if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
  }
  if (build == 0) {
    display.message(ERROR, "Could not find valid build for this device.");
    return false;
  }
  job.build = build;
  return true;
}

bool Updater::Prepare_Image(UpdateJob& job) {
  try {
    job.image = load_bird("Updating", job.birdFile, job.serial, job.build, false);
  } catch (const std::exception&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  std::string why;
  if (!sImageSendable(job.image, why)) {
    display.message(ERROR, "Bird file can't be sent: %s", why.c_str());
    return false;
  }
  if (job.image.serialBlockPresent) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!job.image.ReplaceSerialNumber(job.serial)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(ERROR, "Failed to write the serial number [%08X] into the firmware",
                      job.serial);
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }
  return true;
}

bool Updater::Hold_Module(UpdateJob& job) {
  job.hold.reset(new UpdateHold(storeDirectory, job.serial));
  if (job.hold->busy()) {
    display.message(ERROR, "Module [%08X] is being updated by another process", job.serial);
    return false;
  }
  return true;
}

bool Updater::Connect_Module(UpdateJob& job) {
  job.module.reset(new Module(job.moduleAddress, 0));
  Module& module = *job.module;
  job.error = _disableEther(module, display);
  if (job.error != vErrNone) return true;
  if (job.routerSerial == 0) {
    job.error = sConnectDirect(module, job.serial);
    if (job.error != vErrNone) {
      display.message(ERROR, "Failed to connect to module [%08X]", job.serial);
      _usb_permission_hint(display);
      return false;
    }
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) == vErrNone && spec.type == linkTypeTCPIP)
      job.reachedOver = linkTypeTCPIP;
  } else {
    if (job.moduleAddress == 0) {
      std::vector<DeviceInfo> devices = Discover_VLNetwork_Devices(job.routerSerial, linkType(0));
      if (devices.empty()) {
        display.message(ERROR, "Unable to find modules on Network");
        job.error = vErrNotFound;
        return false;
      }
      uint16_t address = 0;
      bool found = false;
      for (const DeviceInfo& d : devices) {
        if (d.spec.serialNumber == job.serial) {
          address = d.networkAddress;
          found = true;
        }
      }
      if (!found || address == 0) {
        display.message(ERROR,
                        "Module address required for indirect firmware update, could not find "
                        "serial number [0x%08X] on network",
                        job.serial);
        job.error = vErrNotFound;
        return false;
      }
      module.setModuleAddress(uint8_t(address));
    }
    std::unique_ptr<Module> router(new Module(0, 0));
    job.error = _disableEther(*router, display);
    if (job.error != vErrNone) return true;
    job.error = sConnectDirect(*router, job.routerSerial);
    if (job.error != vErrNone) {
      display.message(ERROR, "Failed to connect to link module [%08X]", job.routerSerial);
      _usb_permission_hint(display);
      return false;
    }
    job.error = module.connectThroughLinkModule(router.get());
    if (job.error != vErrNone) {
      display.message(ERROR, "Failed to connect to module [%08X]", job.serial);
      _usb_permission_hint(display);
      return false;
    }
  }

  if (!job.override && !_validate_birdfile(display, job.image, module, job.serial)) {
    display.message(ERROR, "Birdfile failed validation");
    job.error = vErrParse;
    return false;
  }
  return true;
}

void Updater::Transfer_Loader(UpdateJob& job) {
  if (job.error == vErrNone) job.error = _transfer_loader(display, *job.module, job.image);
}

void Updater::Reconnect_Module(UpdateJob& job) {
  if (job.error != vErrNone || job.module->isConnected()) return;
  job.module->disconnect();
  _connect_with_retries(*job.module, job.reachedOver, {job.serial});
}

void Updater::Transfer_Firmware(UpdateJob& job) {
  if (job.error == vErrNone)
    job.error = _transfer_firmware(display, *job.module, job.image, job.routerSerial != 0);
}

void Updater::Report_Failure(UpdateJob& job) {
  Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(job.error));
  display.message(ERROR, "Firmware update of module [%08X] failed [%d, %s]", job.serial,
                  int(job.error), vError_GetErrorText(uint32_t(job.error)));
}

void Updater::Record_Transfer(UpdateJob& job) {
  std::string birdFile = job.birdFile;
  if (birdFile.empty()) birdFile = std::to_string(job.build) + ".bird";
  job.item.info.Add("LATEST_TRANSFER", birdFile);
  job.item.info.Add("LAST_TRANSFER_DATE", _local_time_text());
  if (job.item.IsValid()) job.item.info.Save(nullptr);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(INFO, "Update time: %.4f sec", double(vTime_GetMSTicks() - job.start) / 1000.0);
}
