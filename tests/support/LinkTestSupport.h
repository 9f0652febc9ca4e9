// Test streams for the link library: a scripted in-memory stream and a
// stream over one end of a socket pair, with a peer end the test drives.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "vLink.h"
#include "vPacket.h"
#include "vStream.h"

namespace linktest {

// Queues a packet with data for the link; a zero-length packet still needs a
// byte pointer.
inline vErr Put(uint32_t id, uint8_t address, const std::vector<uint8_t>& data) {
  uint8_t none = 0;
  vPacket* p =
      vPacket_CreateWithData(address, uint8_t(data.size()), data.empty() ? &none : data.data());
  vErr err = vLink_PutPacket(id, p);
  vPacket_Destroy(&p);
  return err;
}

// A listening TCP socket on a free loopback port; the port goes to *port.
inline int ListenLoopback(uint32_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(fd, 4);
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Serves scripted get results one by one (a byte or an error), then vErrEOF;
// records written bytes and which procedure wrote them.
struct ScriptedStream {
  struct Step {
    vErr err;
    uint8_t byte;
  };
  std::deque<Step> script;
  std::vector<uint8_t> written;
  int putCalls = 0;
  int writeCalls = 0;
  bool deleted = false;

  void Bytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) script.push_back({vErrNone, b});
  }
  void Error(vErr err) { script.push_back({err, 0}); }

  static vErr Get(uint8_t* byte, void* ref) {
    auto* self = static_cast<ScriptedStream*>(ref);
    if (self->script.empty()) return vErrEOF;
    Step s = self->script.front();
    self->script.pop_front();
    if (s.err == vErrNone) *byte = s.byte;
    return s.err;
  }
  static vErr Put(uint8_t byte, void* ref) {
    auto* self = static_cast<ScriptedStream*>(ref);
    self->putCalls++;
    self->written.push_back(byte);
    return vErrNone;
  }
  static vErr Write(const uint8_t* bytes, size_t n, void* ref) {
    auto* self = static_cast<ScriptedStream*>(ref);
    self->writeCalls++;
    self->written.insert(self->written.end(), bytes, bytes + n);
    return vErrNone;
  }
  static vErr Delete(void* ref) {
    static_cast<ScriptedStream*>(ref)->deleted = true;
    return vErrNone;
  }
  vStream* Make(bool withPut = true, bool withWrite = true) {
    return vStream_Create(Get, withPut ? Put : nullptr, withWrite ? Write : nullptr, Delete, this);
  }
};

// One end of a socket pair as a vStream (non-blocking, with a wait procedure
// like the real socket transport); the other end stays with the test.
struct PairStream {
  int fd;
  static vErr Get(uint8_t* byte, void* ref) {
    int fd = static_cast<PairStream*>(ref)->fd;
    ssize_t n = recv(fd, byte, 1, MSG_DONTWAIT);
    if (n == 1) return vErrNone;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return vErrNotReady;
    return vErrIO;
  }
  static vErr Write(const uint8_t* bytes, size_t n, void* ref) {
    int fd = static_cast<PairStream*>(ref)->fd;
    return send(fd, bytes, n, MSG_NOSIGNAL) == ssize_t(n) ? vErrNone : vErrIO;
  }
  static vErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
  static vErr Wait(uint32_t timeoutMs, void* ref) {
    struct pollfd p = {static_cast<PairStream*>(ref)->fd, POLLIN, 0};
    int ready = poll(&p, 1, int(timeoutMs));
    if (ready == 0) return vErrTimeout;
    if (p.revents & POLLHUP) {
      poll(nullptr, 0, int(timeoutMs));
      return vErrTimeout;
    }
    return vErrNone;
  }
  static vErr Delete(void* ref) {
    auto* self = static_cast<PairStream*>(ref);
    close(self->fd);
    delete self;
    return vErrNone;
  }
};

// A socket pair: Stream() hands out the library's end (owned by whoever
// destroys the stream); the peer end is read and written by the test.
class Pair {
 public:
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      mine_ = fds[0];
      peer_ = fds[1];
    }
  }
  ~Pair() {
    if (peer_ >= 0) close(peer_);
    if (mine_ >= 0) close(mine_);
  }
  vStream* Stream() {
    auto* ref = new PairStream{mine_};
    mine_ = -1;
    vStream* s = vStream_Create(PairStream::Get, PairStream::Put, PairStream::Write,
                                PairStream::Delete, ref);
    vStream_SetWaitProc(s, PairStream::Wait);
    return s;
  }
  int peer() const { return peer_; }
  void ClosePeer() {
    close(peer_);
    peer_ = -1;
  }
  void Send(const std::vector<uint8_t>& bytes) {
    ssize_t n = send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    (void)n;
  }
  // Reads until `count` bytes arrived or the time-out passed.
  std::vector<uint8_t> Receive(size_t count, int timeoutMs = 3000) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      struct pollfd p = {peer_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[256];
      ssize_t n = recv(peer_, buf, std::min(sizeof(buf), count - got.size()), MSG_DONTWAIT);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
  // Everything that arrives within timeoutMs.
  std::vector<uint8_t> Drain(int timeoutMs) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      struct pollfd p = {peer_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[256];
      ssize_t n = recv(peer_, buf, sizeof(buf), MSG_DONTWAIT);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int mine_ = -1;
  int peer_ = -1;
};

}  // namespace linktest
