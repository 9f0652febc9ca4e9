// A tiny HTTP server for client tests: listens on a free loopback port,
// records every request target and answers each with a scripted reply, or
// stalls, or lies about the body length.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    bool stall = false;      // read the request, then never answer
    bool withLength = true;  // send Content-Length (else end the body by closing)
  };

  ScriptedServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 16);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

  void SetReply(const Reply& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = reply;
  }
  void SetReply(int status, const std::string& body) {
    Reply r;
    r.status = status;
    r.body = body;
    SetReply(r);
  }
  std::string Url(const std::string& path = "/cgi/u") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> Targets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }
  std::string LastTarget() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_.empty() ? "" : targets_.back();
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
      Reply reply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
        if (sp1 != std::string::npos && sp2 != std::string::npos)
          targets_.push_back(head.substr(sp1 + 1, sp2 - sp1 - 1));
        reply = reply_;
      }
      if (reply.stall) {
        while (!stop_) usleep(20000);
      } else {
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n";
        if (reply.withLength)
          out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        out += "Connection: close\r\n\r\n" + reply.body;
        size_t sent = 0;
        while (sent < out.size()) {
          ssize_t n = send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += size_t(n);
        }
      }
      close(c);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  Reply reply_;
  std::vector<std::string> targets_;
};
