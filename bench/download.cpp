// Download of a 16 MiB build from the self-hosted update server: throughput
// and peak resident memory of the whole `updater -G` process, against the
// same transfer done bare in this process (the limit measured in the same
// run), and the whole-process time of `updater -B`. Memory aim: peak under
// 3 x the build size + 20 MiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "HTTPRequest.h"

namespace {

constexpr size_t kBuildBytes = size_t(16) << 20;
const char kSerial[] = "40F5849A";

std::string gDir, gUrl;
pid_t gServer = -1;
size_t gBirdBytes = 0;
double gBareSeconds = 0;  // mean time of the bare transfer, measured first

std::string Bin(const std::string& relative) {
  return std::string(UPDATER_BINARY_DIR) + "/" + relative;
}

// Runs a program to its end; gives its exit status, wall time and peak RSS.
int RunProgram(const std::vector<std::string>& args, const std::string& home, double* seconds,
               long* maxRssKiB) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  if (seconds)
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (maxRssKiB) *maxRssKiB = ru.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool Setup() {
  char tmpl[] = "/tmp/bench-download.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  gDir = tmpl;
  mkdir((gDir + "/tree").c_str(), 0755);
  mkdir((gDir + "/tree/" + kSerial).c_str(), 0755);
  // Random firmware bytes: the BIRD file stays about as large as the build.
  std::vector<char> payload(kBuildBytes);
  std::mt19937_64 random(42);
  for (size_t i = 0; i + 8 <= payload.size(); i += 8) {
    uint64_t v = random();
    memcpy(&payload[i], &v, 8);
  }
  std::ofstream(gDir + "/payload.bin", std::ios::binary).write(payload.data(), payload.size());
  std::ofstream(gDir + "/manifest.txt")
      << "[info]\nbuild = 100\nversion = 1.2.3\nserial = " << kSerial
      << "\nmodel = HUB\n[firmware]\naddress = 0\n"
      << "file = payload.bin\n";
  std::string bird = gDir + "/tree/" + kSerial + "/100.bird";
  if (RunProgram({Bin("tools/birdfile/birdfile"), "pack", gDir + "/manifest.txt", bird}, "", nullptr,
                 nullptr) != 0)
    return false;
  struct stat st;
  if (stat(bird.c_str(), &st) != 0) return false;
  gBirdBytes = size_t(st.st_size);

  int out[2];
  if (pipe(out)) return false;
  gServer = fork();
  if (gServer == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(Bin("sim/update-server/update-server").c_str(), "update-server", "--root",
          (gDir + "/tree").c_str(), "--quiet", nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  if (line.rfind("listening ", 0) != 0) return false;
  gUrl = line.substr(strlen("listening "));
  // One warm-up request: the server reads the build's version once and caches it.
  try {
    HTTPRequest::GET(gUrl.c_str(), {{"op", "qu"}, {"sn", kSerial}});
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void Teardown() {
  if (gServer > 0) {
    kill(gServer, SIGTERM);
    waitpid(gServer, nullptr, 0);
  }
  if (!gDir.empty()) std::system(("rm -rf '" + gDir + "'").c_str());
}

void UpdaterDownload(benchmark::State& state) {
  long peak = 0;
  int failures = 0;
  double total = 0;
  for (auto _ : state) {
    std::system(("rm -rf '" + gDir + "/home'").c_str());
    mkdir((gDir + "/home").c_str(), 0755);
    double seconds = 0;
    long rss = 0;
    if (RunProgram({Bin("src/app/updater"), "-u", gUrl, "-G", "-d", kSerial}, gDir + "/home",
                   &seconds, &rss) != 0)
      ++failures;
    peak = std::max(peak, rss);
    total += seconds;
    state.SetIterationTime(seconds);
  }
  double peakMiB = double(peak) / 1024.0;
  double limitMiB = 3.0 * double(kBuildBytes) / (1 << 20) + 20.0;
  state.counters["failures"] = failures;
  state.counters["build_MiB"] = double(gBirdBytes) / (1 << 20);
  state.counters["peak_rss_MiB"] = peakMiB;
  state.counters["rss_ratio_to_limit"] = peakMiB / limitMiB;  // aim: below 1
  // Whole process (start, ping, query, list check, download, decode, write)
  // against the bare transfer of the same reply.
  if (gBareSeconds > 0)
    state.counters["time_ratio_to_bare"] = total / double(state.iterations()) / gBareSeconds;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(gBirdBytes));
}

// The same "bird" reply fetched bare in this process: the transport's own speed.
void BareTransfer(benchmark::State& state) {
  size_t bytes = 0;
  double total = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    HTTPResponse r = HTTPRequest::GET(
        gUrl.c_str(),
        {{"op", "bird"}, {"sn", kSerial}, {"bld", "100"}, {"fw", "1.2.3"}, {"no_cal", "false"}});
    bytes = r.get_length();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    total += seconds;
    state.SetIterationTime(seconds);
  }
  gBareSeconds = total / double(state.iterations());
  state.counters["reply_MiB"] = double(bytes) / (1 << 20);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(gBirdBytes));
}

void UpdaterListBuilds(benchmark::State& state) {
  int failures = 0;
  for (auto _ : state) {
    double seconds = 0;
    if (RunProgram({Bin("src/app/updater"), "-u", gUrl, "-B", "-d", kSerial}, gDir + "/home",
                   &seconds, nullptr) != 0)
      ++failures;
    state.SetIterationTime(seconds);
  }
  state.counters["failures"] = failures;
}

BENCHMARK(BareTransfer)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(UpdaterDownload)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(UpdaterListBuilds)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Setup()) {
    fprintf(stderr, "bench_download: could not prepare the build and the update server\n");
    Teardown();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Teardown();
  return 0;
}
