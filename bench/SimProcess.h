// A module simulator in a process of its own, so that a benchmark's CPU and
// latency figures count only the host side. Made before the program starts
// any thread (it forks); the process is killed when the object goes, or when
// the program ends without that.
#pragma once
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "VelmarineSim.h"

class SimProcess {
 public:
  // Hands the text to the benchmark and keeps the process serving for good:
  // it never returns, so whatever setup made lives on.
  using Ready = std::function<void(const std::string& text)>;

  // setup runs in the new process: it adds the modules and endpoints, starts
  // the simulator and calls ready with what the benchmark needs to know
  // (ports, terminal paths).
  explicit SimProcess(const std::function<void(velsim::Simulator&, const Ready&)>& setup) {
    int p[2];
    if (pipe(p)) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // goes with the benchmark, however it ends
      close(p[0]);
      velsim::Simulator sim;
      setup(sim, [&](const std::string& text) {
        if (write(p[1], text.data(), text.size()) != ssize_t(text.size())) _exit(1);
        close(p[1]);
        for (;;) pause();
      });
      _exit(1);
    }
    close(p[1]);
    char buffer[256];
    ssize_t n;
    while ((n = read(p[0], buffer, sizeof buffer)) > 0) text_.append(buffer, size_t(n));
    close(p[0]);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // What setup handed back; empty when the simulator did not start.
  const std::string& text() const { return text_; }

 private:
  pid_t pid_ = -1;
  std::string text_;
};
