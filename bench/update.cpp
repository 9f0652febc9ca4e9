// Speed of an update of a 256 KiB image against the protocol's stop-and-wait
// limit, measured in the same run: the number of exchanges the transfer needs
// times the bare round trip to the same simulator, plus the waits the protocol
// prescribes (the 100 ms settle of each connect, one 250 ms reboot-wait step;
// this update needs no reconnect). Aim: 1.1 or less.
//   UsbWholeUpdate: the updater process (-U -f) over the simulated USB bus,
//     with its peak resident memory (aim: under 3 x the image + 20 MiB);
//   TcpTransfer: the loader and firmware drivers over TCP loopback to an
//     in-process simulator.
// The program re-executes itself with the simulated bus preloaded, so that it
// and the updater it starts see the same kind of bus.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "BenchSupport.h"
#include "BirdFile.h"
#include "Entity.h"
#include "SimulatedBus.h"
#include "UpdaterEntity.h"
#include "UpdaterStoreAccess.h"
#include "VelmarineSim.h"
#include "vDiscovery.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchsupport::Median;
using benchsupport::NullDisplay;
using benchsupport::Seconds;
using Corvane::Velmarine::Module;

constexpr uint32_t kTarget = 0x40F5849A;  // updated by the updater process
constexpr uint32_t kProbe = 0x40F5849B;   // round trips measured in-process
constexpr uint32_t kImageBytes = 256 * 1024;
constexpr uint16_t kBlockSize = 2048;
constexpr int kRoundTrips = 400;
constexpr int kRuns = 3;  // the median of this many runs is reported
constexpr double kSettleSeconds = 0.1;

std::string ImagePath() {
  static std::string path = [] {
    std::string p = std::string(getenv("HOME")) + "/image.bird";
    std::vector<uint8_t> firmware(kImageBytes);
    for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = uint8_t(i * 7 + (i >> 9));
    std::string error;
    if (!benchsupport::WriteMorletImage(p, 1234, "2.16.0", kTarget, firmware, 512, &error))
      fprintf(stderr, "cannot write the image: %s\n", error.c_str());
    return p;
  }();
  return path;
}

// Request/reply exchanges of one update of the image, connection aside.
uint64_t Exchanges(const BirdFile& image, uint16_t blockSize) {
  auto data = [](uint64_t n) { return (n + 25) / 26; };
  uint64_t n = 1 + 1;  // Init, Load
  for (const BirdBlock& b : image.FindBlocks(BirdFile::BLOCK_LOADER))
    n += 1 + data(b.length - 4) + 1;  // Prepare, Data, Sum
  for (const BirdBlock& b : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
    n += 1;  // Prepare
    for (uint64_t left = b.length - 4; left > 0;) {
      uint64_t chunk = left < blockSize ? left : blockSize;
      n += data(chunk) + 2;  // Data, Sum, Write
      left -= chunk;
    }
  }
  return n + 2;  // the serial number and model reads of the validation
}

// The mean time of kRoundTrips echo exchanges of a full-size packet (after one
// to warm up).
double RoundTrip(Module& module) {
  uint8_t payload[26];
  memset(payload, 0x5A, sizeof payload);
  module.debug(payload, sizeof payload);
  auto start = Clock::now();
  for (int i = 0; i < kRoundTrips; ++i) module.debug(payload, sizeof payload);
  return Seconds(start) / kRoundTrips;
}

// The measured time (the iteration's) against the stop-and-wait limit:
// exchanges round trips of rt seconds each plus the fixed waits.
void ReportAgainstLimit(benchmark::State& state, double whole, uint64_t exchanges, double rt,
                        double waits) {
  double limit = double(exchanges) * rt + waits;
  state.SetIterationTime(whole);
  state.counters["whole_s"] = whole;
  state.counters["exchanges"] = double(exchanges);
  state.counters["rt_us"] = rt * 1e6;
  state.counters["exchanges_s"] = double(exchanges) * rt;
  state.counters["fixed_waits_s"] = waits;
  state.counters["limit_s"] = limit;
  state.counters["ratio"] = whole / limit;
}

void BM_UsbWholeUpdate(benchmark::State& state) {
  NullDisplay display;
  BirdFile image(ImagePath().c_str());
  for (auto _ : state) {
    // The bare costs, on the same bus: one connect (with the link's
    // synchronisation) and release, and the round trip.
    double connect = 0, release = 0, rt = 0;
    {
      auto start = Clock::now();
      Module module(0, uint8_t(0));
      _disableEther(module, display);
      if (module.connect(linkTypeUSB, kProbe) != vErrNone) {
        state.SkipWithError("the probe module is not on the simulated bus");
        return;
      }
      connect = Seconds(start);
      rt = RoundTrip(module);
      start = Clock::now();
      module.disconnect();
      release = Seconds(start);
    }
    std::vector<std::string> args = {
        "-u", "http://127.0.0.1:1/cgi/u", "-U", "-f", ImagePath(), "-d", "40F5849A"};
    std::vector<double> runs;
    long peakKiB = 0;
    for (int run = 0; run < kRuns; ++run) {
      struct rusage usage = {};
      double t = benchsupport::TimeUpdater(args, &usage);
      if (t < 0) {
        state.SkipWithError("the updater did not start or the update failed");
        return;
      }
      runs.push_back(t);
      peakKiB = std::max(peakKiB, long(usage.ru_maxrss));
    }
    double whole = Median(runs);
    uint64_t exchanges = Exchanges(image, kBlockSize);
    // One connect (its settle) and one reboot-wait step.
    double waits = kSettleSeconds + UpdaterEntity::kRebootWaitMs / 1000.0;
    state.counters["connect_s"] = connect;
    state.counters["release_s"] = release;
    ReportAgainstLimit(state, whole, exchanges, rt, waits);
    state.counters["peak_rss_MiB"] = double(peakKiB) / 1024.0;
    state.counters["rss_aim_MiB"] = 3.0 * kImageBytes / 1048576.0 + 20;
  }
}

void BM_TcpTransfer(benchmark::State& state) {
  NullDisplay display;
  BirdFile image(ImagePath().c_str());
  for (auto _ : state) {
    std::vector<double> wholes, rts;
    bool flashed = true;
    for (int run = 0; run < kRuns; ++run) {
      velsim::Simulator sim;
      velsim::ModuleConfig config;
      config.serial = kTarget;
      config.blockSize = kBlockSize;
      sim.AddModule(config);
      velsim::Endpoint ep = sim.OpenTcp(kTarget, 0);
      sim.Start();
      linkSpec spec{};
      spec.type = linkTypeTCPIP;
      spec.serialNumber = kTarget;
      spec.model = 19;
      inet_pton(AF_INET, "127.0.0.1", &spec.t.ip.ipAddress);
      spec.t.ip.ipPort = ep.port;

      Module module(0, uint8_t(0));
      _disableEther(module, display);
      if (module.connectFromSpec(spec) != vErrNone) {
        state.SkipWithError("cannot connect to the simulator over TCP");
        return;
      }
      rts.push_back(RoundTrip(module));
      auto start = Clock::now();
      vErr err = _transfer_loader(display, module, image);
      if (err == vErrNone) err = _transfer_firmware(display, module, image, false);
      wholes.push_back(Seconds(start));
      if (err != vErrNone) {
        state.SkipWithError(("the transfer failed: " + std::to_string(err)).c_str());
        return;
      }
      flashed = flashed && sim.Flash(kTarget)[0].size() == kImageBytes;
    }
    double whole = Median(wholes), rt = Median(rts);
    uint64_t exchanges = Exchanges(image, kBlockSize) - 2;  // no validation here
    ReportAgainstLimit(state, whole, exchanges, rt, UpdaterEntity::kRebootWaitMs / 1000.0);
    state.counters["flashed_ok"] = flashed ? 1 : 0;
  }
}

BENCHMARK(BM_UsbWholeUpdate)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_TcpTransfer)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  char bus[128];
  snprintf(bus, sizeof bus, "%08X:19:block-size=%u,%08X:19", kTarget, kBlockSize, kProbe);
  // The updater's store and the image go to a directory of the run's own.
  bool onBus = OnSimulatedBus(argv, "UPDATE_BENCH_BUS", bus, [] {
    char home[] = "/tmp/update-bench.XXXXXX";
    if (!mkdtemp(home)) {
      perror("mkdtemp");
      return false;
    }
    setenv("HOME", home, 1);
    return true;
  });
  if (!onBus) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string home = getenv("HOME");
  if (home.rfind("/tmp/update-bench.", 0) == 0) std::system(("rm -rf '" + home + "'").c_str());
  return 0;
}
