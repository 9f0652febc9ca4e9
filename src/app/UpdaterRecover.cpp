// Recovery (-U -t RECOVER) and fingerprint (-N) through a chip's boot ROM.
// LPC parts are identified and flashed over the ISP serial protocol; i.MX
// parts are made to run a recovery loader written through the Serial Download
// Protocol, which is then identified and updated over USB like a module.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Entity.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "NXPSerialClass.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "UpdaterStoreAccess.h"
#include "vMutex.h"

using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

// The steps of the two recovery paths, one per boot-ROM family.
bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint);
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          uint32_t serial, std::string birdFile, Fingerprint& fingerprint,
                          bool reset);
vErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image, std::string port);
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string& port,
                           uint32_t baud, Fingerprint& fingerprint);
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serial);

namespace {

const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

constexpr uint8_t kFamilyImx = 1;
constexpr uint8_t kFamilyLpc = 2;
// Serial number of a module that has none yet, such as one running only the
// recovery loader; its store entry and server builds hold the default loader.
constexpr uint32_t kDefaultSerial = 0xDEADDEAD;
// Budget (in 1 ms reads) for each reply line while resuming a synchronised chip.
constexpr uint32_t kResumeWaitMs = 100;
constexpr const char* kUsbPort = "USB";
constexpr uint16_t kRomVendor = 0x1FC9;
constexpr uint16_t kRomProduct = 0x0130;
constexpr uint32_t kDefaultLoaderStart = 0x20000400;
constexpr uint8_t kFingerprintOption = 39;
// LPC flash: sectors 0 to 29 over 512 KB; data is staged in RAM in pieces
// of at most 4 KB and copied from there.
constexpr uint32_t kLastSector = 29;
constexpr uint32_t kFlashSize = 0x80000;
constexpr uint32_t kChunk = 4096;
constexpr uint32_t kCopyAlign = 256;
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kVectorWords = 8;

uint32_t sBigEndian(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The port names a terminal we can open, or is the USB boot ROM. Checked
// first so that a wrong -s is named as such instead of as a silent chip.
bool sPortUsable(UpdaterDisplayInterface& display, const std::string& port) {
  if (port.empty()) {
    display.message(ERROR, "Must specify the serial port used for connecting");
    return false;
  }
  if (port == kUsbPort) return true;
  int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    display.message(ERROR, "Cannot open serial port %s: %s", port.c_str(), strerror(errno));
    return false;
  }
  bool terminal = isatty(fd);
  close(fd);
  if (!terminal) display.message(ERROR, "%s is not a serial port", port.c_str());
  return terminal;
}

// A chip synchronised by an earlier run (a -N, or a recovery that failed)
// keeps that state until it is reset, and takes the autobaud character as the
// start of a command line. Bring it to a known state instead: end that line,
// turn echo off (reading past whatever the chip echoes), then on again.
bool sResumeSynchronized(NXPSerialClass& isp) {
  // Reads whatever the chip sends (echo and replies) until it falls silent.
  auto drain = [&isp] {
    char line[1024];
    size_t n = 0;
    for (int i = 0; i < 8; ++i)
      if (isp.GetLine(line, sizeof line, &n, kResumeWaitMs) != vErrNone && n == 0) break;
  };
  isp.echo = false;
  if (isp.Send("\r\n", false) != vErrNone) return false;
  drain();
  if (isp.Send("A 0\r\n", false) != vErrNone) return false;
  drain();
  // Echo is off now: the chip's answer to turning it on is its return code alone.
  return isp.SetEcho(true) == vErrNone;
}

// Serial numbers to look for a module under: the given one, then the default
// one a module running only the recovery loader may answer to.
std::vector<uint32_t> sCandidateSerials(uint32_t serial) {
  std::vector<uint32_t> serials = {serial};
  if (serial != kDefaultSerial) serials.push_back(kDefaultSerial);
  return serials;
}

// The firmware blocks before the end marker (a block whose payload is only
// 4 bytes); these are the ones written.
size_t sLpcBlockCount(const std::vector<BirdBlock>& blocks) {
  size_t count = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length >= 4 && block.length - 4 == 4) break;
    ++count;
  }
  return count;
}

// Everything that would make the LPC write fail part-way is checked before
// the flash is erased, so that a bad image leaves the module as it was:
// every block holds its address, lies on a copy boundary and fits the flash,
// and the vector table (after descrambling) has the checksum the boot ROM
// needs to start the code. A wrong fingerprint gives a table that fails it.
bool sCheckLpcImage(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks) {
  size_t count = sLpcBlockCount(blocks);
  if (count == 0) {
    display.message(ERROR, "The recovery image holds no firmware block");
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const BirdBlock& block = blocks[i];
    if (block.length < 4) {
      display.message(ERROR, "Firmware block %zu is %u bytes long, too short for its address",
                      i + 1, block.length);
      return false;
    }
    uint32_t payload = block.length - 4;
    if (block.address % kCopyAlign) {
      display.message(ERROR, "Firmware block %zu starts at 0x%08X, not on a %u-byte boundary",
                      i + 1, block.address, kCopyAlign);
      return false;
    }
    for (uint32_t offset = 0; offset < payload; offset += kChunk) {
      uint32_t chunk = payload - offset < kChunk ? payload - offset : kChunk;
      if (uint64_t(block.address) + offset + NXPSerialClass::CopyLength(chunk) > kFlashSize) {
        display.message(ERROR, "Firmware block %zu (0x%08X, %u bytes) does not fit the flash",
                        i + 1, block.address, payload);
        return false;
      }
    }
    if (block.address == 0 && payload >= kVectorWords * 4) {
      const uint8_t* p = block.data + 4;
      uint32_t sum = 0;
      for (uint32_t w = 0; w < kVectorWords; ++w, p += 4)
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
      if (sum != 0) {
        display.message(ERROR,
                        "The recovery image does not fit this chip: its vector table is not "
                        "valid after descrambling with the chip's fingerprint");
        return false;
      }
    }
  }
  return true;
}

// Writes one chunk: staged in RAM, its sectors prepared, copied to flash.
// The staged copy is padded with the erased value up to the copy length, so
// that the bytes copied beyond the chunk leave the flash erased there.
bool sWriteLpcChunk(NXPSerialClass& isp, uint32_t flash, const uint8_t* data, uint32_t chunk) {
  const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
  uint32_t copy = NXPSerialClass::CopyLength(chunk);
  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(chunk), flash);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(chunk), ram);
  std::vector<uint8_t> staged(copy, kErased);
  memcpy(staged.data(), data, chunk);
  if (isp.Write(ram, copy, staged.data()) != vErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    return false;
  }
  uint32_t first = NXPSerialClass::SectorFromAddress(flash);
  uint32_t last = NXPSerialClass::SectorFromAddress(flash + copy - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", int(first), int(last));
  if (isp.Prepare(first, last) != vErrNone) {
    Log::log(DEBUG_Updater, "\t Prepare failed\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy), ram, flash);
  if (isp.CopyToFlash(flash, ram, copy) != vErrNone) {
    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
    return false;
  }
  return true;
}

// Writes every firmware block into flash, each in chunks with the progress
// bar; false at the first failed chunk.
bool sWriteLpcBlocks(UpdaterDisplayInterface& display, NXPSerialClass& isp,
                     const std::vector<BirdBlock>& blocks) {
  int count = int(sLpcBlockCount(blocks));
  uint32_t total = 0;
  for (int n = 0; n < count; ++n) {
    const BirdBlock& block = blocks[size_t(n)];
    const uint32_t payload = block.length - 4;
    const uint8_t* data = block.data + 4;
    display.message(INFO, "Transferring firmware block %d of %d, %d bytes", n + 1, count,
                    int(payload));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             int(payload), block.address);
    uint32_t flash = block.address;
    for (uint32_t offset = 0; offset < payload;) {
      uint32_t chunk = payload - offset < kChunk ? payload - offset : kChunk;
      if (!sWriteLpcChunk(isp, flash, data + offset, chunk)) {
        display.display_progress(false);
        return false;
      }
      flash += chunk;
      offset += chunk;
      display.update_progress(double(offset) / payload, nullptr);
    }
    display.display_progress(false);
    total += payload;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", count, int(total));
  return true;
}

// The LPC recovery proper; `erased` tells the caller whether the flash was
// (or may have been) erased when it fails.
bool sRecoverLpc(UpdaterDisplayInterface& display, BirdFile& image, const std::string& port,
                 uint32_t baud, bool& erased) {
  erased = false;
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!sCheckLpcImage(display, blocks)) return false;

  NXPSerialClass isp;
  if (isp.Connect(port.c_str(), baud) != vErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (isp.Unlock() != vErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (isp.Prepare(0, kLastSector) != vErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  erased = true;
  if (isp.Erase(0, kLastSector) != vErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    return false;
  }

  isp.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.path.c_str());
  if (!sWriteLpcBlocks(display, isp, blocks)) return false;

  vErr err = isp.SetEcho(true);
  if (err != vErrNone) {
    // Everything is in flash, but the chip no longer answers: it was not started.
    display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", int(err),
                    vError_GetErrorText(err));
    return false;
  }
  display.message(INFO, "Rebooting Device");
  isp.ExecuteFrom(0);
  return true;
}

// The recovery image named by birdFile, or by the store entry of serial (the
// default loader is downloaded when the store has none). Throws what loading throws.
BirdFile sLoaderImage(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                      uint32_t serial, const std::string& birdFile) {
  if (!birdFile.empty()) return BirdFile(birdFile.c_str());
  UpdaterStoreItem item;
  std::string name;
  if (!store.FindDevice(serial, &item)) {
    display.mute_messages(true);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    uint32_t build = updater.Download_Firmware(serial, std::string(), false, false);
    if (build != 0) {
      name = std::to_string(build) + ".bird";
      store.FindDevice(serial, &item);
    }
    display.mute_messages(false);
    if (name.empty())
      display.message(ERROR, "No recovery loader for %08X in the store or on the server", serial);
  } else {
    name = item.info.GetString("LATEST_DOWNLOAD", "");
  }
  return item.ReadBirdFile(name.c_str());
}

}  // namespace

bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fingerprint) {
  NXPSerialClass isp;
  vErr err = isp.Connect(port.c_str(), baud);
  if (err != vErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != vErrNone && sResumeSynchronized(isp)) {
    Log::log(DEBUG_APP, "\tDevice was synchronized already\n");
    err = vErrNone;
  }
  if (err != vErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
             int(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != vErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; ++i) fingerprint.words[i] = isp.deviceId[i];
  return true;
}

vErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image,
                               std::string port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
  // Checked before the boot ROM is touched: a block without its address word
  // has nowhere to go, and an image without a loader leaves nothing to start.
  if (blocks.empty()) {
    display.message(ERROR, "The recovery image holds no loader block");
    return vErrNotFound;
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].length < 4) {
      display.message(ERROR, "Loader block %zu is %u bytes long, too short for its load address", i,
                      blocks[i].length);
      return vErrSize;
    }
  }

  SDPLoader sdp;
  if (port == kUsbPort)
    sdp.setLoader(new HID_SDPLoader(kRomVendor, kRomProduct));
  else
    sdp.setLoader(new Serial_SDPLoader(port.c_str()));
  if (sdp.init() != vErrNone) {
    display.message(ERROR, "No i.MX boot ROM could be opened on %s", port.c_str());
    return vErrNotReady;
  }

  for (size_t i = 0; i < blocks.size(); ++i) {
    uint32_t address = blocks[i].address;
    std::vector<uint8_t> payload(blocks[i].data + 4, blocks[i].data + blocks[i].length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", int(i), payload.size(),
             int(address));
    int status = sdp.writeLoader(payload, address);
    if (status != SDPLoader::kLoadOk) {
      display.message(ERROR,
                      "Writing the recovery loader failed (%d): the module is still in its "
                      "boot ROM",
                      status);
      return vErrConnection;
    }
  }

  uint32_t start = kDefaultLoaderStart;
  std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts[0].length >= 4) start = sBigEndian(starts[0].data);
  sdp.startLoader(start);
  return vErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          uint32_t serial, std::string birdFile, Fingerprint& fingerprint,
                          bool reset) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, updater.storeDirectory, "_get_fingerprint_imx");
  if (!store) return false;
  if (serial == 0) serial = kDefaultSerial;
  if (!birdFile.empty() && serial == kDefaultSerial) {
    display.message(ERROR,
                    "Add serial number or remove the bird filename to use a default recovery "
                    "image.");
    return false;
  }

  BirdFile image;
  try {
    image = sLoaderImage(display, updater, *store, serial, birdFile);
  } catch (const std::exception& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    display.message(ERROR, "Failed to load bird file");
    return false;
  }

  if (_transfer_recovery_loader(display, image, port) != vErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(0, 0);
  if (_disableEther(module, display) != vErrNone) return false;
  if (!_connect_with_retries(module, linkTypeUSB, sCandidateSerials(serial))) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    display.message(ERROR,
                    "The recovery loader was started but no module answered on USB: reset the "
                    "module into its boot ROM and try again");
    _usb_permission_hint(display);
    return false;
  }

  SystemClass system;
  system.init(&module, 0);
  for (uint8_t j = 0; j < 4; ++j) {
    uint32_t word = 0;
    if (system.getUEI32(kFingerprintOption, j, &word) != vErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", int(j));
      return false;
    }
    fingerprint.words[3 - j] = word;
  }
  if (reset) system.reset();
  return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image, std::string& port,
                           uint32_t baud, Fingerprint&) {
  bool erased = false;
  if (sRecoverLpc(display, image, port, baud, erased)) return true;
  if (erased)
    display.message(ERROR,
                    "Recovery failed after the flash was erased: the module has no firmware "
                    "and stays in its boot ROM; run the recovery again");
  else
    display.message(ERROR, "Recovery failed before the flash was erased: the module is unchanged");
  return false;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image, uint32_t serial) {
  Module module(0, 0);
  vErr err = _disableEther(module, display);
  if (err == vErrNone) {
    std::vector<uint32_t> serials = {kDefaultSerial};
    if (serial != kDefaultSerial) serials.push_back(serial);
    if (!_connect_with_retries(module, linkTypeUSB, serials)) {
      display.message(ERROR, "Could not connect to device");
      display.message(ERROR,
                      "The recovery loader's module was not found on USB: reset the module into "
                      "its boot ROM and run the recovery again");
      _usb_permission_hint(display);
      return false;
    }
    err = _transfer_firmware(display, module, image, false);
  }
  if (err == vErrNone) return true;
  display.message(ERROR, "Failed to transfer firmware");
  display.message(ERROR,
                  "The module runs its recovery loader without complete firmware; run the "
                  "recovery again");
  return false;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serial,
                              std::string birdFile, uint32_t baud, bool reset) {
  if (!sPortUsable(display, port)) return false;
  if (_get_fingerprint_lpc(port, baud, fingerprint)) {
    chipFamily = kFamilyLpc;
    return true;
  }
  chipFamily = kFamilyImx;
  return _get_fingerprint_imx(display, *this, port, serial, birdFile, fingerprint, reset);
}

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                               std::string birdFile, bool) {
  uint64_t start = vTime_GetMSTicks();
  Fingerprint fingerprint;
  // An LPC chip keeps the rate it autobauded at, so it is identified at the
  // rate the firmware is then written at.
  if (!Get_Fingerprint(fingerprint, port, serial, birdFile, baud, false)) {
    display.message(ERROR, "Could not get Device Identifier");
    return false;
  }

  uint32_t recoveryBuild = 0;
  if (birdFile.empty()) {
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &recoveryBuild,
                                              serverUrl.c_str())) {
      display.message(ERROR, "Failed to retrieve recovery information from Corvane server");
      return false;
    }
    if (build != 0) recoveryBuild = build;
  }

  BirdFile image;
  try {
    image = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
  } catch (const std::exception&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  if (image.blocks.empty()) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  if (image.serialBlockPresent) {
    display.message(ERROR, "Updater does not support offline recovery");
    return false;
  }

  bool ok;
  if (chipFamily == kFamilyImx) {
    ok = _recover_firmware_imx(display, image, serial);
  } else if (chipFamily == kFamilyLpc) {
    image.DecodeFirmwareBlocks(fingerprint.words);
    ok = _recover_firmware_lpc(display, image, port, baud, fingerprint);
  } else {
    display.message(ERROR, "Unknown device");
    ok = false;
  }
  display.message(INFO, "Update time: %.4f sec", double(vTime_GetMSTicks() - start) / 1000.0);
  return ok;
}
