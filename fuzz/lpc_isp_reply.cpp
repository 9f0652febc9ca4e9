// Arbitrary boot ROM replies into the LPC ISP client, fed from a fake port
// that hands out the input byte by byte and then reports the end of data.
// The first byte sets the echo and baud rate; then every operation of the
// client runs against what is left. Nothing may be read or written outside a
// buffer, and nothing may hang. The client's pauses are skipped (the fuzz
// build wraps the sleep), so each input runs at full speed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "vStream.h"

// The client's pauses wait for a real serial line; here there is none.
extern "C" void __wrap__Z13vTime_MSSleepj(unsigned) {}

namespace {

struct FakePort {
  const uint8_t* data;
  size_t size;
  size_t position;
};

vErr sGet(uint8_t* byte, void* ref) {
  auto* port = static_cast<FakePort*>(ref);
  if (port->position >= port->size) return vErrEOF;
  *byte = port->data[port->position++];
  return vErrNone;
}
vErr sPut(uint8_t, void*) { return vErrNone; }
vErr sWrite(const uint8_t*, size_t, void*) { return vErrNone; }
vErr sDelete(void*) { return vErrNone; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const uint32_t kRates[] = {0, 9600, 115200, 230400};
  FakePort port{data + 1, size - 1, 0};
  NXPSerialClass isp;
  isp.stream = vStream_Create(sGet, sPut, sWrite, sDelete, &port);
  if (!isp.stream) return 0;
  isp.echo = (data[0] & 1) != 0;
  isp.baudRate = kRates[(data[0] >> 1) & 3];

  isp.Sync();
  isp.GetDeviceID();
  uint8_t major = 0, minor = 0;
  isp.GetBootLoaderVersion(&major, &minor);
  int64_t part = 0;
  isp.GetPartNumber(&part);
  isp.Unlock();
  isp.SetEcho((data[0] & 8) != 0);
  isp.Prepare(0, 29);
  isp.Erase(0, 29);
  std::vector<uint8_t> block(100, 0xA5);
  isp.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(block.size()), block.data());
  // Exactly the room asked for: any write past it is caught.
  std::vector<uint8_t> readBack(90);
  isp.Read(0, uint32_t(readBack.size()), readBack.data());
  isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256);
  isp.ExecuteFrom(0);

  // The line-level readers on their own, over the same bytes.
  port.position = 0;
  char line[64];
  size_t count = 0;
  isp.GetLine(line, sizeof line, &count, 4);
  uint8_t reply[32];
  isp.Response(reply, sizeof reply, &count, "0\r\n", 3);

  // The uudecoder and the result-code reader on the raw input as one line.
  std::string text(reinterpret_cast<const char*>(data), size);
  uint8_t decoded[NXPSerialClass::MAX_BYTES_PER_LINE];
  NXPSerialClass::uudecode(decoded, sizeof decoded, text.c_str());
  NXPSerialClass::GetErrorIndex(text.data(), text.size());
  NXPSerialClass::GetErrorText(text.c_str());
  return 0;
}
