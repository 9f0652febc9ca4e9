// Serial-port transport of vStream over termios: raw mode, reads that return
// at once with what is waiting, writes that wait until transmitted.
#pragma once
#include <termios.h>

#include <cstdint>

#include "vStream.h"

#define vSERIAL_CHECK 0xBEEF
#define vSERIAL_MAX_PATH 4096

typedef struct vSerialRecord {
  uint32_t speedCode;  // 0 to 7: 2400 to 230400 baud
  char path[vSERIAL_MAX_PATH];
  int fd;
  struct termios saved;    // restored at close
  struct termios applied;  // what was configured
  uint16_t check;          // vSERIAL_CHECK while the record is valid
  int wakeFd;              // eventfd that ends the reader's wait (the stream's interruption)
} vSerialRecord;

// Baud rate of a speed code (0 for a code outside 0 to 7).
uint32_t vStream_SerialSpeedOfCode(uint32_t speedCode);
// parity: 0 none, else even. dataBits: 0 for 8, 1 for 7. stopBits: 0 for 1, 1 for 2.
vErr vStream_CreateSerial(const char* portName, uint32_t speedCode, uint32_t parity,
                          uint32_t dataBits, uint32_t stopBits, vStream** stream);
