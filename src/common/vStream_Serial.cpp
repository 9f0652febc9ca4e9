// Serial-port transport of vStream over termios: raw 8N1-style settings from
// a speed code, reads that return at once, writes drained to the line, and
// the port's own settings restored at close.
#include "vStream_Serial.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static bool sValid(const vSerialRecord* rec) { return rec && rec->check == vSERIAL_CHECK; }

static speed_t sSpeed(uint32_t code) {
  switch (code) {
    case 0: return B2400;
    case 1: return B4800;
    case 2: return B9600;
    case 3: return B19200;
    case 4: return B38400;
    case 5: return B57600;
    case 6: return B115200;
    case 7: return B230400;
    default: return B0;
  }
}

uint32_t vStream_SerialSpeedOfCode(uint32_t speedCode) {
  static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  return speedCode < 8 ? rates[speedCode] : 0;
}

static vErr sSerialGet(uint8_t* byte, void* ref) {
  vSerialRecord* rec = static_cast<vSerialRecord*>(ref);
  if (!sValid(rec)) return vErrParam;
  ssize_t n = read(rec->fd, byte, 1);
  if (n == 1) return vErrNone;
  if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return vErrNotReady;
  return vErrIO;
}

static vErr sSerialWrite(const uint8_t* bytes, size_t n, void* ref) {
  vSerialRecord* rec = static_cast<vSerialRecord*>(ref);
  if (!sValid(rec)) return vErrParam;
  size_t sent = 0;
  while (sent < n) {
    ssize_t done = write(rec->fd, bytes + sent, n - sent);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return vErrIO;
    sent += size_t(done);
  }
  if (tcdrain(rec->fd) != 0) return vErrIO;
  return vErrNone;
}

static vErr sSerialPut(uint8_t byte, void* ref) { return sSerialWrite(&byte, 1, ref); }

// Sleeps in poll until a byte (or a hang-up, which get then reports) is there.
static vErr sSerialWait(uint32_t timeoutMs, void* ref) {
  vSerialRecord* rec = static_cast<vSerialRecord*>(ref);
  if (!sValid(rec)) return vErrNone;
  struct pollfd all[2] = {{rec->fd, POLLIN, 0}, {rec->wakeFd, POLLIN, 0}};
  struct pollfd& p = all[0];
  int ready = poll(all, rec->wakeFd >= 0 ? 2 : 1, int(timeoutMs));
  if (ready == 0 || (ready < 0 && errno == EINTR)) return vErrTimeout;
  // Interrupted: the wait ends as a silence would.
  if (vStream_WakeTake(rec->wakeFd, all[1].revents) && !(p.revents & POLLIN)) return vErrTimeout;
  if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) {
    // A hung-up line reads 0 bytes for ever: pace the reader instead of spinning.
    poll(nullptr, 0, int(timeoutMs));
    return vErrTimeout;
  }
  return vErrNone;
}

static vErr sSerialDelete(void* ref) {
  vSerialRecord* rec = static_cast<vSerialRecord*>(ref);
  if (!rec) return vErrIO;
  vErr result = vErrNone;
  if (sValid(rec)) {
    if (rec->fd >= 0) {
      tcsetattr(rec->fd, TCSANOW, &rec->saved);
      if (close(rec->fd) != 0) result = vErrIO;
    }
    rec->fd = -1;
    rec->check = 0;
  } else {
    result = vErrIO;
  }
  if (rec->wakeFd >= 0) close(rec->wakeFd);
  free(rec);
  return result;
}

static void sSerialInterrupt(void* ref) {
  vSerialRecord* rec = static_cast<vSerialRecord*>(ref);
  if (sValid(rec)) vStream_WakeGive(rec->wakeFd);
}

vErr vStream_CreateSerial(const char* portName, uint32_t speedCode, uint32_t parity,
                          uint32_t dataBits, uint32_t stopBits, vStream** stream) {
  if (!portName || !stream || dataBits > 1 || stopBits > 1) return vErrParam;
  *stream = nullptr;
  vSerialRecord* rec = static_cast<vSerialRecord*>(calloc(1, sizeof(vSerialRecord)));
  if (rec) rec->wakeFd = vStream_WakeCreate();
  if (!rec) return vErrMemory;
  rec->speedCode = speedCode;
  strncpy(rec->path, portName, vSERIAL_MAX_PATH - 1);
  rec->fd = -1;
  rec->check = vSERIAL_CHECK;
  vStream* s = vStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, rec);
  if (!s) {
    if (rec->wakeFd >= 0) close(rec->wakeFd);
    free(rec);
    return vErrResource;
  }
  vStream_SetWaitProc(s, sSerialWait);
  vStream_SetInterruptProc(s, sSerialInterrupt);

  vErr err = vErrNone;
  rec->fd = open(rec->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (rec->fd < 0) {
    err = errno == ENOENT ? vErrNotFound : errno == EACCES ? vErrPermission : vErrIO;
  } else if (fcntl(rec->fd, F_SETFL, 0) < 0 || tcgetattr(rec->fd, &rec->saved) != 0) {
    err = vErrIO;
  }
  if (err != vErrNone) {
    // Nothing was configured yet: just close what was opened.
    if (rec->fd >= 0) close(rec->fd);
    rec->fd = -1;
    vStream_Destroy(&s);
    return err;
  }
  struct termios t = rec->saved;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
              (stopBits == 1 ? CSTOPB : 0);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, sSpeed(speedCode));
  cfsetospeed(&t, sSpeed(speedCode));
  rec->applied = t;
  // Stale input is discarded; output is not flushed: every write drains, so a
  // real line has nothing queued, while on a pseudo-terminal an output flush
  // would discard what the previous user of the port wrote and the far end
  // has not read yet (a route release, say).
  if (tcsetattr(rec->fd, TCSANOW, &t) != 0 || tcflush(rec->fd, TCIFLUSH) != 0) {
    vStream_Destroy(&s);
    return vErrIO;
  }
  *stream = s;
  return vErrNone;
}
