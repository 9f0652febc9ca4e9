// Helpers of the fault campaign: a fake update server that answers the query
// vocabulary from a served BIRD file and injects one fault into the download,
// a loopback port that refuses or never completes connections, and running
// the updater with a closed standard stream, a file-size limit, or as an
// unprivileged user (root would pass every permission check).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackHttp.h"
#include "TestSupport.h"

namespace faults {

// What the fake server does with the download request (op=bird).
enum class BirdFault {
  None,
  StallMidBody,  // announces the whole body, sends half of it, then goes silent
  Truncated,     // announces the whole body, sends half of it, then closes
  WrongContent,  // a well-formed reply whose Base64 text is no BIRD file
  RedirectLoop,  // every request is redirected to itself
};

// Standard Base64, for the fake server's replies.
inline std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t g = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(g >> s) & 0x3F];
  }
  if (i < bytes.size()) {
    uint32_t g = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) g |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(g >> 18) & 0x3F];
    out += kAlphabet[(g >> 12) & 0x3F];
    out += i + 1 < bytes.size() ? kAlphabet[(g >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

// A fake update server for one module with one build (101, version 1.0.10),
// whose BIRD file bytes are given. It answers hi, qu and builds correctly and
// applies its fault to bird.
class FakeServer {
 public:
  FakeServer(const std::string& birdBytes, BirdFault fault) : bird_(birdBytes), fault_(fault) {}
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(http_.Port()) + "/cgi/u";
  }
  int Requests() const { return requests_; }

 private:
  static std::string Head(int status, size_t length, const std::string& extra = "") {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra +
           "Connection: close\r\n\r\n";
  }

  void Answer(int c, const std::string& target, const std::atomic<bool>& stopping) {
    ++requests_;
    if (fault_ == BirdFault::RedirectLoop) {
      LoopbackHttp::Send(c, Head(302, 0, "Location: " + target + "\r\n"));
      return;
    }
    auto has = [&](const char* op) { return target.find(op) != std::string::npos; };
    std::string body;
    if (has("op=hi&")) body = "ok\n";
    if (has("op=qu&")) body = "ok\n101\n1.0.10\n";
    if (has("op=builds&")) body = "ok\n101;1.0.10\n";
    if (has("op=bird&")) {
      std::string text = fault_ == BirdFault::WrongContent
                             ? Base64("<html>Service unavailable</html>")
                             : Base64(bird_);
      body = "ok\n" + text + "\n";
      if (fault_ == BirdFault::StallMidBody || fault_ == BirdFault::Truncated) {
        LoopbackHttp::Send(c, Head(200, body.size()) + body.substr(0, body.size() / 2));
        if (fault_ == BirdFault::StallMidBody)
          while (!stopping) usleep(20000);
        return;
      }
    }
    if (body.empty()) body = "no\n";
    LoopbackHttp::Send(c, Head(200, body.size()) + body);
  }

  std::string bird_;
  BirdFault fault_;
  std::atomic<int> requests_{0};
  // Last, so that it stops before the rest goes.
  LoopbackHttp http_{[this](int c, const std::string& target, const std::atomic<bool>& stopping) {
    Answer(c, target, stopping);
  }};
};

// A loopback port whose listen queue is full: the kernel drops every further
// connection attempt, so a client's connect neither succeeds nor fails until
// its own time-out.
class UnconnectablePort {
 public:
  UnconnectablePort() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = BindLoopback(listener_);
    listen(listener_, 0);
    port_ = ntohs(addr.sin_port);
    // Fill the queue: connect until one attempt is left hanging.
    for (int i = 0; i < 8; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      fillers_.push_back(c);
      pollfd p = {c, POLLOUT, 0};
      if (poll(&p, 1, 300) == 0) {
        full_ = true;
        break;
      }
    }
  }
  ~UnconnectablePort() {
    for (int c : fillers_) close(c);
    close(listener_);
  }
  bool full() const { return full_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  int listener_ = -1;
  int port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

// A loopback port nothing listens on.
inline std::string RefusingUrl() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = ntohs(BindLoopback(fd).sin_port);
  close(fd);
  return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

// The unprivileged user the permission cases run as when the tests run as root.
constexpr uid_t kNobody = 65534;

// Runs the updater (with HOME when given); as root, as the unprivileged user
// through setpriv, so that permissions apply. Extra words go before the
// program (prlimit, for example).
inline testsupport::RunResult RunAs(const std::vector<std::string>& wrapper,
                                    const std::vector<std::string>& args, const std::string& home,
                                    testsupport::RunOptions options = {}) {
  std::vector<std::string> words;
  if (geteuid() == 0) {
    words = {"--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
             "--clear-groups"};
    words.insert(words.end(), wrapper.begin(), wrapper.end());
    words.push_back(testsupport::UpdaterPath());
    words.insert(words.end(), args.begin(), args.end());
    if (!home.empty()) options.env["HOME"] = home;
    return testsupport::Run("/usr/bin/setpriv", words, options);
  }
  if (wrapper.empty()) return testsupport::RunUpdater(args, home, options);
  words.assign(wrapper.begin() + 1, wrapper.end());
  words.push_back(testsupport::UpdaterPath());
  words.insert(words.end(), args.begin(), args.end());
  if (!home.empty()) options.env["HOME"] = home;
  return testsupport::Run(wrapper[0], words, options);
}

// Gives a tree to the unprivileged user (when running as root) and opens the
// way to it, so that the user owns what it would own in a real home.
inline void GiveTree(const std::string& path) {
  if (geteuid() == 0) std::system(("chown -R 65534:65534 '" + path + "'").c_str());
}

// Runs the updater with the standard stream fd (0, 1 or 2) closed; the other
// two go to /dev/null. Returns the exit status (128 + signal when killed).
inline int RunWithClosedStream(int fd, const std::vector<std::string>& args,
                               const std::string& home, int timeoutMs = 60000) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int i = 0; i <= 2; ++i) dup2(null, i);
    close(null);
    close(fd);
    setenv("HOME", home.c_str(), 1);
    testsupport::ExecChild(testsupport::UpdaterPath(), args, {});
  }
  int status = 0;
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// The names in a directory other than "." and "..".
inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  testsupport::RunResult r = testsupport::Run("/bin/ls", {"-A", dir});
  size_t pos = 0;
  while (pos < r.out.size()) {
    size_t nl = r.out.find('\n', pos);
    if (nl == std::string::npos) nl = r.out.size();
    if (nl > pos) names.push_back(r.out.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return names;
}

}  // namespace faults
