// CPU time the link engine spends on an idle, connected link during 10 s,
// over TCP and over a pseudo-terminal, with the simulated module in a process
// of its own so that only the host side is counted. Aim: under 1% of one core.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "BenchSupport.h"
#include "SimProcess.h"
#include "VelmarineSim.h"
#include "vLink.h"

namespace {

using benchsupport::IdleCpuSeconds;

uint16_t gPort = 0;
std::string gPty;
constexpr int kIdleSeconds = 10;

// The module with a TCP endpoint and a pseudo-terminal.
void ServeModule(velsim::Simulator& sim, const SimProcess::Ready& ready) {
  velsim::ModuleConfig c;
  sim.AddModule(c);
  uint16_t port = sim.OpenTcp(c.serial, 0).port;
  std::string pty = sim.OpenPty(c.serial).where;
  sim.Start();
  ready(std::to_string(port) + " " + pty);
}

void IdleLink(benchmark::State& state, bool tcp) {
  uint32_t id = tcp ? vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), gPort)
                    : vLink_CreateSerial(0x40F5849A, gPty.c_str(), 115200);
  if (!id || vLink_Sync(id) != vErrNone) {
    state.SkipWithError("cannot link to the simulator");
    if (id) vLink_Destroy(&id);
    return;
  }
  double cpu = 0;
  for (auto _ : state) {
    double wall = 0;
    cpu = IdleCpuSeconds(kIdleSeconds, &wall);
    state.SetIterationTime(wall);
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  }
  bool running = vLink_GetStatus(id) == kLinkRunning;
  vLink_Destroy(&id);
  printf("idle %s link: %.3f s of CPU in %d s = %.3f%% of one core (aim: under 1%%)%s\n",
         tcp ? "TCP" : "pty", cpu, kIdleSeconds, 100.0 * cpu / kIdleSeconds,
         running ? "" : " (the link was not running at the end)");
}

BENCHMARK_CAPTURE(IdleLink, tcp, true)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(IdleLink, pty, false)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  SimProcess sim(ServeModule);  // before any thread exists
  std::istringstream(sim.text()) >> gPort >> gPty;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
