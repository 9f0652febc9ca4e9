// The broker measured against a direct link to the same simulated module (in
// a process of its own), in the same run: request round trips (median and
// 99th percentile, and their ratio; aim 1.5 or less at the median), stream
// samples delivered to callbacks with one and with four clients at
// saturation with the drop count, and the CPU an idle broker with two idle
// clients takes over 10 s (aim: under 1% of one core).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <czmq.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Link.h"
#include "SimProcess.h"
#include "SimStream.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vPacketFifo.h"
#include "vServer_ZeroMQ.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchsupport::CpuSeconds;
using benchsupport::Percentile;
using Corvane::Velmarine::Link;

constexpr uint8_t kAddress = 4;
constexpr uint32_t kStreamRate = 100000;  // samples a second the module offers

uint16_t gDirectPort = 0, gSharedPort = 0;

// The module: one TCP endpoint for the direct link, one for the broker's
// link, which also streams.
void ServeModule(velsim::Simulator& sim, const SimProcess::Ready& ready) {
  velsim::ModuleConfig c;
  sim.AddModule(c);
  velsim::SimStream stream(sim, c.serial, c.address);
  velsim::StreamSource source;
  source.command = 7;
  source.option = 2;
  source.index = 1;
  stream.AddSource(source);
  stream.SetRate(kStreamRate);
  uint16_t direct = sim.OpenTcp(c.serial, 0).port;
  velsim::Endpoint shared = sim.OpenTcp(c.serial, 0);
  stream.Attach(shared.id);
  sim.Start();
  stream.Start();
  ready(std::to_string(direct) + " " + std::to_string(shared.port));
}

// A broker on a link of its own to the module.
struct SharedModule {
  uint32_t link = 0;
  vServer* server = nullptr;
  uint16_t port = 0;
  SharedModule() {
    link = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), gSharedPort);
    server = link ? vServer_Create(link, 0, true) : nullptr;
    if (!server) return;
    vLink_RegistrySetServer(link, server);
    if (vServer_Start(server) == vErrNone) vServer_GetPort(server, &port);
  }
  ~SharedModule() { vLink_Destroy(&link); }
};

uint8_t AcceptAll(const vPacket*, const void*) { return 1; }

// Microseconds of one echo request and its reply on the link.
double RoundTrip(uint32_t id, uint8_t n) {
  const uint8_t data[2] = {0x17, n};
  vPacket* p = vPacket_CreateWithData(kAddress, sizeof data, data);
  auto t0 = Clock::now();
  vLink_PutPacket(id, p);
  vPacket* reply = vLink_AwaitFirst(id, AcceptAll, nullptr, 1000);
  double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  vPacket_Destroy(&p);
  if (!reply) return -1;
  vPacket_Destroy(&reply);
  return us;
}

void BM_RoundTripThroughBrokerVersusDirect(benchmark::State& state) {
  uint32_t direct = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), gDirectPort);
  SharedModule shared;
  uint32_t client = vLink_CreateClient(htonl(INADDR_LOOPBACK), shared.port, 0);
  if (!direct || !client) {
    state.SkipWithError("links could not be made");
    return;
  }
  std::vector<double> viaDirect, viaBroker;
  uint8_t n = 0;
  for (auto _ : state) {
    // Alternating, so that both see the same load of the machine.
    double d = RoundTrip(direct, ++n), b = RoundTrip(client, ++n);
    if (d > 0) viaDirect.push_back(d);
    if (b > 0) viaBroker.push_back(b);
  }
  double dm = Percentile(viaDirect, 0.5), bm = Percentile(viaBroker, 0.5);
  state.counters["direct_median_us"] = dm;
  state.counters["direct_p99_us"] = Percentile(viaDirect, 0.99);
  state.counters["broker_median_us"] = bm;
  state.counters["broker_p99_us"] = Percentile(viaBroker, 0.99);
  state.counters["median_ratio"] = dm > 0 ? bm / dm : 0;
  state.counters["lost"] = double(2 * state.iterations() - viaDirect.size() - viaBroker.size());
  vLink_Destroy(&client);
  vLink_Destroy(&direct);
}
BENCHMARK(BM_RoundTripThroughBrokerVersusDirect)->Iterations(3000)->Unit(benchmark::kMicrosecond);

// Half the median round trip of a frame between this thread and an echo
// thread over a pair of sockets: one hand-off between two threads.
double ZmqHandOff(const char* endpoint, int rounds) {
  zsock_t* here = zsock_new(ZMQ_DEALER);
  zsock_t* there = zsock_new(ZMQ_DEALER);
  int port = zsock_bind(there, "%s", endpoint);
  if (strncmp(endpoint, "tcp", 3) == 0)
    zsock_connect(here, "tcp://127.0.0.1:%d", port);
  else
    zsock_connect(here, "%s", endpoint);
  std::thread echo([&] {
    zpoller_t* poller = zpoller_new(there, nullptr);
    for (int i = 0; i < rounds; i++) {
      if (zpoller_wait(poller, 2000) != there) break;
      zframe_t* f = zframe_recv(there);
      zframe_send(&f, there, 0);
    }
    zpoller_destroy(&poller);
  });
  zpoller_t* poller = zpoller_new(here, nullptr);
  std::vector<double> times;
  uint8_t bytes[6] = {kAddress, 4, 0x17, 0, 0, 0};
  for (int i = 0; i < rounds; i++) {
    auto t0 = Clock::now();
    zmq_send(zsock_resolve(here), bytes, sizeof bytes, 0);
    if (zpoller_wait(poller, 2000) != here) break;
    zframe_t* f = zframe_recv(here);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    zframe_destroy(&f);
  }
  zpoller_destroy(&poller);
  echo.join();
  zsock_destroy(&here);
  zsock_destroy(&there);
  return Percentile(times, 0.5) / 2;
}

// The same through two packet queues and a thread that moves packets from
// one to the other.
double QueueHandOff(int rounds) {
  uint64_t to = vPacketFifo_Create(), from = vPacketFifo_Create();
  std::thread echo([&] {
    for (int i = 0; i < rounds; i++) {
      vPacket* p = vPacketFifo_Await(to, 2000);
      if (!p) break;
      vPacketFifo_Put(from, p);
      vPacket_Destroy(&p);
    }
  });
  const uint8_t data[2] = {0x17, 0};
  vPacket* p = vPacket_CreateWithData(kAddress, sizeof data, data);
  std::vector<double> times;
  for (int i = 0; i < rounds; i++) {
    auto t0 = Clock::now();
    vPacketFifo_Put(to, p);
    vPacket* r = vPacketFifo_Await(from, 2000);
    if (!r) break;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    vPacket_Destroy(&r);
  }
  vPacket_Destroy(&p);
  echo.join();
  vPacketFifo_Destroy(&to);
  vPacketFifo_Destroy(&from);
  return Percentile(times, 0.5) / 2;
}

// Microseconds of one echo request sent straight to the broker's frontend
// by a socket of this thread: the broker's part of a round trip.
double FrontendRoundTrip(zsock_t* dealer, zpoller_t* poller, uint8_t n) {
  const uint8_t bytes[4] = {kAddress, 2, 0x17, n};
  auto t0 = Clock::now();
  zmq_send(zsock_resolve(dealer), bytes, sizeof bytes, 0);
  if (zpoller_wait(poller, 1000) != dealer) return -1;
  zframe_t* f = zframe_recv(dealer);
  double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  zframe_destroy(&f);
  return us;
}

// A request's way through the broker hop by hop, and the broker against a
// direct link, 2000 round trips each, alternating, in the same run. The
// hand-offs of a request and its reply through a client of this process:
//   caller -> client link's writer (queue); writer -> client thread (socket
//   pair); client thread -> broker thread (frontend); broker thread -> sync
//   thread (socket pair); sync thread -> shared link's writer (queue);
//   [module]; shared link's reader -> sync thread (queue); sync thread ->
//   broker thread; broker thread -> client thread; client thread -> client
//   link's reader; reader -> caller (queue).
// A direct link has three of them: caller -> writer, [module], reader ->
// caller. A client in another process adds the socket library's I/O threads
// on both sides (four more hand-offs) instead of the in-process frontend.
void BM_HandOffsOfABrokerRequest(benchmark::State& state) {
  const int rounds = 2000;
  uint32_t direct = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), gDirectPort);
  SharedModule shared;
  uint32_t client = vLink_CreateClient(htonl(INADDR_LOOPBACK), shared.port, 0);
  zsock_t* inproc = zsock_new(ZMQ_DEALER);
  zsock_t* tcp = zsock_new(ZMQ_DEALER);
  char local[64] = "";
  if (!direct || !client || !inproc || !tcp ||
      !vServer_LocalEndpoint(htonl(INADDR_LOOPBACK), shared.port, local, sizeof local) ||
      zsock_connect(inproc, "%s", local) != 0 ||
      zsock_connect(tcp, "tcp://127.0.0.1:%u", unsigned(shared.port)) != 0) {
    state.SkipWithError("links could not be made");
    return;
  }
  zpoller_t* inprocPoller = zpoller_new(inproc, nullptr);
  zpoller_t* tcpPoller = zpoller_new(tcp, nullptr);
  std::vector<double> viaDirect, viaBroker, viaFrontend, viaFrontendTcp;
  for (auto _ : state) {
    uint8_t n = 0;
    for (int i = 0; i < rounds; i++) {
      double d = RoundTrip(direct, ++n), b = RoundTrip(client, ++n);
      double f = FrontendRoundTrip(inproc, inprocPoller, ++n);
      double t = FrontendRoundTrip(tcp, tcpPoller, ++n);
      if (d > 0) viaDirect.push_back(d);
      if (b > 0) viaBroker.push_back(b);
      if (f > 0) viaFrontend.push_back(f);
      if (t > 0) viaFrontendTcp.push_back(t);
    }
  }
  const double queue = QueueHandOff(rounds), pair = ZmqHandOff("inproc://bench-hop", rounds),
               overTcp = ZmqHandOff("tcp://127.0.0.1:*", rounds);
  const double dm = Percentile(viaDirect, 0.5), bm = Percentile(viaBroker, 0.5),
               fm = Percentile(viaFrontend, 0.5), tm = Percentile(viaFrontendTcp, 0.5);
  state.counters["direct_median_us"] = dm;
  state.counters["broker_median_us"] = bm;
  state.counters["median_ratio"] = dm > 0 ? bm / dm : 0;
  state.counters["hop_queue_us"] = queue;
  state.counters["hop_socket_pair_us"] = pair;
  state.counters["hop_zmq_tcp_us"] = overTcp;
  // The broker's part (frontend to frontend) and the client's (the rest).
  state.counters["broker_part_us"] = fm;
  state.counters["client_part_us"] = bm - fm;
  state.counters["broker_part_over_tcp_us"] = tm;
  printf(
      "\nHand-offs of one request (medians of %d, microseconds)\n"
      "  one hand-off through a packet queue      %8.1f\n"
      "  one hand-off through an in-process pair  %8.1f\n"
      "  one hand-off over ZeroMQ TCP (loopback)  %8.1f\n"
      "  direct link round trip                   %8.1f\n"
      "  frontend round trip, in process          %8.1f  (broker, sync, shared link, module)\n"
      "  frontend round trip, over TCP            %8.1f\n"
      "  client link round trip through broker    %8.1f  (client part %.1f)\n"
      "  broker / direct                          %8.2f\n",
      rounds, queue, pair, overTcp, dm, fm, tm, bm, bm - fm, dm > 0 ? bm / dm : 0);
  zpoller_destroy(&inprocPoller);
  zpoller_destroy(&tcpPoller);
  zsock_destroy(&inproc);
  zsock_destroy(&tcp);
  vLink_Destroy(&client);
  vLink_Destroy(&direct);
}
BENCHMARK(BM_HandOffsOfABrokerRequest)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_StreamSamplesToCallbacks(benchmark::State& state) {
  const int clients = int(state.range(0));
  SharedModule shared;
  std::vector<std::unique_ptr<Link>> links;
  std::vector<std::unique_ptr<std::atomic<uint64_t>>> counts;
  for (int i = 0; i < clients; i++) {
    linkSpec spec{};
    spec.type = linkTypeVMesh;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = shared.port;
    links.emplace_back(new Link(spec, "bench"));
    counts.emplace_back(new std::atomic<uint64_t>(0));
    if (links.back()->connect() != vErrNone) {
      state.SkipWithError("client could not connect");
      return;
    }
  }
  for (int i = 0; i < clients; i++) {
    std::atomic<uint64_t>* count = counts[i].get();
    vErr err = links[i]->registerStreamCallback(
        kAddress, 7, 0xFF, 1, true,
        [count](const vPacket*, void*) -> uint8_t {
          ++*count;
          return 0;
        },
        nullptr);
    if (err != vErrNone) {
      state.SkipWithError("subscription refused");
      return;
    }
  }
  double seconds = 0;
  for (auto _ : state) {
    for (auto& c : counts) *c = 0;
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
  }
  uint64_t delivered = 0, dropped = 0;
  for (int i = 0; i < clients; i++) {
    delivered += *counts[i];
    dropped += links[i]->getStreamDropCount();
  }
  // One iteration: the counts cover exactly the measured seconds.
  state.counters["samples_per_s_per_client"] =
      seconds > 0 ? double(delivered) / double(clients) / seconds : 0;
  state.counters["offered_per_s"] = kStreamRate;
  state.counters["dropped_callbacks"] = double(dropped);
  for (auto& l : links) l->enableStream(kAddress, 7, 0xFF, 1, false);
}
BENCHMARK(BM_StreamSamplesToCallbacks)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleBrokerWithTwoClients(benchmark::State& state) {
  SharedModule shared;
  uint32_t a = vLink_CreateClient(htonl(INADDR_LOOPBACK), shared.port, 0);
  uint32_t b = vLink_CreateClient(htonl(INADDR_LOOPBACK), shared.port, 0);
  double share = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle
    double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    share = (CpuSeconds() - cpu0) / wall;
  }
  state.counters["cpu_percent_of_one_core"] = share * 100;
  vLink_Destroy(&a);
  vLink_Destroy(&b);
}
BENCHMARK(BM_IdleBrokerWithTwoClients)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  SimProcess sim(ServeModule);
  if (sscanf(sim.text().c_str(), "%hu %hu", &gDirectPort, &gSharedPort) != 2) {
    fprintf(stderr, "the simulator did not start\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
