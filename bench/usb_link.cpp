// Lifecycle of one USB link on the simulated bus, measured in-process:
//   Connect: create to synchronised, the link's 100 ms settle included
//            (median of 20; aim: 150 ms or less);
//   Release: the destroy that stops and joins the link's threads (median of
//            20; aim: 20 ms or less);
//   Idle:    CPU the process spends during 10 s with one idle USB link, less
//            what it spends with none (aim: under 0.1 % of one core).
// The program re-executes itself with the simulated bus preloaded.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchSupport.h"
#include "SimulatedBus.h"
#include "vLink.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchsupport::IdleCpuSeconds;
using benchsupport::Median;
using benchsupport::Seconds;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr int kSamples = 20;
constexpr int kIdleSeconds = 10;

void BM_ConnectRelease(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> connect, release;
    for (int i = 0; i < kSamples; i++) {
      auto start = Clock::now();
      uint32_t id = vLink_CreateUSB(kSerial);
      double made = Seconds(start);
      if (!id || vLink_GetStatus(id) != kLinkRunning) {
        state.SkipWithError("cannot link to the module on the simulated bus");
        if (id) vLink_Destroy(&id);
        return;
      }
      start = Clock::now();
      vLink_Destroy(&id);
      release.push_back(Seconds(start));
      connect.push_back(made);
    }
    double c = Median(connect), r = Median(release);
    state.SetIterationTime(c + r);
    state.counters["connect_ms"] = c * 1000;
    state.counters["release_ms"] = r * 1000;
    state.counters["connect_ratio"] = c / 0.150;
    state.counters["release_ratio"] = r / 0.020;
    printf(
        "USB connect: median %.1f ms of %d (aim: 150 ms or less); release: median %.1f ms "
        "(aim: 20 ms or less)\n",
        c * 1000, kSamples, r * 1000);
  }
}

void BM_IdleUsbLink(benchmark::State& state) {
  for (auto _ : state) {
    double bare = IdleCpuSeconds(kIdleSeconds);
    uint32_t id = vLink_CreateUSB(kSerial);
    if (!id) {
      state.SkipWithError("cannot link to the module on the simulated bus");
      return;
    }
    double wall = 0;
    double with = IdleCpuSeconds(kIdleSeconds, &wall);
    bool running = vLink_GetStatus(id) == kLinkRunning;
    vLink_Destroy(&id);
    double percent = 100.0 * (with - bare) / wall;
    state.SetIterationTime(wall);
    state.counters["cpu_percent_of_core"] = percent;
    printf(
        "idle USB link: %.4f s of CPU in %d s (%.4f s without a link) = %.3f%% of one core "
        "(aim: under 0.1%%)%s\n",
        with, kIdleSeconds, bare, percent, running ? "" : " (the link was not running at the end)");
  }
}

BENCHMARK(BM_ConnectRelease)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleUsbLink)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  if (!OnSimulatedBus(argv, "USB_LINK_BENCH_BUS", "40F5849A:19")) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The bus's module thread ends before the process's static data goes.
  typedef const char* (*Control)(const char*);
  if (auto control = reinterpret_cast<Control>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control")))
    control("stop");
  return 0;
}
