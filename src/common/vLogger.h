// The logger: runs a caller's procedure again and again on a thread of its
// own with a file opened for appending (the writer of a link's packet log).
#pragma once
#include <atomic>
#include <cstdint>

#include "vErr.h"
#include "vFile.h"
#include "vMutex.h"

#define vLOGGER_CHECK 0xDEED

// Called repeatedly while the logger runs; paces itself.
typedef void (*vLoggerProc)(vFile* file, uint32_t id);

typedef struct vLogger {
  uint32_t id;
  vLoggerProc procedure;
  vFile* file;
  vThread* thread;
  std::atomic<uint8_t> running;
  uint16_t check;  // vLOGGER_CHECK while the record is valid
} vLogger;

// Opens path for appending, unbuffered; none on failure. Not running.
vLogger* vLogger_Create(uint32_t id, vLoggerProc procedure, const char* path);
vErr vLogger_Enable(vLogger* logger);
// Stops and joins the thread; does nothing when called from that thread.
vErr vLogger_Disable(vLogger* logger);
// vErrBusy (nothing freed) when called from the logger's own thread.
vErr vLogger_Destroy(vLogger** logger);
