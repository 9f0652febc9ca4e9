// Packet queue speed: puts and gets per second on one thread and between a
// producer and a consumer thread, and the filter calls AwaitFirst makes per
// arriving packet while it waits for a match among other traffic (must be 1).
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "vPacketFifo.h"

namespace {

vPacket* Sample(uint8_t tag) {
  uint8_t data[7] = {3, 0x08, 0x41, tag, 0, 0, 0};
  return vPacket_CreateWithData(4, 7, data);
}

void BM_PutGet(benchmark::State& state) {
  uint64_t q = vPacketFifo_Create();
  vPacket* p = Sample(1);
  for (auto _ : state) {
    vPacketFifo_Put(q, p);
    vPacket* got = vPacketFifo_Get(q);
    benchmark::DoNotOptimize(got);
    vPacket_Destroy(&got);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["put_get_pairs_per_s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  vPacket_Destroy(&p);
  vPacketFifo_Destroy(&q);
}
BENCHMARK(BM_PutGet);

// A burst of 500 puts, then 500 gets.
void BM_BurstThenDrain(benchmark::State& state) {
  uint64_t q = vPacketFifo_Create();
  vPacket* p = Sample(1);
  for (auto _ : state) {
    for (int i = 0; i < 500; i++) vPacketFifo_Put(q, p);
    for (int i = 0; i < 500; i++) {
      vPacket* got = vPacketFifo_Get(q);
      vPacket_Destroy(&got);
    }
  }
  state.counters["puts_per_s"] =
      benchmark::Counter(500.0 * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["gets_per_s"] =
      benchmark::Counter(500.0 * double(state.iterations()), benchmark::Counter::kIsRate);
  vPacket_Destroy(&p);
  vPacketFifo_Destroy(&q);
}
BENCHMARK(BM_BurstThenDrain);

// One producer thread, the benchmark thread awaiting each packet.
void BM_ProducerConsumer(benchmark::State& state) {
  uint64_t q = vPacketFifo_Create();
  std::atomic<bool> run{true};
  std::thread producer([&] {
    vPacket* p = Sample(1);
    while (run) {
      if (vPacketFifo_GetLength(q) < 200) {
        vPacketFifo_Put(q, p);
      } else {
        std::this_thread::yield();
      }
    }
    vPacket_Destroy(&p);
  });
  int64_t got = 0;
  for (auto _ : state) {
    vPacket* p = vPacketFifo_Await(q, 1000);
    if (p) got++;
    vPacket_Destroy(&p);
  }
  run = false;
  producer.join();
  state.counters["gets_per_s"] = benchmark::Counter(double(got), benchmark::Counter::kIsRate);
  vPacketFifo_Destroy(&q);
}
BENCHMARK(BM_ProducerConsumer)->UseRealTime();

struct Wanted {
  uint8_t tag;
  std::atomic<int64_t> calls{0};
};

uint8_t CountingFilter(const vPacket* packet, const void* ref) {
  auto* wanted = static_cast<Wanted*>(const_cast<void*>(ref));
  wanted->calls++;
  return packet->data[3] == wanted->tag;
}

// A caller waits for one reply while a stream of 200 samples arrives, one by
// one, ahead of it; 50 samples are already queued when it starts.
void BM_AwaitFirstAmongSamples(benchmark::State& state) {
  const int kQueued = 50;
  const int kArriving = 200;
  int64_t calls = 0;
  int64_t packets = 0;
  for (auto _ : state) {
    uint64_t q = vPacketFifo_Create();
    vPacket* sample = Sample(1);
    for (int i = 0; i < kQueued; i++) vPacketFifo_Put(q, sample);
    Wanted wanted;
    wanted.tag = 2;
    std::thread producer([&] {
      for (int i = 0; i < kArriving; i++) vPacketFifo_Put(q, sample);
      vPacket* reply = Sample(2);
      vPacketFifo_Put(q, reply);
      vPacket_Destroy(&reply);
    });
    vPacket* found = vPacketFifo_AwaitFirst(q, CountingFilter, &wanted, 5000);
    producer.join();
    if (!found) state.SkipWithError("the reply was not found");
    vPacket_Destroy(&found);
    vPacket_Destroy(&sample);
    vPacketFifo_Destroy(&q);
    calls += wanted.calls;
    packets += kQueued + kArriving + 1;
  }
  state.counters["filter_calls_per_packet"] = double(calls) / double(packets ? packets : 1);
}
BENCHMARK(BM_AwaitFirstAmongSamples)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
