// Test hosts for what crosses a network: namespaces A and B joined by a veth
// pair (10.213.0.1 and 10.213.0.2, multicast routed over it) and a namespace
// L with only its loopback interface. Made and removed by the test itself;
// where that is not permitted, Create says why so the test can skip.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

inline std::string OnPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

class NetNamespaces {
 public:
  static constexpr const char* kAddressA = "10.213.0.1";
  static constexpr const char* kAddressB = "10.213.0.2";

  NetNamespaces() = default;
  NetNamespaces(const NetNamespaces&) = delete;
  NetNamespaces& operator=(const NetNamespaces&) = delete;
  ~NetNamespaces() {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!created_) return;
    for (const std::string& ns : {a, b, l}) Ip({"netns", "del", ns});
  }

  // Makes the three namespaces; "" on success, else why they could not be made.
  std::string Create(const std::string& prefix) {
    ip_ = OnPath("ip");
    if (ip_.empty()) return "no 'ip' program";
    std::string tag = std::to_string(getpid());
    a = prefix + "-a" + tag;
    b = prefix + "-b" + tag;
    l = prefix + "-l" + tag;
    std::string va = prefix.substr(0, 3) + "a" + tag, vb = prefix.substr(0, 3) + "b" + tag;
    RunResult made = Ip({"netns", "add", a});
    while (!made.err.empty() && made.err.back() == '\n') made.err.pop_back();
    if (made.status != 0) return "creating network namespaces is not permitted here (" + made.err + ")";
    created_ = true;
    std::vector<std::vector<std::string>> steps = {
        {"netns", "add", b},
        {"netns", "add", l},
        {"link", "add", va, "netns", a, "type", "veth", "peer", "name", vb, "netns", b},
        {"-n", a, "addr", "add", std::string(kAddressA) + "/24", "dev", va},
        {"-n", b, "addr", "add", std::string(kAddressB) + "/24", "dev", vb},
        {"-n", a, "link", "set", va, "up"},
        {"-n", b, "link", "set", vb, "up"},
        {"-n", a, "link", "set", "lo", "up"},
        {"-n", b, "link", "set", "lo", "up"},
        {"-n", l, "link", "set", "lo", "up"},
        {"-n", a, "route", "add", "224.0.0.0/4", "dev", va},
        {"-n", b, "route", "add", "224.0.0.0/4", "dev", vb},
    };
    for (const auto& s : steps) {
      RunResult r = Ip(s);
      if (r.status != 0) return "setting up the veth pair failed (" + r.err + ")";
    }
    return "";
  }

  RunResult Ip(const std::vector<std::string>& args) { return Run(ip_, args); }

  // A program run inside a namespace, as `ip netns exec`.
  RunResult RunIn(const std::string& ns, const std::string& program,
                  const std::vector<std::string>& args, const RunOptions& options = {}) {
    std::vector<std::string> all = {"netns", "exec", ns, program};
    all.insert(all.end(), args.begin(), args.end());
    return Run(ip_, all, options);
  }
  // The command line that starts a program inside a namespace (for Background).
  std::vector<std::string> ExecArgs(const std::string& ns, const std::string& program,
                                    const std::vector<std::string>& args) {
    std::vector<std::string> all = {"netns", "exec", ns, program};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  const std::string& IpProgram() const { return ip_; }

  // Runs body in a child process that has joined the namespace; it is killed
  // when these namespaces go. The body calls ready() once it serves, and may
  // block for ever after that; StartIn returns when it has called it (false
  // when the child ended or failed first, or after 10 s).
  bool StartIn(const std::string& ns,
               const std::function<void(const std::function<void()>& ready)>& body) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(3);
      const int signal = ready[1];
      body([signal] {
        char c = 1;
        ssize_t n = write(signal, &c, 1);
        (void)n;
      });
      _exit(0);
    }
    close(ready[1]);
    if (pid < 0) {
      close(ready[0]);
      return false;
    }
    children_.push_back(pid);
    struct pollfd p = {ready[0], POLLIN, 0};
    char c = 0;
    bool served = poll(&p, 1, 10000) == 1 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return served;
  }

  // Runs work in a child process that has joined the namespace and returns
  // what it wrote; ok is false when it did not finish in time or failed.
  std::string InNamespace(const std::string& ns, const std::function<std::string()>& work,
                          bool* ok, int timeoutMs = 60000) {
    *ok = false;
    int out[2];
    if (pipe(out) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
      close(out[0]);
      int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(3);
      std::string text = work();
      ssize_t ignored = write(out[1], text.data(), text.size());
      (void)ignored;
      _exit(0);
    }
    close(out[1]);
    std::string text;
    bool finished = true;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now())
                         .count());
      struct pollfd p = {out[0], POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) {
        kill(pid, SIGKILL);
        finished = false;
        break;
      }
      char buffer[1024];
      ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, size_t(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    *ok = finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return text;
  }

  std::string a, b, l;

 private:
  std::string ip_;
  bool created_ = false;
  std::vector<pid_t> children_;
};

}  // namespace testsupport
