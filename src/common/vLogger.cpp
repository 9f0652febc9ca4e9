// Logger: a thread that calls the owner's procedure again and again with an
// append-mode file, until disabled.
#include "vLogger.h"

#include <new>

static bool sValid(const vLogger* logger) { return logger && logger->check == vLOGGER_CHECK; }

// The logger whose thread this is, if any.
static thread_local vLogger* tOwnLogger = nullptr;

static void* sLoggerThread(void* argument) {
  vLogger* logger = static_cast<vLogger*>(argument);
  tOwnLogger = logger;
  while (logger->running) logger->procedure(logger->file, logger->id);
  return nullptr;
}

vLogger* vLogger_Create(uint32_t id, vLoggerProc procedure, const char* path) {
  if (!procedure || !path) return nullptr;
  vFile* file = vFile_Open(path, vFileModeAppend);
  if (!file) return nullptr;
  vFile_SetUnbuffered(file);
  vLogger* logger = new (std::nothrow) vLogger();
  if (!logger) {
    vFile_Close(&file);
    return nullptr;
  }
  logger->id = id;
  logger->procedure = procedure;
  logger->file = file;
  logger->thread = nullptr;
  logger->running = 0;
  logger->check = vLOGGER_CHECK;
  return logger;
}

vErr vLogger_Enable(vLogger* logger) {
  if (!sValid(logger)) return vErrParam;
  if (logger->running) return vErrNone;
  logger->running = 1;
  logger->thread = vThread_Create(sLoggerThread, logger);
  if (!logger->thread) {
    logger->running = 0;
    return vErrResource;
  }
  return vErrNone;
}

vErr vLogger_Disable(vLogger* logger) {
  if (!sValid(logger)) return vErrParam;
  // The procedure may disable its own logger; a thread cannot join itself.
  if (tOwnLogger == logger) return vErrNone;
  if (!logger->running || !logger->thread) return vErrNone;
  logger->running = 0;
  if (vThread_Destroy(&logger->thread) != 0) return vErrUnknown;
  return vErrNone;
}

vErr vLogger_Destroy(vLogger** logger) {
  if (!logger || !sValid(*logger)) return vErrNone;
  vLogger* l = *logger;
  // From its own thread the logger cannot stop, so it must not be freed
  // under the running procedure either.
  if (tOwnLogger == l) return vErrBusy;
  vErr err = vLogger_Disable(l);
  vFile_Close(&l->file);
  if (err == vErrNone) {
    l->check = 0;
    delete l;
    *logger = nullptr;
  }
  return err;
}
