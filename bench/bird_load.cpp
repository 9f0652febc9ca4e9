// Loading a BIRD image with 4 MiB of content, against the limit of a bare
// zlib uncompress of the same bytes into a ready buffer, and the resident
// memory a load adds at its peak relative to the file's size.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"

namespace {

constexpr size_t kContent = 4u << 20;

// Firmware-like bytes: words drawn from a small vocabulary compress about as
// well as machine code does.
std::vector<uint8_t> FirmwareBytes(size_t n) {
  std::mt19937 rng(7);
  std::vector<uint32_t> words(1024);
  for (auto& w : words) w = rng();
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint32_t w = words[rng() % words.size()];
    memcpy(&out[i], &w, 4);
  }
  return out;
}

struct Fixture {
  std::string path;
  std::vector<uint8_t> file;
  size_t contentSize = 0;
  Fixture() {
    // A fixed threshold keeps large buffers in their own mappings, as in the
    // updater's single load per process, instead of reusing a grown heap.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    char dir[] = "/tmp/bird_load.XXXXXX";
    if (!mkdtemp(dir)) abort();
    path = std::string(dir) + "/image.bird";
    bird::BirdWriter w;
    w.Info(1, "1.0.0", 0, "Torvik");
    // Payload sized so the whole content is exactly 4 MiB.
    size_t overhead = 4 + (5 + 64) + (5 + 4) + 4;
    w.Firmware(0, FirmwareBytes(kContent - overhead));
    std::string error;
    std::vector<uint8_t> content;
    if (!w.Content(&content, &error) || !w.Build(&file, &error) || !w.Write(path, &error)) {
      fprintf(stderr, "bird_load: %s\n", error.c_str());
      abort();
    }
    contentSize = content.size();
  }
  ~Fixture() {
    unlink(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
  }
};

Fixture& Image() {
  static Fixture f;
  return f;
}

long StatusKiB(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f))
    if (!strncmp(line, field, n)) value = atol(line + n);
  fclose(f);
  return value;
}

// Each iteration times one load and one bare uncompress, alternately, so both
// see the same machine; the reported time is the load's.
void BM_BirdLoad4MiB(benchmark::State& state) {
  Fixture& img = Image();
  std::vector<uint8_t> out(img.contentSize);
  double loadSeconds = 0, bareSeconds = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    uLongf outLength = uLongf(out.size());
    int z = uncompress(out.data(), &outLength, img.file.data() + 6, uLong(img.file.size() - 6));
    auto t1 = std::chrono::steady_clock::now();
    if (z != Z_OK || outLength != img.contentSize) state.SkipWithError("uncompress failed");

    auto t2 = std::chrono::steady_clock::now();
    {
      BirdFile b(img.path.c_str());
      benchmark::DoNotOptimize(b.blocks.data());
    }
    auto t3 = std::chrono::steady_clock::now();
    bareSeconds += std::chrono::duration<double>(t1 - t0).count();
    double load = std::chrono::duration<double>(t3 - t2).count();
    loadSeconds += load;
    state.SetIterationTime(load);
  }
  // Resident memory a load adds at its peak (the high-water mark is reset first).
  malloc_trim(0);
  long rssBefore = StatusKiB("VmRSS:");
  FILE* clear = fopen("/proc/self/clear_refs", "w");
  bool reset = clear && fputs("5", clear) >= 0;
  if (clear) fclose(clear);
  { BirdFile b(img.path.c_str()); }
  long hwm = StatusKiB("VmHWM:");

  double fileSize = double(img.file.size());
  state.counters["file_bytes"] = fileSize;
  state.counters["content_bytes"] = double(img.contentSize);
  state.counters["ratio_to_uncompress"] = loadSeconds / bareSeconds;
  state.counters["ratio_limit"] = 1.2;
  if (reset && rssBefore >= 0 && hwm >= rssBefore)
    state.counters["peak_rss_per_file_byte"] = double(hwm - rssBefore) * 1024.0 / fileSize;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(img.contentSize));
}
BENCHMARK(BM_BirdLoad4MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
