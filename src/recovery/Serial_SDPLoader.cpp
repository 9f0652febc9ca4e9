// The boot ROM's serial port: opened raw and non-blocking; writes retry while
// the port is full, up to a bound, and reads take what has arrived after the
// caller's wait.
#include "Serial_SDPLoader.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "vMutex.h"

struct PrivateSerial_SDPLoader {
  int fd = -1;  // -1 while closed
  const char* port = nullptr;
  struct termios settings {};
};

namespace {
constexpr size_t kReplyPayloadOffset = 4;
constexpr size_t kMaxOffset = 15;
constexpr uint32_t kSettleMs = 1000;
// A port that takes no byte for this long is given up.
constexpr uint32_t kWriteStallMs = 2000;
// Bounds one reply, so that a device that never stops sending can't hold us.
constexpr size_t kMaxReplyBytes = 65536;
}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* port) : d(new PrivateSerial_SDPLoader) {
  d->port = port;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d->fd >= 0) {
    tcflush(d->fd, TCIOFLUSH);
    close(d->fd);
  }
  delete d;
}

bool Serial_SDPLoader::init() {
  if (d->fd >= 0) return true;
  if (!d->port || !*d->port) return false;
  int fd = open(d->port, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct termios tio {};
  if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
    close(fd);
    return false;
  }
  // Raw: 8 data bits, receiver on, modem lines ignored, nothing else. The
  // speed is set after the control flags, which hold it on Linux.
  tio.c_cflag = CS8 | CREAD | CLOCAL;
  tio.c_iflag = 0;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSAFLUSH, &tio) != 0) {
    close(fd);
    return false;
  }
  d->fd = fd;
  d->settings = tio;
  // Give the far end time to settle, then drop whatever it sent meanwhile.
  vTime_MSSleep(kSettleMs);
  tcflush(fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (d->fd < 0) return -1;
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
  if (d->fd < 0) return -1;
  if (timeoutMs > 0) vTime_MSSleep(uint32_t(timeoutMs));
  ssize_t total = 0;
  uint8_t byte;
  while (size_t(total) < kMaxReplyBytes) {
    ssize_t n = read(d->fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) break;
    bytes.push_back(byte);
    ++total;
  }
  return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset,
                                         uint32_t& value) {
  if (offset > kMaxOffset || bytes.size() < 4 * (offset + 2)) return false;
  const uint8_t* p = bytes.data() + offset + kReplyPayloadOffset;
  value |= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  return true;
}
