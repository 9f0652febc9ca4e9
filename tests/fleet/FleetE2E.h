// Helpers for the fleet's end-to-end tests: updater-fleet started in a
// process group of its own (so an interrupt can be sent to the group, as a
// terminal does), its output read line by line while it runs.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fleettest {

inline std::string FleetPath() { return testsupport::BinaryDir() + "/src/fleet/updater-fleet"; }

class Started {
 public:
  Started(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    int out[2];
    if (pipe(out)) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      close(out[1]);
      testsupport::ExecChild(FleetPath(), args, env);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Started() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads until a line matches pattern; false at the end of output or after timeoutMs.
  bool WaitFor(const std::string& pattern, int timeoutMs = 120000) {
    std::regex re(pattern);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl;
      while ((nl = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (std::regex_search(line, re)) return true;
      }
      if (!Read(deadline)) return false;
    }
  }
  // The group's interrupt, as Ctrl-C on a terminal sends it.
  void Interrupt() { kill(-pid_, SIGINT); }
  // Waits for the end; the exit status, or 128 + signal.
  int Wait(int timeoutMs = 180000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Read(deadline)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& Output() const { return all_; }

 private:
  bool Read(std::chrono::steady_clock::time_point deadline) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    struct pollfd p = {fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, size_t(n));
    all_.append(buf, size_t(n));
    return true;
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_, all_;
};

}  // namespace fleettest
