// Result codes of the device library and the object layers, with their
// names and one-line descriptions.
#pragma once
#include <cstdint>

typedef enum vErr {
  vErrNone = 0,
  vErrMemory = 1,
  vErrParam = 2,
  vErrNotFound = 3,
  vErrFileNameLength = 4,
  vErrBusy = 5,
  vErrIO = 6,
  vErrMode = 7,
  vErrWrite = 8,
  vErrRead = 9,
  vErrEOF = 10,
  vErrNotReady = 11,
  vErrPermission = 12,
  vErrRange = 13,
  vErrSize = 14,
  vErrOverrun = 15,
  vErrParse = 16,
  vErrConfiguration = 17,
  vErrTimeout = 18,
  vErrInitialization = 19,
  vErrVersion = 20,
  vErrUnimplemented = 21,
  vErrDuplicate = 22,
  vErrCancel = 23,
  vErrPacket = 24,
  vErrConnection = 25,
  vErrIndexRange = 26,
  vErrShortCommand = 27,
  vErrInvalidEntity = 28,
  vErrInvalidOption = 29,
  vErrResource = 30,
  vErrMedia = 31,
  vErrAsyncReturn = 32,
  vErrStreamStale = 33,
  vErrUnknown = 34,
} vErr;

// Name of a code ("vErrNone"...); codes past the last give "vErrUnknown".
const char* vError_GetErrorText(uint32_t code);
// One-line description of a code; codes past the last give "Unknown error".
const char* vError_GetErrorDescription(uint32_t code);
