// The upgrade entity of a running module (command 0x5F): loading and starting
// a loader, then sending firmware blocks in checked chunks and rebooting, plus
// the two drivers that order those steps for a whole BIRD file.
#pragma once
#include <cstdint>

#include "BirdFile.h"
#include "Entity.h"
#include "UpdaterDisplayInterface.h"
#include "vErr.h"

class UpdaterEntity : public Corvane::Velmarine::EntityClass {
 public:
  static constexpr uint8_t cmdUPGRADE = 0x5F;
  enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,  // the option byte of Prepare, Sum and Write replies
  };
  // Payload bytes of one Data packet: 0x5F, the option byte and these fill 28.
  static constexpr uint32_t kMaxDataBytes = 26;
  // Sends of one Data packet whose acknowledged count keeps differing from
  // what was sent before the block transfer gives up.
  static constexpr uint32_t kMaxDataSends = 16;
  // 250 ms waits for the link to drop after Reboot before the reboot counts
  // as unconfirmed (10 s).
  static constexpr uint32_t kMaxRebootWaits = 40;
  static constexpr uint32_t kRebootWaitMs = 250;
  static constexpr uint32_t kReconnectAttempts = 5;

  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  // Binds to the module's upgrade entity. The module is borrowed: it must stay
  // alive and connected (or reconnectable) for as long as this entity is used.
  void init(Corvane::Velmarine::Module& module, uint8_t index, bool validate, bool fastReboot);

  vErr LoaderInit();
  // data and length are a whole loader or firmware block: the big-endian
  // target address in its first 4 bytes, then the payload. blockSize gets the
  // chunk size the loader announces.
  vErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
  vErr LoaderStart();
  vErr LoaderTransfer(const uint8_t* data, uint32_t length);
  vErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  vErr FirmwareWrite(uint32_t count);
  vErr LoaderReboot(UpdaterDisplayInterface& display);

  bool validate = true;
  bool fastReboot = false;

 private:
  vErr _reconnect(uint32_t delayMs);
  vErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
  vErr send(uint8_t length, const uint8_t* data);
  // Waits for the reply whose data begin with 0x5F and option; *length gets
  // the reply's data length, data (28 bytes of room) its bytes.
  vErr await(uint8_t option, uint8_t* length, uint8_t* data);

  Corvane::Velmarine::Module* module = nullptr;
};

// Loads the image's loader blocks into the module and starts the loader.
vErr _transfer_loader(UpdaterDisplayInterface& display, Corvane::Velmarine::Module& module,
                      BirdFile& bird);
// Sends the image's firmware blocks to the running loader and reboots the
// module. fastReboot: do not wait for the link to drop (a module behind a router).
vErr _transfer_firmware(UpdaterDisplayInterface& display, Corvane::Velmarine::Module& module,
                        BirdFile& bird, bool fastReboot);
