// I2CClass: I2C reads, writes and the pull-up switch as requests to the
// module's I2C entity, each answered with a status byte.
#include "I2CClass.h"

#include <cstring>

namespace Corvane {
namespace Velmarine {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kI2CMaxTransfer = 23;
constexpr uint8_t kI2CMaxSpeed = 3;

}  // namespace

void I2CClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, kI2CCommand, index);
  speed_ = 0;
}

// Waits for the reply that starts with match; a reply without its status
// byte is malformed, and a status with 0x80 set carries a vErr code.
vErr I2CClass::awaitStatus(const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                           uint8_t* length) {
  *length = matchLength;
  vErr err = receivePacket(match, length, reply);
  if (err != vErrNone) return err;
  if (*length <= 4) return vErrPacket;
  if (reply[4] & 0x80) return (reply[4] & 0x7F) ? vErr(reply[4] & 0x7F) : vErrUnknown;
  return vErrNone;
}

vErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
  if (length > kI2CMaxTransfer) return vErrSize;
  if (!data && length) return vErrParam;
  const uint8_t index = getIndex();
  const uint8_t request[] = {index, uint8_t(address | 1), length, speed_};
  vErr err = sendPacket(kI2CCommand, sizeof request, request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, uint8_t(address | 1)};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  err = awaitStatus(match, sizeof match, reply, &replyLength);
  if (err != vErrNone) return err;
  // The count must fit both the reply and what the caller asked for.
  const uint8_t n = reply[3];
  if (n > length || n > replyLength - 5) return vErrPacket;
  if (n) memcpy(data, &reply[5], n);
  return vErrNone;
}

vErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kI2CMaxTransfer) return vErrSize;
  if (!data && length) return vErrParam;
  const uint8_t index = getIndex();
  uint8_t request[4 + kI2CMaxTransfer] = {index, address, length, speed_};
  if (length) memcpy(&request[4], data, length);
  vErr err = sendPacket(kI2CCommand, uint8_t(4 + length), request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, address, 0};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  return awaitStatus(match, sizeof match, reply, &replyLength);
}

vErr I2CClass::setPullup(bool enabled) {
  const uint8_t index = getIndex();
  const uint8_t request[] = {index, 1, uint8_t(enabled ? 1 : 0)};
  vErr err = sendPacket(kI2CCommand, sizeof request, request);
  if (err != vErrNone) return err;
  const uint8_t match[] = {kI2CCommand, index, 1};
  uint8_t reply[vPACKET_MAX_DATA], replyLength = 0;
  return awaitStatus(match, sizeof match, reply, &replyLength);
}

vErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kI2CMaxSpeed) return vErrParam;
  speed_ = speed;
  return vErrNone;
}

vErr I2CClass::getSpeed(uint8_t* speed) {
  if (!speed) return vErrParam;
  *speed = speed_;
  return vErrNone;
}

}  // namespace Velmarine
}  // namespace Corvane
