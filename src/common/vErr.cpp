// Names and descriptions of the result codes, one table indexed by code.
#include "vErr.h"

namespace {
struct ErrText {
  const char* name;
  const char* description;
};

const ErrText kErrors[] = {
    {"vErrNone", "Success, no error"},
    {"vErrMemory", "Memory allocation"},
    {"vErrParam", "Invalid parameter"},
    {"vErrNotFound", "Not found"},
    {"vErrFileNameLength", "File name too long"},
    {"vErrBusy", "Resource busy"},
    {"vErrIO", "Input/Output error"},
    {"vErrMode", "Invalid Mode"},
    {"vErrWrite", "Write error"},
    {"vErrRead", "Read error"},
    {"vErrEOF", "End of file"},
    {"vErrNotReady", "Not ready, no bytes available"},
    {"vErrPermission", "Insufficient permissions"},
    {"vErrRange", "Value out of range"},
    {"vErrSize", "Invalid Size"},
    {"vErrOverrun", "Buffer/queue overrun"},
    {"vErrParse", "Parse error"},
    {"vErrConfiguration", "Configuration error"},
    {"vErrTimeout", "Timeout occurred"},
    {"vErrInitialization", "Initialization error"},
    {"vErrVersion", "Invalid version"},
    {"vErrUnimplemented", "Functionality unimplemented"},
    {"vErrDuplicate", "Duplicate request"},
    {"vErrCancel", "Cancellation occurred, or did not complete"},
    {"vErrPacket", "Packet byte invalid"},
    {"vErrConnection", "Connection error"},
    {"vErrIndexRange", "Index out of range"},
    {"vErrShortCommand", "Velmarine command to short"},
    {"vErrInvalidEntity", "Invalid entity error"},
    {"vErrInvalidOption", "Invalid option code"},
    {"vErrResource", "Resource unavailable"},
    {"vErrMedia", "Media error"},
    {"vErrAsyncReturn", "Asynchronous return error"},
    {"vErrStreamStale", "Stream value is stale"},
    {"vErrUnknown", "Unknown error"},
};
constexpr uint32_t kErrorCount = sizeof(kErrors) / sizeof(kErrors[0]);
static_assert(kErrorCount == vErrUnknown + 1, "one text per error code");
}  // namespace

const char* vError_GetErrorText(uint32_t code) {
  return kErrors[code < kErrorCount ? code : uint32_t(vErrUnknown)].name;
}

const char* vError_GetErrorDescription(uint32_t code) {
  return kErrors[code < kErrorCount ? code : uint32_t(vErrUnknown)].description;
}
