// UEI get round trip through the link engine to a simulated module over TCP
// loopback, set against a bare TCP ping-pong of 30-byte messages between two
// processes measured in the same run: medians, 99th percentiles and ratios.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "SimProcess.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vPacket.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchsupport::Percentile;

pid_t gEchoPid = -1;
uint16_t gSimPort = 0, gEchoPort = 0;

int ListenLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) || listen(fd, 1) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len))
    return -1;
  *port = ntohs(sa.sin_port);
  return fd;
}

// A second process that echoes every 30-byte message it receives.
void StartEcho() {
  int lfd = ListenLoopback(&gEchoPort);
  gEchoPid = fork();
  if (gEchoPid == 0) {
    // One connection after the other, each echoed until its end.
    for (;;) {
      int fd = accept(lfd, nullptr, nullptr);
      if (fd < 0) _exit(0);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      char buf[30];
      for (bool open = true; open;) {
        size_t got = 0;
        while (open && got < sizeof buf) {
          ssize_t n = read(fd, buf + got, sizeof buf - got);
          if (n <= 0) open = false;
          got += n > 0 ? size_t(n) : 0;
        }
        if (open && write(fd, buf, sizeof buf) != ssize_t(sizeof buf)) open = false;
      }
      close(fd);
    }
  }
  close(lfd);
}

// The module with one TCP endpoint.
void ServeModule(velsim::Simulator& sim, const SimProcess::Ready& ready) {
  velsim::ModuleConfig c;
  sim.AddModule(c);
  uint16_t port = sim.OpenTcp(c.serial, 0).port;
  sim.Start();
  ready(std::to_string(port));
}

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Writes the message and reads back exactly n bytes; the time taken in microseconds.
double Exchange(int fd, const uint8_t* msg, size_t size, size_t n) {
  uint8_t back[64];
  auto t0 = Clock::now();
  if (write(fd, msg, size) != ssize_t(size)) return -1;
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, back + got, n - got);
    if (r <= 0) return -1;
    got += size_t(r);
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

uint8_t SerialReply(const vPacket* p, const void*) {
  return p->address == 4 && p->length == 7 && p->data[0] == 3 && p->data[1] == 9 && p->data[2] == 0;
}

// Each iteration runs one of each exchange back to back, so that all three see
// the same load on a shared machine and their ratios stay meaningful:
//   ping: 30 bytes to a second process and back (the limit);
//   sim:  a UEI get written on a bare socket to the simulator (its own share);
//   link: a UEI get through the link engine (put, writer, socket, reader, queue, await).
void BM_UEIGetRoundTrip(benchmark::State& state) {
  int ping = ConnectLoopback(gEchoPort), raw = ConnectLoopback(gSimPort);
  uint32_t id = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), gSimPort);
  if (ping < 0 || raw < 0 || !id || vLink_Sync(id) != vErrNone) {
    state.SkipWithError("cannot reach the echo process or the simulator");
    if (id) vLink_Destroy(&id);
    return;
  }
  const uint8_t pingMsg[30] = {0x04, 28};
  const uint8_t rawGet[5] = {4, 3, 3, 0x40 | 9, 0x20};
  const uint8_t get[3] = {3, 0x40 | 9, 0x20};
  vPacket* request = vPacket_CreateWithData(4, 3, get);
  std::vector<double> pingUs, simUs, linkUs;
  int lost = 0;
  for (auto _ : state) {
    pingUs.push_back(Exchange(ping, pingMsg, sizeof pingMsg, sizeof pingMsg));
    simUs.push_back(Exchange(raw, rawGet, sizeof rawGet, 9));
    auto t0 = Clock::now();
    vLink_PutPacket(id, request);
    vPacket* reply = vLink_AwaitFirst(id, SerialReply, nullptr, 1000);
    linkUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (reply)
      vPacket_Destroy(&reply);
    else
      ++lost;
  }
  vPacket_Destroy(&request);
  vLink_Destroy(&id);
  close(ping);
  close(raw);
  const double pm = Percentile(pingUs, 0.5), pp = Percentile(pingUs, 0.99);
  const double sm = Percentile(simUs, 0.5);
  const double lm = Percentile(linkUs, 0.5), lp = Percentile(linkUs, 0.99);
  state.counters["ping_median_us"] = pm;
  state.counters["ping_p99_us"] = pp;
  state.counters["sim_median_us"] = sm;
  state.counters["uei_median_us"] = lm;
  state.counters["uei_p99_us"] = lp;
  state.counters["ratio_median"] = lm / pm;
  state.counters["ratio_p99"] = lp / pp;
  state.counters["lost"] = lost;
  printf(
      "UEI get round trip: median %.1f us, p99 %.1f us. TCP ping-pong of 30 bytes between two "
      "processes: median %.1f us, p99 %.1f us. Ratio: median %.2f, p99 %.2f (aim: 2 or less). "
      "Simulator alone: median %.1f us.\n",
      lm, lp, pm, pp, lm / pm, lp / pp, sm);
}

// Five repetitions: on a shared machine their median ratio is the figure to read.
BENCHMARK(BM_UEIGetRoundTrip)
    ->Iterations(5000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Both helper processes are forked before any thread exists; the
  // simulator's is ended by its object.
  StartEcho();
  SimProcess sim(ServeModule);
  gSimPort = uint16_t(atoi(sim.text().c_str()));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gEchoPid > 0) {
    kill(gEchoPid, SIGKILL);
    waitpid(gEchoPid, nullptr, 0);
  }
  return 0;
}
