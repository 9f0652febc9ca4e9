// LPC17xx in-system-programming client: ASCII command lines with numeric
// return codes, uuencoded data blocks acknowledged by byte-sum checksums, and
// byte-at-a-time reads paced by small retry budgets on a raw serial stream.
#include "NXPSerialClass.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "vMutex.h"
#include "vStream_Serial.h"

namespace {
const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr uint32_t kRateCount = sizeof(kRates) / sizeof(kRates[0]);
constexpr uint32_t kDefaultRateIndex = 2;  // 9600
constexpr uint32_t kReplyBudget = 100;     // failed reads, 1 ms apart
constexpr uint32_t kChecksumBudget = 2000;
constexpr size_t kLineSize = 1024;
// Bytes a reader drops (mismatched echo, leading line ends) before it gives
// up, so a device that chatters without end cannot hold the caller for ever.
constexpr size_t kDropLimit = 4096;

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string out;
  char item[8];
  for (size_t i = 0; i < n; i++) {
    snprintf(item, sizeof item, "%s%02X", i ? " " : "", bytes[i]);
    out += item;
  }
  return out;
}

std::string Printable(const uint8_t* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) out += isprint(bytes[i]) ? char(bytes[i]) : ' ';
  return out;
}

// Carriage return and line feed shown as \r and \n, other control bytes as spaces.
std::string Escaped(const uint8_t* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) {
    if (bytes[i] == '\r')
      out += "\\r";
    else if (bytes[i] == '\n')
      out += "\\n";
    else
      out += isprint(bytes[i]) ? char(bytes[i]) : ' ';
  }
  return out;
}

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

bool IsLineEnd(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// Whether a reply line is exactly the given text.
bool Is(const char* line, size_t n, const char* text) {
  return n == strlen(text) && memcmp(line, text, n) == 0;
}

double Percent(uint32_t part, uint32_t whole) { return whole ? 100.0 * part / whole : 100.0; }
}  // namespace

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

// Sixteen 4 KB sectors, then fourteen 32 KB sectors, then the end row.
const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

vErr NXPSerialClass::Connect(const char* port, uint32_t baud) {
  Disconnect();
  if (!port) return vErrParam;
  uint32_t index = kDefaultRateIndex;
  for (uint32_t i = 0; i < kRateCount; i++) {
    if (kRates[i] >= baud) {
      index = i;
      break;
    }
  }
  baudRate = kRates[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index,
           baudRate);
  vErr err = vStream_CreateSerial(port, index, 0, 0, 0, &stream);
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, vError_GetErrorText(err));
    stream = nullptr;
    return err;
  }
  snprintf(portName, sizeof portName, "%s", port);
  return vErrNone;
}

vErr NXPSerialClass::Disconnect() {
  if (stream) vStream_Destroy(&stream);
  stream = nullptr;
  return vErrNone;
}

// ---------------------------------------------------------------------------
// Low-level I/O

vErr NXPSerialClass::ReadByte(uint8_t* byte) {
  if (!stream) return vErrConnection;
  return vStream_Read(stream, byte, 1);
}

// The pause after a read that found nothing: 1 ms, or less when a byte comes.
void NXPSerialClass::IdleWait() {
  if (stream) vStream_WaitReadable(stream, 1);
}

// Reads the next byte, pausing after each empty read; every empty read counts
// against the budget (and adds "." to marks when given). vErrNotReady once
// the budget is spent, or the stream's error.
vErr NXPSerialClass::WaitByte(uint8_t* byte, uint32_t* failures, uint32_t budget,
                              std::string* marks) {
  for (;;) {
    vErr err = ReadByte(byte);
    if (err != vErrNotReady) return err;
    ++*failures;
    if (marks) *marks += ".";
    IdleWait();
    if (*failures >= budget) return vErrNotReady;
  }
}

vErr NXPSerialClass::Send(const char* text, bool checkEcho) {
  if (!text) return vErrParam;
  size_t len = strlen(text);
  if (Log::IsActive(DEBUG_NXPSerial_SR)) {
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", Hex(Bytes(text), len).c_str(),
             Escaped(Bytes(text), len).c_str());
  }
  vErr err = stream ? vStream_Write(stream, Bytes(text), len) : vErrConnection;
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", vError_GetErrorText(err));
    return err;
  }
  if (checkEcho && len > 1) {
    size_t echoed = 0;
    GetEcho(text, len - 1, &echoed);
  }
  return err;
}

vErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs) {
  if (!text) return vErrParam;
  size_t len = strlen(text);
  if (Log::IsActive(DEBUG_NXPSerial_SR)) {
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", Hex(Bytes(text), len).c_str(),
             Printable(Bytes(text), len).c_str());
  }
  vErr err = stream ? vStream_Write(stream, Bytes(text), len) : vErrConnection;
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    vTime_MSSleep(waitMs);
  }
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", vError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", vError_GetErrorText(err));
    return err;
  }
  if (echo && len > 1) {
    size_t echoed = 0;
    GetEcho(text, len - 1, &echoed);
    if (echoed < len - 1) {
      Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", int(echoed), int(len));
    }
  }
  return err;
}

vErr NXPSerialClass::GetEcho(const char* text, size_t count, size_t* echoed) {
  size_t matched = 0;
  if (echoed) *echoed = 0;
  if (!text) return vErrParam;
  bool logging = Log::IsActive(DEBUG_NXPSerial_E);
  if (logging) {
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", Hex(Bytes(text), strlen(text)).c_str(),
             int(count));
  }
  std::string trace = "recv Echo:[";
  char item[16];
  uint32_t failures = 0;
  size_t dropped = 0;
  vErr err = vErrNone;
  while (matched < count && failures < kReplyBudget && dropped < kDropLimit) {
    uint8_t byte = 0;
    err = WaitByte(&byte, &failures, kReplyBudget, logging ? &trace : nullptr);
    if (err != vErrNone) break;
    uint8_t want = uint8_t(text[matched]);
    if (byte == want) {
      matched++;
      if (logging) snprintf(item, sizeof item, " %02X", byte);
    } else {
      dropped++;
      if (logging) snprintf(item, sizeof item, " %02X!=%02X", byte, want);
    }
    if (logging) trace += item;
  }
  if (logging) Log::log(DEBUG_NXPSerial_E, "%s]\n", trace.c_str());
  if (echoed) *echoed = matched;
  return err;
}

vErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, uint32_t budget) {
  if (count) *count = 0;
  if (!buffer || size == 0) return vErrParam;
  size_t n = 0;
  uint32_t failures = 0;
  bool term = false;
  bool logging = Log::IsActive(DEBUG_NXPSerial_SR);
  std::string marks;
  vErr err = vErrNone;
  while (n < size - 1 && failures < budget) {
    uint8_t byte = 0;
    err = WaitByte(&byte, &failures, budget, logging ? &marks : nullptr);
    if (err != vErrNone) break;
    if (n == 0 && byte == '\n') {
      // The rest of an echoed line end: not part of the reply.
      failures++;
      if (logging) marks += ",";
      continue;
    }
    buffer[n++] = char(byte);
    if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') {
      term = true;
      break;
    }
  }
  buffer[n] = '\0';
  if (count) *count = n;
  if (logging) {
    Log::log(DEBUG_NXPSerial_SR, "%sGetLine() Received: [%s] [%s] %d %s [%s]\n", marks.c_str(),
             Hex(Bytes(buffer), n).c_str(), Printable(Bytes(buffer), n).c_str(), int(n),
             term ? "term" : "non-term", vError_GetErrorText(err));
  }
  return err;
}

vErr NXPSerialClass::Response(uint8_t* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedLength) {
  if (count) *count = 0;
  if (!buffer || size == 0) return vErrParam;
  size_t wanted = expected ? expectedLength : size - 1;
  if (wanted > size) wanted = size;
  uint32_t rate = baudRate ? baudRate : kRates[kDefaultRateIndex];
  uint32_t wait = uint32_t((uint64_t(expectedLength) * 9000 + 18000) / rate + 1) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
           int(expectedLength), int(rate), int(wait));
  vTime_MSSleep(wait);

  bool logging = Log::IsActive(DEBUG_NXPSerial_SR);
  std::string marks;
  size_t pos = 0;
  size_t dropped = 0;
  uint32_t failures = 0;
  vErr err = vErrNone;
  while (pos < wanted && failures < kReplyBudget && dropped < kDropLimit) {
    uint8_t byte = 0;
    err = WaitByte(&byte, &failures, kReplyBudget, logging ? &marks : nullptr);
    if (err != vErrNone) break;
    if (pos == 0 && byte == '\n') {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      continue;
    }
    if (pos == 0 && byte == '\r') {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      continue;
    }
    if (pos < 3 && byte == 0) {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected && pos < expectedLength && byte != uint8_t(expected[pos])) {
      Log::log(DEBUG_NXPSerial,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c "
               "[%02X]]\n",
               int(pos), byte, byte, expected[pos], uint8_t(expected[pos]));
    }
    buffer[pos++] = byte;
    if (pos >= 2 && buffer[pos - 2] == '\r' && buffer[pos - 1] == '\n') break;
  }
  if (count) *count = pos;
  if (logging) {
    Log::log(DEBUG_NXPSerial_SR, "%sResponse: [%s] [%s]\n", marks.c_str(), Hex(buffer, pos).c_str(),
             Printable(buffer, pos).c_str());
  }
  return err;
}

// ---------------------------------------------------------------------------
// Handshake and commands

vErr NXPSerialClass::Sync() {
  static const char kSynchronized[] = "Synchronized\r\n";
  static const char kOK[] = "OK\r\n";
  const size_t syncLength = strlen(kSynchronized);
  uint8_t reply[128];
  size_t n = 0;
  bool refused = false;

  vErr err = Send("?", false);
  if (err != vErrNone) return err;
  err = Response(reply, sizeof reply, &n, kSynchronized, syncLength);
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, std::string(reinterpret_cast<char*>(reply), n).c_str());
    return err;
  }
  if (n < syncLength || memcmp(reply, kSynchronized, syncLength) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);
  }

  err = Send(kSynchronized, false);
  if (err != vErrNone) return err;
  Response(reply, sizeof reply, &n, kSynchronized, syncLength - 1);
  err = Response(reply, sizeof reply, &n, kOK, strlen(kOK));
  if (n < 2 || memcmp(reply, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
             std::string(reinterpret_cast<char*>(reply), n).c_str(), kOK);
    refused = true;
  }

  char crystal[32];
  snprintf(crystal, sizeof crystal, "%d\r\n", int(0.5 + CRYSTAL_DEFAULT * 1000));
  err = Send(crystal, false);
  if (err != vErrNone) return err;
  Response(reply, sizeof reply, &n, crystal, strlen(crystal) - 1);
  err = Response(reply, sizeof reply, &n, kOK, strlen(kOK));
  if (err != vErrNone) return err;
  if (n < 2 || memcmp(reply, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
             std::string(reinterpret_cast<char*>(reply), n).c_str(), kOK);
    refused = true;
  }
  // A chip that did not accept the handshake is not ready for commands.
  return refused ? vErrIO : vErrNone;
}

int NXPSerialClass::GetErrorIndex(const char* line, size_t length) {
  if (!line) return -1;
  size_t end = strnlen(line, length);
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) end--;
  size_t start = end;
  while (start > 0 && isdigit(uint8_t(line[start - 1]))) start--;
  if (start == end || end - start > 9) return -1;
  return int(strtol(std::string(line + start, end - start).c_str(), nullptr, 10));
}

// Reads a return-code line: vErrNone for CMD_SUCCESS, vErrParam for any
// other code (logged with errorPrefix when given), or the stream's error.
vErr NXPSerialClass::ReturnCode(const char* command, const char* errorPrefix) {
  char line[kLineSize];
  size_t n = 0;
  vErr err = GetLine(line, sizeof line, &n, kReplyBudget);
  if (err != vErrNone) return err;
  int code = GetErrorIndex(line, n);
  if (code == 0) return vErrNone;
  if (errorPrefix) {
    char number[16];
    snprintf(number, sizeof number, "%d", code);
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix, GetErrorText(number));
  }
  return vErrParam;
}

vErr NXPSerialClass::SimpleCommand(const char* command, bool logResponseError) {
  vErr err = SendCommand(command, 0);
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command,
             vError_GetErrorText(err));
    return err;
  }
  return ReturnCode(command, logResponseError ? "" : nullptr);
}

static_assert(NXPSerialClass::MAX_ERROR == 20, "one text per return code and the fallback");

vErr NXPSerialClass::GetDeviceID() {
  vErr err = SimpleCommand("N\r\n", false);
  // The return code itself is not examined: the four words must follow it.
  if (err != vErrNone && err != vErrParam) return err;
  uint32_t words[4];
  char line[kLineSize];
  size_t n = 0;
  for (int i = 0; i < 4; i++) {
    err = GetLine(line, sizeof line, &n, kReplyBudget);
    if (err != vErrNone) return err;
    words[i] = uint32_t(strtoul(line, nullptr, 0));
  }
  memcpy(deviceId, words, sizeof deviceId);
  return vErrNone;
}

vErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
  if (!major || !minor) return vErrParam;
  vErr err = SimpleCommand("K\r\n", false);
  if (err != vErrNone && err != vErrParam) return err;
  long values[2];
  char line[kLineSize];
  size_t n = 0;
  for (int i = 0; i < 2; i++) {
    err = GetLine(line, sizeof line, &n, kReplyBudget);
    if (err != vErrNone) return err;
    values[i] = strtol(line, nullptr, 0);
  }
  *major = uint8_t(values[0]);
  *minor = uint8_t(values[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
  return vErrNone;
}

vErr NXPSerialClass::GetPartNumber(int64_t* part) {
  if (!part) return vErrParam;
  vErr err = SimpleCommand("J\r\n", false);
  if (err != vErrNone && err != vErrParam) return err;
  char line[kLineSize];
  size_t n = 0;
  err = GetLine(line, sizeof line, &n, kReplyBudget);
  if (err != vErrNone) return err;
  *part = int64_t(strtoll(line, nullptr, 0));
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", (long long)*part);
  return vErrNone;
}

vErr NXPSerialClass::Unlock() { return SimpleCommand("U 23130\r\n", false); }

vErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char command[16];
  snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
  vErr err = SimpleCommand(command, false);
  if (err == vErrNone) echo = on;
  return err;
}

vErr NXPSerialClass::SetBaudRate(uint32_t baud) {
  char command[48];
  snprintf(command, sizeof command, "B %u %d\r\n", baud, 1);
  return SimpleCommand(command, false);
}

vErr NXPSerialClass::Prepare(uint32_t first, uint32_t last) {
  if (last < first) return vErrParam;
  char command[48];
  snprintf(command, sizeof command, "P %u %u\r\n", first, last);
  return SimpleCommand(command, true);
}

vErr NXPSerialClass::Erase(uint32_t first, uint32_t last) {
  if (last < first) return vErrParam;
  char command[48];
  snprintf(command, sizeof command, "E %u %u\r\n", first, last);
  return SimpleCommand(command, true);
}

vErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, uint32_t count) {
  if (flash % 256 != 0) return vErrParam;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return vErrParam;
  char command[64];
  snprintf(command, sizeof command, "C %u %u %u\r\n", flash, ram, count);
  return SimpleCommand(command, true);
}

vErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char command[48];
  snprintf(command, sizeof command, "G %u T\r\n", address);
  vErr err = SendCommand(command, 0);
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command,
             vError_GetErrorText(err));
  }
  return err;
}

// ---------------------------------------------------------------------------
// Data transfers

vErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || !data) return vErrParam;
  char command[48];
  snprintf(command, sizeof command, "W %u %u\r\n", address, count);
  vErr err = SendCommand(command, 0);
  if (err != vErrNone) {
    Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", command,
             vError_GetErrorText(err));
    return err;
  }
  err = ReturnCode(command, "Write() ");
  if (err != vErrNone) return err;

  uint32_t sent = 0, acknowledged = 0, lines = 0;
  int retries = MAX_READ_RETRY;
  char line[UU_LINE_SIZE];
  char reply[kLineSize];
  while (sent < count) {
    uint32_t n = count - sent < MAX_BYTES_PER_LINE ? count - sent : MAX_BYTES_PER_LINE;
    uuencode(line, data + sent, n);
    err = Send(line, echo);
    if (err == vErrNone) err = Send("\r\n", echo);
    if (err != vErrNone) return err;
    sent += n;
    lines++;
    if (lines < LINES_PER_CHECKSUM && sent < count) continue;

    uint32_t s = sum(data + acknowledged, sent - acknowledged);
    Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", s, int(s));
    char checksum[24];
    snprintf(checksum, sizeof checksum, "%u\r\n", s);
    err = Send(checksum, echo);
    if (err != vErrNone) return err;
    uint64_t start = vTime_GetMSTicks();
    size_t got = 0;
    vErr readErr = GetLine(reply, sizeof reply, &got, kChecksumBudget);
    Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n",
             int(vTime_GetMSTicks() - start));
    if (Is(reply, got, "OK\r\n")) {
      acknowledged = sent;
      Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               int(acknowledged), int(count), Percent(acknowledged, count));
    } else if (Is(reply, got, "RESEND\r\n")) {
      if (--retries < 1) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return vErrTimeout;
      }
      sent = acknowledged;
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", reply);
      // No reply at all is the stream's failure; anything else is a protocol one.
      return readErr != vErrNone ? readErr : vErrIO;
    }
    lines = 0;
  }
  return vErrNone;
}

vErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data) {
  if (count == 0 || count % 4 != 0 || !data) return vErrParam;
  char command[48];
  snprintf(command, sizeof command, "R %u %u\r\n", address, count);
  vErr err = SimpleCommand(command, true);
  if (err != vErrNone) return err;

  uint32_t received = 0, acknowledged = 0, lines = 0;
  int retries = MAX_READ_RETRY;
  char line[kLineSize];
  size_t n = 0;
  while (received < count) {
    err = GetLine(line, sizeof line, &n, kReplyBudget);
    if (err != vErrNone) return err;
    received += uudecode(data + received, count - received, line);
    lines++;
    if (lines < LINES_PER_CHECKSUM && received < count) continue;

    err = GetLine(line, sizeof line, &n, kReplyBudget);
    if (err != vErrNone) return err;
    // A block that carried no data would be acknowledged for ever.
    if (received == acknowledged) return vErrIO;
    uint32_t expected = uint32_t(strtol(line, nullptr, 0));
    if (expected == sum(data + acknowledged, received - acknowledged)) {
      err = Send("OK\r\n", false);
      if (err != vErrNone) return err;
      // The chip echoes the acknowledgement only while its echo is on; reading
      // for it otherwise would take the first bytes of the next data line.
      if (echo) {
        uint8_t echoed[8];
        size_t got = 0;
        err = Response(echoed, sizeof echoed, &got, "OK\r\n", received < count ? 3 : 4);
        if (err != vErrNone && err != vErrNotReady) return err;
      }
      acknowledged = received;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", int(acknowledged),
               int(count), Percent(acknowledged, count));
    } else {
      if (--retries < 1) return vErrTimeout;
      err = Send("RESEND\r\n", echo);
      if (err != vErrNone) return err;
      received = acknowledged;
    }
    lines = 0;
  }
  return vErrNone;
}

// ---------------------------------------------------------------------------
// Static helpers

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (!line) return ERROR_TEXT[MAX_ERROR];
  long code = strtol(line, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) code = MAX_ERROR;
  return ERROR_TEXT[code];
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (const Sector& s : NXP_LPC17XX_sectors) {
    if (s.size == 0) break;
    if (address >= s.start && address - s.start < s.size) return s.number;
  }
  return 30;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count) {
  for (uint32_t length : {256u, 512u, 1024u, 4096u}) {
    if (length >= count) return length;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", int(count));
  return count;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t count) {
  uint32_t total = 0;
  for (uint32_t i = 0; data && i < count; i++) total += data[i];
  return total;
}

static char sEncode6(uint32_t v) { return v ? char(v + 32) : '`'; }

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t count) {
  if (!out) return 0;
  uint32_t n = count < MAX_BYTES_PER_LINE ? count : MAX_BYTES_PER_LINE;
  if (!data) n = 0;
  size_t pos = 0;
  out[pos++] = sEncode6(n);
  for (uint32_t i = 0; i < n; i += 3) {
    uint32_t b0 = data[i];
    uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    out[pos++] = sEncode6(b0 >> 2);
    out[pos++] = sEncode6(((b0 & 0x03) << 4) | (b1 >> 4));
    out[pos++] = sEncode6(((b1 & 0x0F) << 2) | (b2 >> 6));
    out[pos++] = sEncode6(b2 & 0x3F);
  }
  out[pos] = '\0';
  return n;
}

uint32_t NXPSerialClass::uudecode(uint8_t* out, uint32_t room, const char* line) {
  if (!out || !line) return 0;
  uint32_t n = uint32_t(uint8_t(line[0]) - 32) & 0x3F;
  if (room < n) return 0;
  uint32_t produced = 0;
  const char* p = line[0] ? line + 1 : line;
  while (produced < n) {
    uint32_t v[4];
    bool ended = false;
    for (int k = 0; k < 4; k++) {
      if (IsLineEnd(p[k])) {
        ended = true;
        break;
      }
      v[k] = uint32_t(uint8_t(p[k]) - 32) & 0x3F;
    }
    if (ended) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    p += 4;
    uint8_t bytes[3] = {uint8_t((v[0] << 2) | (v[1] >> 4)), uint8_t((v[1] << 4) | (v[2] >> 2)),
                        uint8_t((v[2] << 6) | v[3])};
    for (int k = 0; k < 3 && produced < n; k++) out[produced++] = bytes[k];
  }
  // A short line still counts its stated length; what it lacked is zero, and
  // the block's checksum decides whether it is taken.
  while (produced < n) out[produced++] = 0;
  return n;
}
