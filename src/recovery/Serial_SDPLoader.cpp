// The boot ROM's serial port, opened and configured by the device library's
// serial byte stream (raw, 115200 baud, 8N1) and then switched back to
// non-blocking: writes retry while the port is full, up to a bound, and reads
// take what has arrived after the caller's wait.
#include "Serial_SDPLoader.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "vMutex.h"
#include "vStream_Serial.h"

struct PrivateSerial_SDPLoader {
  vStream* stream = nullptr;  // null while closed
  int fd = -1;                // the stream's descriptor while open
  const char* port = nullptr;
};

namespace {
constexpr size_t kReplyPayloadOffset = 4;
constexpr uint32_t kSettleMs = 1000;
// A port that takes no byte for this long is given up.
constexpr uint32_t kWriteStallMs = 2000;
// Bounds one reply, so that a device that never stops sending can't hold us.
constexpr size_t kMaxReplyBytes = 65536;
// Speed code 6 of the serial stream: 115200 baud.
constexpr uint32_t kSpeed115200 = 6;
}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* port) : d(new PrivateSerial_SDPLoader) {
  d->port = port;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d->stream) {
    tcflush(d->fd, TCIOFLUSH);
    // Restores the port's own settings and closes it.
    vStream_Destroy(&d->stream);
  }
  delete d;
}

bool Serial_SDPLoader::init() {
  if (d->stream) return true;
  if (!d->port || !*d->port) return false;
  vStream* stream = nullptr;
  if (vStream_CreateSerial(d->port, kSpeed115200, 0, 0, 0, &stream) != vErrNone) return false;
  int fd = static_cast<vSerialRecord*>(stream->ref)->fd;
  // The stream writes blocking until the line has taken every byte; a port
  // that stops taking bytes must not hold us, so writes here are non-blocking
  // and bounded by the stall limit instead.
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    vStream_Destroy(&stream);
    return false;
  }
  d->stream = stream;
  d->fd = fd;
  // Give the far end time to settle, then drop whatever it sent meanwhile.
  vTime_MSSleep(kSettleMs);
  tcflush(fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (!d->stream) return -1;
  if (bytes.size() <= 1) return 0;
  const uint8_t* p = bytes.data() + 1;  // the report identifier isn't sent
  size_t left = bytes.size() - 1;
  size_t done = 0;
  uint32_t stalledMs = 0;
  while (done < left) {
    ssize_t n = write(d->fd, p + done, left - done);
    if (n > 0) {
      done += size_t(n);
      stalledMs = 0;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (stalledMs >= kWriteStallMs) return -1;
    vTime_MSSleep(1);
    ++stalledMs;
  }
  // Wait until the bytes are on the line, so that a reply awaited next is
  // timed from the end of the transmission rather than from the queueing.
  tcdrain(d->fd);
  return ssize_t(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& bytes, int timeoutMs) {
  if (!d->stream) return -1;
  if (timeoutMs > 0) vTime_MSSleep(uint32_t(timeoutMs));
  ssize_t total = 0;
  uint8_t byte;
  // The stream reports vErrNotReady once nothing more is waiting.
  while (size_t(total) < kMaxReplyBytes && vStream_Read(d->stream, &byte, 1) == vErrNone) {
    bytes.push_back(byte);
    ++total;
  }
  return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                                         uint32_t& value) {
  if (bytes.size() < 4 * (offset + 2)) return false;
  return orWordAt(bytes, offset, offset + kReplyPayloadOffset, value);
}
