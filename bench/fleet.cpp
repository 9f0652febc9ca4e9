// Speed and memory of updater-fleet apply over 16 modules on the simulated
// USB bus, against limits measured in the same run:
//   FleetApply16: apply's wall time over (discovery + the slowest single
//     module's `updater -U`), aim 1.5 or less; and its speed-up over a
//     sequential loop of `updater -U` over the same modules.
//   CPU: the apply run's CPU time (workers included) spread over the cores:
//     on the simulated bus the transfers are CPU-bound, so that is as fast
//     as apply can be on this machine; and the sequential loop's.
//   Memory: the peak resident memory of the whole run (the fleet and all its
//     workers at once, sampled), and each worker's peak against the peak of
//     a single `updater -U` (aim: within it).
// Every module starts from the same build and the images are in the store
// beforehand, so both sides do the same work and no download is timed.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchImage.h"
#include "BenchSupport.h"

namespace {

using benchsupport::Seconds;
constexpr int kModules = 16;
constexpr uint32_t kImageBytes = 64 * 1024;

std::string Hex8(uint32_t v) {
  char t[16];
  snprintf(t, sizeof t, "%08X", v);
  return t;
}

struct Run {
  double seconds = -1;
  double cpuSeconds = 0;  // user and system, its waited-for children included
  long maxRssKiB = 0;
  int status = -1;
};

// Runs program with args (output dropped), sampling every 20 ms the summed
// resident memory of it and its children when peakKiB is given.
Run Spawn(const std::string& program, const std::vector<std::string>& args,
          long* peakKiB = nullptr) {
  Run r;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = benchsupport::SpawnQuiet(program, args);
  if (pid < 0) return r;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    auto rss = [](const std::string& p) {
      std::ifstream in("/proc/" + p + "/status");
      std::string line;
      while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
      return 0L;
    };
    while (peakKiB && !done) {
      std::string self = std::to_string(pid);
      long sum = rss(self);
      std::ifstream children("/proc/" + self + "/task/" + self + "/children");
      std::string child;
      while (children >> child) sum += rss(child);
      *peakKiB = std::max(*peakKiB, sum);
      usleep(20000);
    }
  });
  int status = 0;
  struct rusage used = {};
  wait4(pid, &status, 0, &used);
  done = true;
  sampler.join();
  r.seconds = Seconds(start);
  r.maxRssKiB = used.ru_maxrss;
  r.cpuSeconds = double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                 double(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

void FleetApply16(benchmark::State& state) {
  const std::string bin = UPDATER_BINARY_DIR;
  char tmpl[] = "/tmp/bench-fleet.XXXXXX";
  const std::string work = mkdtemp(tmpl);
  setenv("HOME", work.c_str(), 1);
  const std::string store = work + "/.corvane/updater";
  std::vector<uint32_t> serials;
  std::string bus;
  for (int i = 0; i < kModules; ++i) {
    uint32_t s = 0x40F58400u + uint32_t(i);
    serials.push_back(s);
    bus +=
        (bus.empty() ? "" : ",") + Hex8(s) + ":19:build=1180:state=" + work + "/state-" + Hex8(s);
    // Build 1300 in the module's store entry, for both sides.
    std::string entry = store + "/" + Hex8(s);
    std::system(("mkdir -p '" + entry + "'").c_str());
    std::string error;
    if (!benchsupport::WriteMorletImage(entry + "/1300.bird", 1300, "2.16.0", s,
                                        std::vector<uint8_t>(kImageBytes, 0x5A), 64, &error))
      state.SkipWithError(error.c_str());
  }
  setenv("LD_PRELOAD", (bin + "/sim/usb/libvelmarine_usb_sim.so").c_str(), 1);
  setenv("VELMARINE_USB_SIM", bus.c_str(), 1);
  const std::string updater = bin + "/src/app/updater", fleet = bin + "/src/fleet/updater-fleet";
  auto reset = [&] {
    for (uint32_t s : serials) unlink((work + "/state-" + Hex8(s)).c_str());
  };
  const std::string noServer = "http://127.0.0.1:1/cgi/u";

  for (auto _ : state) {
    Run discovery = Spawn(updater, {"-D", "-t", "USB"});
    double slowest = 0, sequential = 0, sequentialCpu = 0;
    long singleRss = 0;
    reset();
    for (uint32_t s : serials) {
      Run one = Spawn(updater, {"-u", noServer, "-U", "-d", Hex8(s), "-b", "1300"});
      if (one.status != 0) state.SkipWithError("updater -U failed");
      slowest = std::max(slowest, one.seconds);
      sequential += one.seconds;
      sequentialCpu += one.cpuSeconds;
      singleRss = std::max(singleRss, one.maxRssKiB);
    }
    reset();
    long peak = 0;
    std::string json = work + "/run.json";
    Run apply = Spawn(
        fleet, {"apply", "--transport", "usb", "--build", "1300", "--offline", "--json", json},
        &peak);
    if (apply.status != 0) state.SkipWithError("updater-fleet apply did not update every module");
    // Each worker's peak, from the report.
    std::ifstream in(json);
    std::stringstream text;
    text << in.rdbuf();
    std::string report = text.str();
    long worker = 0;
    std::regex rss("\"worker_max_rss_kib\": ([0-9]+)");
    for (std::sregex_iterator it(report.begin(), report.end(), rss), end; it != end; ++it)
      worker = std::max(worker, atol((*it)[1].str().c_str()));

    const double base = discovery.seconds + slowest;
    // What the cores allow: the transfers are CPU-bound here (every process
    // on the simulated bus simulates its modules itself), so apply can't end
    // before its CPU time, spread over the cores, is spent.
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const double cpuFloor = apply.cpuSeconds / double(cores);
    state.counters["discovery_s"] = discovery.seconds;
    state.counters["slowest_single_s"] = slowest;
    state.counters["apply_s"] = apply.seconds;
    state.counters["apply_over_limit_base"] = apply.seconds / base;  // aim <= 1.5
    state.counters["sequential_loop_s"] = sequential;
    state.counters["speedup_over_loop"] = sequential / apply.seconds;
    state.counters["apply_cpu_s"] = apply.cpuSeconds;
    state.counters["apply_cpu_over_cores_s"] = cpuFloor;
    state.counters["sequential_loop_cpu_s"] = sequentialCpu;
    state.counters["peak_run_MiB"] = double(peak) / 1024;
    state.counters["worker_peak_MiB"] = double(worker) / 1024;
    state.counters["single_update_peak_MiB"] = double(singleRss) / 1024;
    state.counters["worker_over_single"] = singleRss ? double(worker) / double(singleRss) : 0;
    printf(
        "fleet apply of %d modules: %.2f s; discovery %.2f s + slowest updater -U %.2f s = "
        "%.2f s (ratio %.2f, aim <= 1.5); sequential loop %.2f s (%.1fx faster); CPU: apply "
        "%.2f s (%.2f s on %ld cores), the loop's %d updates %.2f s; peak memory of the run "
        "%.1f MiB; worker peak %.1f MiB vs updater -U %.1f MiB\n",
        kModules, apply.seconds, discovery.seconds, slowest, base, apply.seconds / base, sequential,
        sequential / apply.seconds, apply.cpuSeconds, cpuFloor, cores, kModules, sequentialCpu,
        double(peak) / 1024, double(worker) / 1024, double(singleRss) / 1024);
  }
  unsetenv("LD_PRELOAD");
  std::system(("rm -rf '" + work + "'").c_str());
}
BENCHMARK(FleetApply16)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
