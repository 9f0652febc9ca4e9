// Speed of the discover command as a whole process, against what the
// protocol itself costs on the same simulated USB bus in the same run:
//   -D -r   against 126 bare I2C-write round trips through the router plus the
//           connects to the modules behind it (aim: 1.2 or less);
//   -D -t USB against what the protocol asks of each of the 16 modules: the
//           link's 100 ms settle and its reads' round trips (aim: 1.2 or less);
//   -D -t TCPIP with 4 modules in another network namespace, against the 2 s
//           listen plus 4 times one module's connect, reads and disconnect
//           (aim: 1.2 or less), and the slowest of 10 runs in a row against
//           their median (aim: 1.1 or less; skipped where namespaces can't be
//           made).
// The program re-executes itself with the simulated bus preloaded, so that it
// and the updater it starts see the same kind of bus.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Entity.h"
#include "NetNamespaces.h"
#include "SimulatedBus.h"
#include "Updater.h"
#include "UpdaterStoreAccess.h"
#include "vDiscovery.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchsupport::Median;
using benchsupport::NullDisplay;
using benchsupport::Seconds;
using benchsupport::TimeUpdater;
using Corvane::Velmarine::I2CClass;
using Corvane::Velmarine::Module;
using Corvane::Velmarine::SystemClass;

constexpr int kRuns = 3;
constexpr int kTcpipRuns = 10;
constexpr double kSettleSeconds = 0.1;
constexpr uint32_t kRouter = 0xD272031D;

// A router at address 4 with four modules behind it, and 15 more modules on the bus.
std::string BusSpec() {
  std::string spec = "D272031D:19:address=4";
  for (int i = 0; i < 4; i++) {
    char entry[64];
    snprintf(entry, sizeof entry, ",1000000%X:13:address=%d:router=4", i, 20 + 2 * i);
    spec += entry;
  }
  for (int i = 0; i < 15; i++) {
    char entry[64];
    snprintf(entry, sizeof entry, ",2000000%X:5:address=%d", i, 6 + 2 * i);
    spec += entry;
  }
  return spec;
}

// The steps the listing takes for one module reached through the router.
void ReadBehind(Module& router, uint8_t address, NullDisplay& display) {
  Module target(address, false, 0);
  _disableEther(target, display);
  target.connectThroughLinkModule(&router);
  SystemClass system;
  system.init(&target, 0);
  uint32_t serial = 0;
  uint8_t model = 0;
  system.getSerialNumber(&serial);
  DeviceInfo info;
  _get_build_number(target);
  _get_version(target, info);
  system.getModel(&model);
  target.disconnect();
}

void BM_RouterScan(benchmark::State& state) {
  NullDisplay display;
  for (auto _ : state) {
    // The protocol's own cost, step by step: opening the router (its link's
    // synchronisation) and letting it go, bare I2C writes through it to an
    // address where nobody sits, and the four modules' connects and reads.
    double open = 0, probes = 0, modules = 0;
    auto start = Clock::now();
    {
      linkSpec* spec = vDiscovery_FindModule(linkTypeUSB, kRouter, vMESH_LOOPBACK_INTERFACE);
      if (!spec) {
        state.SkipWithError("the router is not on the simulated bus");
        return;
      }
      Module router(2, uint8_t(0));
      _disableEther(router, display);
      vErr err = router.connectFromSpec(*spec);
      vLinkSpec_Destroy(&spec);
      if (err != vErrNone) {
        state.SkipWithError(("connecting to the router failed: " + std::to_string(err)).c_str());
        return;
      }
      SystemClass system;
      system.init(&router, 0);
      system.routeToMe(1);
      I2CClass i2c;
      i2c.init(&router, 0);
      i2c.setSpeed(3);
      const uint8_t zero[2] = {0, 0};
      vErr first = i2c.write(2, 2, zero);
      if (first != vErrIO) {
        state.SkipWithError(("a probe through the router gave " + std::to_string(first)).c_str());
        return;
      }
      auto probeStart = Clock::now();
      for (int i = 0; i < 126; i++) i2c.write(2, 2, zero);
      probes = Seconds(probeStart);
      auto moduleStart = Clock::now();
      for (int i = 0; i < 4; i++) ReadBehind(router, uint8_t(20 + 2 * i), display);
      modules = Seconds(moduleStart);
      system.routeToMe(0);
      router.disconnect();
    }
    open = Seconds(start) - probes - modules;

    std::vector<double> runs;
    for (int i = 0; i < kRuns; i++)
      runs.push_back(TimeUpdater({"-D", "-r", "D272031D", "-t", "USB"}));
    double whole = Median(runs);
    double limit = open + probes + modules;
    state.SetIterationTime(whole);
    state.counters["whole_s"] = whole;
    state.counters["router_open_close_s"] = open;
    state.counters["probe_rt_ms"] = probes / 126 * 1000;
    state.counters["modules_s"] = modules;
    state.counters["limit_s"] = limit;
    state.counters["ratio"] = whole / limit;
  }
}

void BM_UsbListing(benchmark::State& state) {
  NullDisplay display;
  for (auto _ : state) {
    // One module's connect, reads and release (its link torn down), the same
    // steps the listing takes for each of the 16 modules on the bus.
    std::vector<double> costs, connect, reads;
    for (int i = 0; i < kRuns; i++) {
      linkSpec* spec = vDiscovery_FindModule(linkTypeUSB, 0x20000000, vMESH_LOOPBACK_INTERFACE);
      if (!spec) {
        state.SkipWithError("the module is not on the simulated bus");
        return;
      }
      auto start = Clock::now();
      {
        Module module(2, uint8_t(0));
        _disableEther(module, display);
        module.connectFromSpec(*spec);
        connect.push_back(Seconds(start));
        auto readStart = Clock::now();
        DeviceInfo info;
        _get_build_number(module);
        _get_version(module, info);
        reads.push_back(Seconds(readStart));
        module.disconnect();
      }
      costs.push_back(Seconds(start));
      vLinkSpec_Destroy(&spec);
    }
    double perModule = Median(costs);
    std::vector<double> runs;
    for (int i = 0; i < kRuns; i++) runs.push_back(TimeUpdater({"-D", "-t", "USB"}));
    double whole = Median(runs);
    // The protocol's own cost per module: the settle after synchronising
    // and the reads' round trips.
    double limit = 16 * (kSettleSeconds + Median(reads));
    state.SetIterationTime(whole);
    state.counters["whole_s"] = whole;
    state.counters["module_s"] = perModule;
    state.counters["connect_s"] = Median(connect);
    state.counters["reads_s"] = Median(reads);
    state.counters["limit_s"] = limit;
    state.counters["ratio"] = whole / limit;
  }
}

void BM_TcpipListing(benchmark::State& state) {
  for (auto _ : state) {
    testsupport::NetNamespaces hosts;
    std::string why = hosts.Create("vdbench");
    if (!why.empty()) {
      state.SkipWithError(why.c_str());
      return;
    }
    const std::string B = testsupport::NetNamespaces::kAddressB;
    std::vector<std::string> args = {"--discovery-interface", B};
    for (int i = 0; i < 4; i++) {
      char module[80];
      snprintf(module, sizeof module, "serial=3000000%X,model=13,address=%d", i, 4 + 2 * i);
      args.insert(args.end(), {"--module", module, "--tcp", B + ":0"});
    }
    testsupport::Background sim(
        hosts.IpProgram(),
        hosts.ExecArgs(hosts.b, std::string(UPDATER_BINARY_DIR) + "/sim/module/velmarine-sim",
                       args));
    std::string line;
    while (!(line = sim.ReadLine()).empty() && line.rfind("discovery", 0) != 0) {
    }
    if (line.empty()) {
      state.SkipWithError("the simulator did not start");
      return;
    }
    // One module's cost as the listing pays it, measured from namespace A.
    bool ok = false;
    std::string cost = hosts.InNamespace(
        hosts.a,
        [] {
          NullDisplay display;
          linkSpec* spec = vDiscovery_FindModule(linkTypeTCPIP, 0x30000000, 0);
          if (!spec) return std::string();
          std::vector<double> costs;
          for (int i = 0; i < kRuns; i++) {
            auto start = Clock::now();
            {
              Module module(2, uint8_t(0));
              _disableEther(module, display);
              module.connectFromSpec(*spec);
              DeviceInfo info;
              _get_build_number(module);
              _get_version(module, info);
              module.disconnect();
            }
            costs.push_back(Seconds(start));
          }
          vLinkSpec_Destroy(&spec);
          return std::to_string(Median(costs));
        },
        &ok);
    if (!ok || cost.empty()) {
      state.SkipWithError("the module could not be reached from namespace A");
      return;
    }
    double perModule = std::stod(cost);
    std::string updater = std::string(UPDATER_BINARY_DIR) + "/src/app/updater";
    std::vector<double> runs;
    for (int i = 0; i < kTcpipRuns; i++) {
      auto start = Clock::now();
      testsupport::RunResult r = hosts.RunIn(hosts.a, updater, {"-D", "-t", "TCPIP"});
      runs.push_back(r.status == 0 ? Seconds(start) : -1);
    }
    double whole = Median(runs);
    double slowest = benchsupport::Percentile(runs, 1.0);
    double limit = 2.0 + 4 * perModule;
    state.SetIterationTime(whole);
    state.counters["whole_s"] = whole;
    state.counters["slowest_s"] = slowest;
    state.counters["slowest_ratio"] = slowest / whole;
    state.counters["module_s"] = perModule;
    state.counters["limit_s"] = limit;
    state.counters["ratio"] = whole / limit;
  }
}

BENCHMARK(BM_RouterScan)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UsbListing)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_TcpipListing)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  if (!OnSimulatedBus(argv, "DISCOVER_BENCH_BUS", BusSpec())) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
