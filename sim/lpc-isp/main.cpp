// lpc-isp-sim: serves a simulated LPC17xx ISP boot ROM on a pseudo-terminal
// until it is told to stop, then optionally dumps the flash to a file.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "LpcIspSim.h"

int main(int argc, char** argv) {
  lpcsim::Options opts;
  std::string dumpPath, flashPath, error;
  bool help = false;
  if (!lpcsim::ParseArguments(argc, argv, opts, dumpPath, flashPath, error, help)) {
    fprintf(stderr, "lpc-isp-sim: %s\n%s", error.c_str(), lpcsim::UsageText());
    return 2;
  }
  if (help) {
    fputs(lpcsim::UsageText(), stdout);
    return 0;
  }

  lpcsim::Simulator sim(opts);
  if (!flashPath.empty()) {
    std::ifstream in(flashPath, std::ios::binary);
    if (!in) {
      fprintf(stderr, "lpc-isp-sim: cannot read %s\n", flashPath.c_str());
      return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.size() > lpcsim::kFlashSize) {
      fprintf(stderr, "lpc-isp-sim: %s is larger than the 512 KB flash\n", flashPath.c_str());
      return 1;
    }
    sim.LoadFlash(bytes);
  }

  // The stop signals are taken by sigwait below; block them before the
  // serving thread starts so that it inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (!sim.Start(error)) {
    fprintf(stderr, "lpc-isp-sim: %s\n", error.c_str());
    return 1;
  }
  printf("pty %s\n", sim.PtyPath().c_str());
  fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  sim.Stop();
  if (!dumpPath.empty() && !sim.DumpFlash(dumpPath)) {
    fprintf(stderr, "lpc-isp-sim: cannot write %s\n", dumpPath.c_str());
    return 1;
  }
  return 0;
}
