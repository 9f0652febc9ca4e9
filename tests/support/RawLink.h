// A host end for simulator tests that speaks raw bytes: it writes what a test
// gives it and cuts what the module sends into packets by the wire layout alone.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

class RawLink {
 public:
  static RawLink Tcp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      return RawLink(-1);
    }
    return RawLink(fd);
  }
  static RawLink Pty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return RawLink(-1);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return RawLink(fd);
  }
  explicit RawLink(int fd) : fd_(fd) {}
  RawLink(RawLink&& o) noexcept : fd_(o.fd_), pending_(std::move(o.pending_)) { o.fd_ = -1; }
  ~RawLink() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void Send(const Bytes& bytes) {
    if (write(fd_, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
      throw std::runtime_error("short write");
  }

  // Bytes received within timeoutMs, at most max of them (after what is pending).
  Bytes ReadBytes(size_t max, int timeoutMs) {
    Fill(max, timeoutMs);
    size_t n = std::min(max, pending_.size());
    Bytes out(pending_.begin(), pending_.begin() + long(n));
    pending_.erase(pending_.begin(), pending_.begin() + long(n));
    return out;
  }

  // The next n packets as wire bytes (address, length, data), or fewer at the time-out.
  std::vector<Bytes> Packets(size_t n, int timeoutMs = 2000) {
    std::vector<Bytes> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      if (pending_.size() >= 2 && pending_.size() >= size_t(pending_[1]) + 2) {
        size_t len = size_t(pending_[1]) + 2;
        out.emplace_back(pending_.begin(), pending_.begin() + long(len));
        pending_.erase(pending_.begin(), pending_.begin() + long(len));
        continue;
      }
      int left = int(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0 || !ReadSome(left)) break;
    }
    return out;
  }
  Bytes Packet(int timeoutMs = 2000) {
    auto p = Packets(1, timeoutMs);
    return p.empty() ? Bytes{} : p[0];
  }

  // Whether the peer closed or reset the link within timeoutMs.
  bool Closed(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int left = int(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0) return false;
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      uint8_t buf[512];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return true;
      pending_.insert(pending_.end(), buf, buf + n);
    }
  }

  size_t PendingBytes() const { return pending_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  void Fill(size_t max, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < max) {
      int left = int(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0 || !ReadSome(left)) break;
    }
  }
  bool ReadSome(int timeoutMs) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    uint8_t buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.insert(pending_.end(), buf, buf + n);
    return true;
  }

  int fd_ = -1;
  Bytes pending_;
};

}  // namespace simtest
