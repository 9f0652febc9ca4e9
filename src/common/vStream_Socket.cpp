// TCP socket transport of vStream. The socket is non-blocking: a get with no
// byte waiting reports vErrNotReady at once, and the wait procedure lets the
// reader sleep in poll until a byte arrives. A dropped connection is
// reconnected inside get, write and wait; reconnection and every socket call
// run under the record's lock, so the reading and the writing thread never
// see a descriptor while it is being replaced.
#include "vStream_Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vMutex.h"

// Longest wait for a TCP connection to be accepted.
#define sCONNECT_TIMEOUT_MS 5000
#define sWRITE_ATTEMPTS 10
#define sWRITE_RETRY_MS 60
#define sCLOSE_PAUSE_MS 10

static bool sValid(const vSocketRecord* rec) { return rec && rec->check == vSOCKET_CHECK; }

namespace {
// Holds the record's lock to the end of the scope, so no early return leaves
// it held.
class sHold {
 public:
  explicit sHold(pthread_mutex_t* lock) : lock_(lock) { pthread_mutex_lock(lock_); }
  ~sHold() { pthread_mutex_unlock(lock_); }
  sHold(const sHold&) = delete;
  sHold& operator=(const sHold&) = delete;

 private:
  pthread_mutex_t* lock_;
};
}  // namespace

static bool sDropped(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

// Closes the open socket. Caller holds the lock.
static void sClose(vSocketRecord* rec) {
  if (rec->socket >= 0) {
    rec->flags &= ~vSOCKET_CONNECTED;
    close(rec->socket);
    rec->socket = -1;
    vTime_MSSleep(sCLOSE_PAUSE_MS);
  }
}

// Connects within sCONNECT_TIMEOUT_MS; returns 0 or the errno of the failure.
static int sConnectBounded(int fd, const struct sockaddr_in* address) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  int result = connect(fd, reinterpret_cast<const struct sockaddr*>(address), sizeof(*address));
  if (result < 0 && errno != EINPROGRESS) return errno;
  if (result < 0) {
    struct pollfd p = {fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, sCONNECT_TIMEOUT_MS);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    if (error != 0) return error;
  }
  if (fcntl(fd, F_SETFL, flags) < 0) return errno;
  return 0;
}

// Opens a new connection in place of the old one. Caller holds the lock.
static vErr sConnect(vSocketRecord* rec) {
  if (!sValid(rec)) return vErrInitialization;
  sClose(rec);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return vErrIO;
  int error = sConnectBounded(fd, &rec->address);
  if (error != 0) {
    close(fd);
    if (error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED) {
      return vErrConnection;
    }
    return vErrIO;
  }
  rec->socket = fd;
  rec->flags |= vSOCKET_CONNECTED;
  int on = 1;
  struct timeval none = {0, 0};
  struct linger discard = {1, 0};  // close drops unsent data and resets the connection
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &discard, sizeof(discard)) < 0 ||
      ioctl(fd, FIONBIO, &on) < 0) {
    sClose(rec);
    return vErrIO;
  }
  return vErrNone;
}

// Hands out one byte, receiving whatever has arrived when the buffer is
// empty. A closed peer reads as no byte (vErrNotReady); a reset connection is
// reconnected once.
static vErr sSocketGet(uint8_t* byte, void* ref) {
  vSocketRecord* rec = static_cast<vSocketRecord*>(ref);
  if (!sValid(rec)) return vErrParam;
  if (rec->receivedNext < rec->receivedCount) {
    *byte = rec->received[rec->receivedNext++];
    return vErrNone;
  }
  vErr result = vErrNone;
  ssize_t n = 0;
  {
    sHold hold(&rec->lock);
    if (!(rec->flags & vSOCKET_CONNECTED)) return vErrConnection;
    n = recv(rec->socket, rec->received, sizeof(rec->received), 0);
    if (n < 0 && sDropped(errno)) {
      rec->flags &= ~vSOCKET_CONNECTED;
      result = sConnect(rec);
      if (result == vErrNone) {
        n = recv(rec->socket, rec->received, sizeof(rec->received), 0);
        if (n < 0) result = errno == EAGAIN || errno == EWOULDBLOCK ? vErrNotReady : vErrConnection;
        // A new connection the peer closed at once has no byte to hand out.
        if (n == 0) result = vErrNotReady;
      }
    } else if (n < 0) {
      result =
          errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? vErrNotReady : vErrConnection;
    } else if (n == 0) {
      result = vErrNotReady;  // the peer closed
    }
  }
  if (result != vErrNone) return result;
  rec->receivedCount = size_t(n);
  rec->receivedNext = 1;
  *byte = rec->received[0];
  return vErrNone;
}

static vErr sSocketWrite(const uint8_t* bytes, size_t n, void* ref) {
  vSocketRecord* rec = static_cast<vSocketRecord*>(ref);
  if (!sValid(rec)) return vErrParam;
  if (!bytes && n > 0) return vErrParam;
  {
    sHold hold(&rec->lock);
    if (!(rec->flags & vSOCKET_CONNECTED)) return vErrConnection;
  }
  int attempts = 0;
  size_t sent = 0;
  while (sent < n) {
    {
      sHold hold(&rec->lock);
      if (!(rec->flags & vSOCKET_CONNECTED)) return vErrConnection;
      ssize_t done = send(rec->socket, bytes + sent, n - sent, MSG_NOSIGNAL);
      int error = errno;
      if (done < 0) {
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
          attempts++;
        } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
          rec->flags &= ~vSOCKET_CONNECTED;
          vErr result = sConnect(rec);
          if (result != vErrNone) return result;
          attempts++;
        } else {
          return vErrIO;
        }
      } else {
        sent += size_t(done);
        if (sent < n) attempts = 1;
      }
    }
    if (sent == n) break;
    // The peer takes nothing: report it rather than claim the bytes went out.
    if (attempts >= sWRITE_ATTEMPTS) return vErrTimeout;
    vTime_MSSleep(sWRITE_RETRY_MS);
  }
  return vErrNone;
}

static vErr sSocketPut(uint8_t byte, void* ref) { return sSocketWrite(&byte, 1, ref); }

// Sleeps in poll until a byte, an error or the peer's close is there. A
// connection the peer closed is replaced at once, so the link gets its
// module back (or learns that it is gone) without waiting for a write.
static vErr sSocketWait(uint32_t timeoutMs, void* ref) {
  vSocketRecord* rec = static_cast<vSocketRecord*>(ref);
  if (!sValid(rec)) return vErrNone;
  if (rec->receivedNext < rec->receivedCount) return vErrNone;
  int fd;
  {
    sHold hold(&rec->lock);
    if (!(rec->flags & vSOCKET_CONNECTED)) return vErrNone;  // get reports it
    fd = rec->socket;
  }
  struct pollfd p[2] = {{fd, POLLIN, 0}, {rec->wakeFd, POLLIN, 0}};
  int ready = poll(p, rec->wakeFd >= 0 ? 2 : 1, int(timeoutMs));
  if (ready == 0) return vErrTimeout;
  if (ready < 0) return errno == EINTR ? vErrTimeout : vErrNone;
  // Interrupted: the wait ends as a silence would.
  if (vStream_WakeTake(rec->wakeFd, p[1].revents) && !(p[0].revents & POLLIN)) return vErrTimeout;
  sHold hold(&rec->lock);
  if (rec->socket == fd && (rec->flags & vSOCKET_CONNECTED)) {
    uint8_t peek;
    if (recv(fd, &peek, 1, MSG_PEEK) == 0) {
      rec->flags &= ~vSOCKET_CONNECTED;
      // Nothing to read yet on the new connection.
      if (sConnect(rec) == vErrNone) return vErrTimeout;
    }
  }
  return vErrNone;
}

static vErr sSocketDelete(void* ref) {
  vSocketRecord* rec = static_cast<vSocketRecord*>(ref);
  if (!rec) return vErrIO;
  vErr result = sValid(rec) ? vErrNone : vErrIO;
  if (result == vErrNone) {
    {
      sHold hold(&rec->lock);
      if (rec->flags & vSOCKET_CONNECTED) sClose(rec);
      if (rec->socket >= 0) close(rec->socket);
      rec->socket = -1;
      rec->flags = 0;
      rec->check = 0;
    }
    pthread_mutex_destroy(&rec->lock);
  }
  if (rec->wakeFd >= 0) close(rec->wakeFd);
  free(rec);
  return result;
}

static void sSocketInterrupt(void* ref) {
  vSocketRecord* rec = static_cast<vSocketRecord*>(ref);
  if (sValid(rec)) vStream_WakeGive(rec->wakeFd);
}

vErr vStream_CreateSocket(uint32_t ipAddress, uint32_t port, vStream** stream) {
  if (!stream) return vErrResource;
  *stream = nullptr;
  if (port > 0xFFFF) return vErrResource;
  vSocketRecord* rec = static_cast<vSocketRecord*>(calloc(1, sizeof(vSocketRecord)));
  if (!rec) return vErrResource;
  rec->wakeFd = vStream_WakeCreate();
  rec->port = int(port);
  rec->address.sin_family = AF_INET;
  rec->address.sin_port = htons(uint16_t(port));
  rec->address.sin_addr.s_addr = ipAddress;
  rec->socket = -1;
  rec->check = vSOCKET_CHECK;
  pthread_mutex_init(&rec->lock, nullptr);
  vStream* s = vStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, rec);
  if (!s) {
    sSocketDelete(rec);
    return vErrResource;
  }
  vStream_SetWaitProc(s, sSocketWait);
  vStream_SetInterruptProc(s, sSocketInterrupt);
  vErr err;
  {
    sHold hold(&rec->lock);
    err = sConnect(rec);
  }
  if (err != vErrNone) {
    vStream_Destroy(&s);
    return vErrResource;
  }
  *stream = s;
  return vErrNone;
}
