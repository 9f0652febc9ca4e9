// Host side of the LPC17xx boot ROM's in-system-programming protocol over a
// serial port: synchronisation, identification, unlocking, sector preparation
// and erasure, uuencoded transfers to RAM with checksums, and copies to flash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "vErr.h"
#include "vStream.h"

class NXPSerialClass {
 public:
  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };

  static constexpr int MAX_ERROR = 20;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
  static constexpr const char* CRYSTAL_KEY = "Crystal";
  static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
  static constexpr uint32_t LINES_PER_CHECKSUM = 20;
  static constexpr int MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static const Sector NXP_LPC17XX_sectors[31];
  // Room a uuencoded line needs: length character, 60 characters, NUL.
  static constexpr size_t UU_LINE_SIZE = 1 + (MAX_BYTES_PER_LINE + 2) / 3 * 4 + 1;

  vStream* stream = nullptr;
  bool echo = true;
  uint32_t baudRate = 0;
  char portName[2048] = {};
  uint32_t deviceId[4] = {};

  NXPSerialClass() = default;
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  vErr Connect(const char* port, uint32_t baud);
  vErr Disconnect();
  vErr Sync();
  vErr GetDeviceID();
  vErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
  vErr GetPartNumber(int64_t* part);
  vErr Unlock();
  vErr SetEcho(bool on);
  vErr SetBaudRate(uint32_t baud);
  vErr Prepare(uint32_t first, uint32_t last);
  vErr Erase(uint32_t first, uint32_t last);
  vErr Write(uint32_t address, uint32_t count, const uint8_t* data);
  vErr Read(uint32_t address, uint32_t count, uint8_t* data);
  vErr CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count);
  vErr ExecuteFrom(uint32_t address);

  static const char* GetErrorText(const char* line);
  static uint32_t SectorFromAddress(uint32_t address);
  static uint32_t CopyLength(uint32_t count);
  static uint32_t sum(const uint8_t* data, uint32_t count);
  // Encodes at most MAX_BYTES_PER_LINE bytes into out (UU_LINE_SIZE bytes of
  // room); returns the number of bytes consumed.
  static uint32_t uuencode(char* out, const uint8_t* data, uint32_t count);
  // Decodes one line into out (room bytes); returns the line's byte count,
  // or 0 when it does not fit.
  static uint32_t uudecode(uint8_t* out, uint32_t room, const char* line);
  // The decimal number that ends a reply line (before its line end); -1 when
  // the line ends in no number.
  static int GetErrorIndex(const char* line, size_t length);

  // Low-level I/O, used by the operations above.
  vErr Send(const char* text, bool checkEcho);
  vErr SendCommand(const char* text, uint32_t waitMs);
  vErr Response(uint8_t* buffer, size_t size, size_t* count, const char* expected,
                size_t expectedLength);
  vErr GetLine(char* buffer, size_t size, size_t* count, uint32_t budget);
  vErr GetEcho(const char* text, size_t count, size_t* echoed);

 private:
  vErr ReadByte(uint8_t* byte);
  void IdleWait();
  vErr WaitByte(uint8_t* byte, uint32_t* failures, uint32_t budget, std::string* marks);
  vErr ReturnCode(const char* command, const char* errorPrefix);
  vErr SimpleCommand(const char* command, bool logResponseError);
  vErr SendLine(const char* text);
};
