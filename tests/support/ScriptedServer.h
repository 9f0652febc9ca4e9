// A tiny HTTP server for client tests: listens on a free loopback port,
// records every request target and answers each with a scripted reply, or
// stalls, or lies about the body length.
#pragma once
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackHttp.h"

class ScriptedServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    bool stall = false;      // read the request, then never answer
    bool withLength = true;  // send Content-Length (else end the body by closing)
  };

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
    return "http://127.0.0.1:" + std::to_string(http_.Port()) + path;
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
  void Answer(int c, const std::string& target, const std::atomic<bool>& stopping) {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
      reply = reply_;
    }
    if (reply.stall) {
      while (!stopping) usleep(20000);
      return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n";
    if (reply.withLength) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    LoopbackHttp::Send(c, out + "Connection: close\r\n\r\n" + reply.body);
  }

  std::mutex mutex_;
  Reply reply_;
  std::vector<std::string> targets_;
  // Last, so that it stops before the rest goes.
  LoopbackHttp http_{[this](int c, const std::string& target, const std::atomic<bool>& stopping) {
    Answer(c, target, stopping);
  }};
};
