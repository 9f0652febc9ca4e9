// The loader and firmware exchange with a running module: one request and one
// reply at a time, every chunk checked by a byte sum before the module writes
// it, and the two drivers that send a whole BIRD file.
#include "UpdaterEntity.h"

#include <cstring>

#include "Log.h"
#include "vMutex.h"

using Corvane::Velmarine::Module;

namespace {

uint32_t sGetInt(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

const char* sText(vErr e) { return vError_GetErrorText(uint32_t(e)); }

}  // namespace

void UpdaterEntity::init(Module& m, uint8_t index, bool validateChunks, bool fast) {
  EntityClass::init(&m, cmdUPGRADE, index);
  module = &m;
  validate = validateChunks;
  fastReboot = fast;
}

vErr UpdaterEntity::send(uint8_t length, const uint8_t* data) {
  if (!module) return vErrInitialization;
  // data[0] is the command byte; the link adds it in front of the rest.
  return sendPacket(data[0], uint8_t(length - 1), data + 1);
}

vErr UpdaterEntity::await(uint8_t option, uint8_t* length, uint8_t* data) {
  if (!module) return vErrInitialization;
  const uint8_t match[2] = {cmdUPGRADE, option};
  *length = 2;
  memset(data, 0, 28);
  return receivePacket(match, length, data);
}

vErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_INIT};
  vErr err = send(sizeof request, request);
  if (err != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
    return err;
  }
  uint8_t reply[28], length = 0;
  err = await(val_UPGRADE_INIT, &length, reply);
  if (err != vErrNone) return err;
  if (length <= 5) return vErrPacket;
  uint32_t base = sGetInt(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
  return vErrNone;
}

vErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags,
           int(blockSize));
  if (!data || length < 4) return vErrSize;  // no address word: nothing to prepare
  uint32_t address = sGetInt(data);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
           "%02X]} \n",
           flags, data[0], data[1], data[2], data[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(address));
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_PREPARE, flags, data[0], data[1], data[2],
                             data[3]};
  vErr err = send(sizeof request, request);
  if (err != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
    return err;
  }
  uint8_t reply[28], replyLength = 0;
  err = await(val_UPGRADE_STATUS, &replyLength, reply);
  if (err != vErrNone) return err;
  // A reply too short to carry a status counts as a refusal.
  uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
  if (status != 0) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return vErrInvalidOption;
  }
  blockSize = replyLength >= 5 ? uint16_t(reply[3] << 8 | reply[4]) : 0;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
           int(blockSize));
  return vErrNone;
}

vErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  module->disconnect();
  vErr err = vErrConnection;
  for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", int(attempt),
             int(kReconnectAttempts));
    err = module->reconnect();
    if (err == vErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      break;
    }
    // A connect whose link could not be brought up still holds it: let it go
    // so that the next attempt starts afresh.
    module->disconnect();
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             int(delayMs));
    vTime_MSSleep(delayMs);
  }
  return err;
}

vErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_LOAD};
  vErr err = send(sizeof request, request);
  if (err != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
    return err;
  }
  uint8_t reply[28], length = 0;
  if (await(val_UPGRADE_LOAD, &length, reply) == vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return vErrNone;
  }
  // The module may restart into its loader and drop the link on the way.
  err = _reconnect(500);
  if (err == vErrNone) {
    err = await(val_UPGRADE_LOAD, &length, reply);
    if (err == vErrNone) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
      return vErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
             sText(err));
  } else {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
             int(err), sText(err));
  }
  return vErrTimeout;
}

vErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (!data || length < 4) return vErrSize;
  uint32_t address = sGetInt(data);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", address,
           int(length - 4));
  uint32_t counter = 0;
  return _block_transfer(data + 4, length - 4, counter);
}

vErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!data || length < 4) return vErrSize;
  uint32_t address = sGetInt(data);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", address,
           int(length - 4));
  uint32_t remaining = length - 4;
  const uint8_t* position = data + 4;
  uint32_t counter = 0;
  vErr err = vErrNone;
  // With a chunk size of 0 no chunk could ever make progress.
  if (blockSize == 0 && remaining > 0) {
    Log::log(0, "NETWORK: Loader announced a block size of 0; the block can't be sent\n");
    err = vErrInvalidOption;
  }
  display.display_progress(true);
  while (remaining > 0 && err == vErrNone) {
    uint32_t chunk = remaining < blockSize ? remaining : blockSize;
    err = _block_transfer(position, chunk, counter);
    if (err != vErrNone) break;
    remaining -= chunk;
    position += chunk;
    counter += 1;
    display.update_progress(double(length - remaining) / double(length), nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             int(chunk), int(remaining), int(length));
    err = FirmwareWrite(chunk);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining),
           int(length));
  if (err != vErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

vErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           int(count));
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_WRITE, uint8_t(count >> 8), uint8_t(count)};
  vErr err = send(sizeof request, request);
  if (err != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
             sText(err));
    return err;
  }
  uint8_t reply[28], length = 0;
  err = await(val_UPGRADE_STATUS, &length, reply);
  uint8_t status = (err == vErrNone && length >= 3) ? reply[2] : 0xFF;
  if (status != 0) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return vErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return vErrNone;
}

vErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t remaining = length;
  uint32_t sum = 0;
  uint32_t sends = 0;  // sends of the packet now being offered
  vErr err = vErrNone;
  uint8_t reply[28], replyLength = 0;
  while (remaining > 0 && err == vErrNone) {
    uint32_t n = remaining < kMaxDataBytes ? remaining : kMaxDataBytes;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
             int(n));
    uint8_t request[2 + kMaxDataBytes] = {cmdUPGRADE, val_UPGRADE_DATA};
    memcpy(request + 2, data, n);
    err = send(uint8_t(n + 2), request);
    if (err != vErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", int(err));
      return err;
    }
    if (await(val_UPGRADE_DATA, &replyLength, reply) != vErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      err = vErrPacket;
      break;
    }
    if (reply[2] != n) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
               int(reply[2]), int(n));
      // The same bytes go again, but not for ever.
      if (++sends >= kMaxDataSends) {
        Log::log(0, "\nNETWORK: Data packet not accepted after %d sends.\n", int(sends));
        err = vErrPacket;
      }
      continue;
    }
    sends = 0;
    for (uint32_t i = 0; i < n; ++i) sum += data[i];
    remaining -= n;
    data += n;
    counter += 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(n),
             int(remaining), int(length));
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(length - remaining),
           int(length));
  if (err != vErrNone || !validate) return err;

  Log::log(DEBUG_Network_FIRM,
           "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_SUM};
  send(sizeof request, request);
  if (await(val_UPGRADE_STATUS, &replyLength, reply) != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return vErrPacket;
  }
  uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
  uint32_t checksum = sGetInt(reply + 3);
  if (status == 0 && replyLength >= 7 && checksum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             status, sum, checksum, int(counter));
    return vErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
           checksum);
  return vErrInvalidOption;
}

vErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const uint8_t request[] = {cmdUPGRADE, val_UPGRADE_REBOOT};
  // The send returns once the request is written: a request the module never
  // got (unplugged as it went out) must not pass for a reboot when the link
  // then drops.
  vErr result = send(sizeof request, request);
  if (result != vErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    Log::log(0, "NETWORK: The Reboot request did not reach the module [%d, %s]\n", int(result),
             vError_GetErrorText(uint32_t(result)));
  }
  uint32_t waits = 0;
  while (module && module->isConnected()) {
    vTime_MSSleep(kRebootWaitMs);
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (fastReboot) break;
    // A link whose peer closed without a reset may never drop: the reboot
    // can't be confirmed then, and the update must not count as done.
    if (++waits >= kMaxRebootWaits) {
      Log::log(0, "NETWORK: The link did not drop within %d ms of the reboot\n",
               int(kMaxRebootWaits * kRebootWaitMs));
      if (result == vErrNone) result = vErrTimeout;
      break;
    }
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}

vErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird) {
  const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
  const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
  UpdaterEntity entity;
  entity.init(module, 0, true, false);
  vErr err = entity.LoaderInit();
  if (err != vErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err), sText(err));
    return err;
  }
  display.message(INFO, "Transferring loader to device");
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int sent = 0;
  uint32_t total = 0;
  vErr firstFailure = vErrNone;
  for (const BirdBlock& block : blocks) {
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", sent + 1,
                    int(blocks.size()), int(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != vErrNone && err != vErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err), sText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != vErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err), sText(err));
      // A loader with a block missing must never be started.
      if (firstFailure == vErrNone) firstFailure = err;
      continue;
    }
    total += block.length;
    ++sent;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent, int(total));
  display.display_progress(false);
  if (err == vErrNone && firstFailure != vErrNone) err = firstFailure;
  if (err == vErrNone) {
    display.message(INFO, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == vErrTimeout) {
      Log::log(DEBUG_Updater,
               "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
      err = vErrNone;
    } else if (err != vErrNone) {
      display.message(ERROR, "Error starting loader [%d, %s]", int(err), sText(err));
    }
  }
  return err;
}

vErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                        bool fastReboot) {
  const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
  UpdaterEntity entity;
  entity.init(module, 0, true, fastReboot);
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
  std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  int sent = 0;
  uint32_t total = 0;
  vErr err = vErrNone;
  for (size_t b = 0; b < blocks.size() && err == vErrNone; ++b) {
    const BirdBlock& block = blocks[b];
    for (int attempt = 0; attempt < 5; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", unsigned(b + 1),
                      unsigned(blocks.size()), int(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
      // A chunk size of 0 is a refusal too: nothing could be sent with it.
      if (err == vErrNone && blockSize == 0 && block.length > 4) {
        Log::log(0, "NETWORK: Loader announced a block size of 0\n");
        err = vErrInvalidOption;
      }
      if (err != vErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err), sText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (err == vErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err), sText(err));
    }
    if (err != vErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++sent;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent, int(total));
  if (err != vErrNone) return err;
  return entity.LoaderReboot(display);
}
