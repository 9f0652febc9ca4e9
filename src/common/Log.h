// The process-wide diagnostic logger: a line is written when its package is
// 0 or has a bit in the active mask.
#pragma once
#include <cstdint>
#include <cstdio>

#define DEBUG_Updater 0x00000001u
#define DEBUG_History 0x00000002u
#define DEBUG_Attributes 0x00000004u
#define DEBUG_BirdFile 0x00000008u
#define DEBUG_Network_Legacy 0x00000010u
#define DEBUG_ServerComm 0x00000020u
#define DEBUG_Network 0x00000100u
#define DEBUG_Network_SR 0x00000200u
#define DEBUG_Network_FIRM 0x00000400u
#define DEBUG_NXPSerial 0x00001000u
#define DEBUG_NXPSerial_E 0x00002000u
#define DEBUG_NXPSerial_SR 0x00004000u
#define DEBUG_APP 0x00010000u
#define DEBUG_iMXSerial 0x10000000u

class Log {
 public:
  // printf-style; the text is written unchanged (formats carry their own "\n").
  static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
  // Also the destination of the device library's trace lines; null stops
  // logging and returns trace lines to their default, standard output.
  static void SetOutput(FILE* output);
  static uint32_t ActiveMask();
  static bool IsActive(uint32_t package);
};
