// The listener under the tests' fake HTTP servers: accepts on a free loopback
// port, reads each request's head and hands its target and the connection to
// the answer function, then closes the connection.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>

// Binds the socket to a free loopback port; returns the address it got.
inline sockaddr_in BindLoopback(int fd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return addr;
}

class LoopbackHttp {
 public:
  // stopping turns true when the listener goes: an answer that stalls waits
  // for it.
  using Answer = std::function<void(int connection, const std::string& target,
                                    const std::atomic<bool>& stopping)>;

  explicit LoopbackHttp(Answer answer) : answer_(std::move(answer)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    port_ = ntohs(BindLoopback(fd_).sin_port);
    listen(fd_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackHttp() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  LoopbackHttp(const LoopbackHttp&) = delete;
  LoopbackHttp& operator=(const LoopbackHttp&) = delete;

  int Port() const { return port_; }

  // Sends all the bytes unless the peer goes first.
  static void Send(int connection, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += size_t(n);
    }
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
        pollfd q = {c, POLLIN, 0};
        if (poll(&q, 1, 50) <= 0) continue;
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        head.append(buf, size_t(n));
      }
      size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
      if (sp1 != std::string::npos && sp2 != std::string::npos)
        answer_(c, head.substr(sp1 + 1, sp2 - sp1 - 1), stop_);
      close(c);
    }
  }

  Answer answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
