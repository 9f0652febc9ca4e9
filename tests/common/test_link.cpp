// The link engine with its threads running, against a peer the test plays
// over a socket pair, a TCP listener or a pseudo-terminal: lifecycle, route
// commands, synchronisation, heartbeats, use counts, the packet log, read
// errors, and callers racing a teardown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Await.h"
#include "LinkTestSupport.h"
#include "vLink.h"
#include "vLinkPipe.h"

using linktest::Pair;

namespace {

const std::vector<uint8_t> kRouteOn = {0xAF, 0x01, 0x01};
const std::vector<uint8_t> kRouteOff = {0xAF, 0x01, 0x00};

std::vector<uint8_t> Wire(vPacket* p) {
  std::vector<uint8_t> w;
  if (!p) return w;
  w = {p->address, p->length};
  w.insert(w.end(), p->data, p->data + p->length);
  vPacket_Destroy(&p);
  return w;
}

vErr Put(uint32_t id, std::vector<uint8_t> wire) {
  vPacket* p = vPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
  vErr err = vLink_PutPacket(id, p);
  vPacket_Destroy(&p);
  return err;
}

uint8_t MatchAddress(const vPacket* p, const void* ref) {
  return p->address == *static_cast<const uint8_t*>(ref);
}

TEST(Link, RunsOverACallersStreamAndReleasesTheRouteAtStop) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  EXPECT_EQ(vLink_RegistryGetUseCount(id), 1);
  EXPECT_EQ(pair.Receive(3), kRouteOn);

  // Packets both ways; a heartbeat is answered on the wire and not queued.
  pair.Send({0x04, 0x02, 0x00, 0x00, 0x04, 0x01, 0x33});
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)), (std::vector<uint8_t>{0x04, 0x01, 0x33}));
  EXPECT_EQ(pair.Receive(4), (std::vector<uint8_t>{0x04, 0x02, 0x00, 0x02}));
  EXPECT_EQ(Put(id, {0x04, 0x03, 0x03, 0x48, 0x20}), vErrNone);
  EXPECT_EQ(pair.Receive(5), (std::vector<uint8_t>{0x04, 0x03, 0x03, 0x48, 0x20}));

  // Filtered waits among other traffic.
  pair.Send({0x06, 0x00, 0x08, 0x01, 0x01});
  uint8_t want = 0x08;
  EXPECT_EQ(Wire(vLink_AwaitFirst(id, MatchAddress, &want, 3000)),
            (std::vector<uint8_t>{0x08, 0x01, 0x01}));
  EXPECT_EQ(Wire(vLink_GetPacket(id)), (std::vector<uint8_t>{0x06, 0x00}));

  // An idle link still writes the route release when it goes.
  // The window is the test: the reader sits out a whole idle wait (100 ms) first.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(vLink_Destroy(&id), vErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(pair.Receive(3), kRouteOff);
}

TEST(Link, UnregisteredIdsAreHarmless) {
  uint32_t id = 0x7FFFFFF0;
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkNoStream));
  EXPECT_EQ(vLink_Destroy(&id), vErrParam);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(vLink_Destroy(nullptr), vErrParam);
  uint32_t gone = 0x7FFFFFF1;
  EXPECT_EQ(vLink_ForceRoute(gone, 1), vErrNotFound);
  EXPECT_EQ(vLink_PutPacket(gone, nullptr), vErrParam);
  EXPECT_EQ(vLink_GetPacket(gone), nullptr);
  EXPECT_EQ(vLink_AwaitPacket(gone, 10), nullptr);
  EXPECT_EQ(vLink_DrainPackets(gone, MatchAddress, nullptr), 0u);
  EXPECT_EQ(vLink_InstallUserPacketFilter(gone, nullptr, nullptr), vErrParam);
  EXPECT_EQ(vLink_Start(gone), vErrParam);
  EXPECT_EQ(vLink_Sync(gone), vErrParam);
  EXPECT_EQ(vLink_Reset(gone), vErrParam);
  EXPECT_EQ(vLink_Stop(nullptr), vErrParam);
  EXPECT_EQ(vLink_PacketDebug_Enable(gone), vErrParam);
}

// Answers every probe with a zero-length packet from `address`, like a module.
class ProbeAnswerer {
 public:
  ProbeAnswerer(Pair& pair, uint8_t address) : pair_(pair), address_(address) {
    thread_ = std::thread([this] {
      while (running_) {
        std::vector<uint8_t> got = pair_.Receive(2, 20);
        if (got == std::vector<uint8_t>{0xAD, 0x00}) pair_.Send({address_, 0x00});
      }
    });
  }
  ~ProbeAnswerer() {
    running_ = false;
    thread_.join();
  }

 private:
  Pair& pair_;
  uint8_t address_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

TEST(Link, SyncLearnsTheModuleAndDrainsTheSurplusAnswers) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  {
    ProbeAnswerer module(pair, 0x0A);
    EXPECT_EQ(vLink_Sync(id), vErrNone);
  }
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  EXPECT_EQ(vLink_GetRecord(id)->syncAddress, 0x0A);
  EXPECT_EQ(vLink_GetPacket(id), nullptr);
  vLink_Destroy(&id);
}

TEST(Link, SyncWithASilentModuleTimesOutAndKeepsProbing) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  EXPECT_EQ(pair.Receive(3), kRouteOn);
  EXPECT_EQ(vLink_Sync(id), vErrNotReady);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkSyncing));
  // Probes keep coming while the module stays silent, paced, not flooding.
  std::vector<uint8_t> seen = pair.Drain(400);
  size_t probes = 0;
  for (size_t i = 0; i + 1 < seen.size(); i += 2) probes += seen[i] == 0xAD;
  EXPECT_GE(probes, 6u);
  EXPECT_LT(probes, 1000u);  // a flood would be many thousands, however loaded the machine
  // A link that is not synchronised gives nothing to filtered waits.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vLink_AwaitFirst(id, MatchAddress, nullptr, 2000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  vLink_Destroy(&id);
}

// A stop while a sync waits for a silent module ends the sync at once, and
// the route release still goes out.
TEST(Link, StopWhileASyncWaitsEndsTheSync) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  EXPECT_EQ(pair.Receive(3), kRouteOn);
  vErr synced = vErrNone;
  auto start = std::chrono::steady_clock::now();
  std::thread sync([&] { synced = vLink_Sync(id); });
  EXPECT_EQ(pair.Receive(2), (std::vector<uint8_t>{0xAD, 0x00}));  // the sync's first probe
  uint32_t last = id;
  EXPECT_EQ(vLink_Destroy(&last), vErrNone);
  sync.join();
  EXPECT_EQ(synced, vErrNotReady);
  // Well before the sync's own 2 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  // (Probes the reader queued as the stop came may follow it.)
  std::vector<uint8_t> seen = pair.Drain(200);
  const uint8_t release[] = {0xAF, 1, 0};
  EXPECT_NE(std::search(seen.begin(), seen.end(), release, release + 3), seen.end());
}

// A pair stream whose reads fail while `broken` is set.
struct Breakable {
  static std::atomic<bool> broken;
  static vErr Get(uint8_t* byte, void* ref) {
    if (broken) return vErrIO;
    return linktest::PairStream::Get(byte, ref);
  }
};
std::atomic<bool> Breakable::broken{false};

TEST(Link, ReadErrorsReportStatus6AndPauseTheReader) {
  Pair pair;
  vStream* s = pair.Stream();
  s->getProc = Breakable::Get;
  Breakable::broken = false;
  uint32_t id = vLink_Create(s);
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  Breakable::broken = true;
  for (int i = 0; i < 100 && vLink_GetStatus(id) != kLinkIOError; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkIOError));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vLink_AwaitFirst(id, MatchAddress, nullptr, 3000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

  // Once the stream recovers, a handshake makes the link usable again.
  Breakable::broken = false;
  {
    ProbeAnswerer module(pair, 0x04);
    EXPECT_EQ(vLink_Sync(id), vErrNone);
  }
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  vLink_Destroy(&id);
}

uint8_t Swallow(const vPacket*, const void* ref) {
  ++*static_cast<std::atomic<int>*>(const_cast<void*>(ref));
  return 1;
}

TEST(Link, UserFilterSeesPacketsFirst) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  std::atomic<int> seen{0};
  EXPECT_EQ(vLink_InstallUserPacketFilter(id, Swallow, &seen), vErrNone);
  pair.Send({0x04, 0x01, 0x01, 0x04, 0x02, 0x00, 0x00});
  for (int i = 0; i < 200 && seen < 2; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(seen.load(), 2);
  EXPECT_EQ(vLink_AwaitPacket(id, 50), nullptr);
  EXPECT_TRUE(pair.Drain(100).empty());  // the heartbeat went unanswered
  EXPECT_EQ(vLink_InstallUserPacketFilter(id, nullptr, nullptr), vErrNone);
  pair.Send({0x04, 0x01, 0x02});
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)), (std::vector<uint8_t>{0x04, 0x01, 0x02}));
  vLink_Destroy(&id);
}

TEST(Link, PacketLogRecordsTrafficAndKeepsItsSizeRules) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  // The writer records a packet before it writes it: the route command that
  // arrived has passed the log, which was off then.
  pair.Receive(3);
  uint8_t type = 0, length = 30, buffer[30];
  EXPECT_EQ(vLink_PacketDebug_Read(id, &type, &length, buffer), vErrNotReady);
  EXPECT_EQ(vLink_PacketDebug_Disable(id), vErrNotReady);
  EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, 0x4000001), vErrParam);
  EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, -5), vErrNone);
  EXPECT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
  EXPECT_EQ(vLink_GetRecord(id)->log.load()->size, 65536u);
  EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, 100), vErrBusy);

  pair.Send({0x04, 0x01, 0x07});
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)).size(), 3u);
  EXPECT_EQ(Put(id, {0x04, 0x00}), vErrNone);
  pair.Receive(2);  // recorded before it was written
  EXPECT_EQ(vLink_PacketDebug_Write(id, vPacketLogText, 2, reinterpret_cast<const uint8_t*>("hi")),
            vErrNone);
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> records;
  for (;;) {
    length = 30;
    if (vLink_PacketDebug_Read(id, &type, &length, buffer) != vErrNone) break;
    records.push_back({type, std::vector<uint8_t>(buffer, buffer + length)});
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], (std::pair<uint8_t, std::vector<uint8_t>>{2, {0x04, 0x01, 0x07}}));
  EXPECT_EQ(records[1], (std::pair<uint8_t, std::vector<uint8_t>>{1, {0x04, 0x00}}));
  EXPECT_EQ(records[2], (std::pair<uint8_t, std::vector<uint8_t>>{3, {'h', 'i'}}));
  // Disabled, the log records no more traffic but still takes text entries.
  EXPECT_EQ(vLink_PacketDebug_Disable(id), vErrNone);
  pair.Send({0x04, 0x01, 0x08});
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)).size(), 3u);
  EXPECT_EQ(vLink_PacketDebug_Write(id, vPacketLogText, 1, reinterpret_cast<const uint8_t*>("x")),
            vErrNone);
  length = 30;
  EXPECT_EQ(vLink_PacketDebug_Read(id, &type, &length, buffer), vErrNone);
  EXPECT_EQ(type, vPacketLogText);
  length = 30;
  EXPECT_EQ(vLink_PacketDebug_Read(id, &type, &length, buffer), vErrNotFound);
  vLink_Destroy(&id);
}

// A TCP listener on a free loopback port that accepts in the background.
class Server {
 public:
  Server() { fd_ = linktest::ListenLoopback(&port_); }
  ~Server() {
    close(fd_);
    for (int c : clients_) close(c);
  }
  int Accept() {
    int c = accept(fd_, nullptr, nullptr);
    clients_.push_back(c);
    return c;
  }
  uint32_t port() const { return port_; }

 private:
  int fd_;
  uint32_t port_;
  std::vector<int> clients_;
};

TEST(Link, TcpLinksAreSharedByUseCount) {
  Server server;
  uint32_t a = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), server.port());
  ASSERT_NE(a, 0u);
  int peer = server.Accept();
  uint8_t route[3];
  EXPECT_EQ(recv(peer, route, 3, MSG_WAITALL), 3);
  uint32_t b = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), server.port());
  EXPECT_EQ(a, b);
  EXPECT_EQ(vLink_RegistryGetUseCount(a), 2);
  // Another module at the same address but on another port is another link.
  Server other;
  uint32_t c = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), other.port());
  EXPECT_NE(c, 0u);
  EXPECT_NE(c, a);
  vLink_Destroy(&c);
  uint32_t keep = a;
  EXPECT_EQ(vLink_Destroy(&b), vErrNone);
  EXPECT_EQ(vLink_GetStatus(keep), uint32_t(kLinkRunning));
  EXPECT_EQ(vLink_Destroy(&a), vErrNone);
  EXPECT_EQ(vLink_GetStatus(keep), uint32_t(kLinkNoStream));
  uint8_t release[3];
  EXPECT_EQ(recv(peer, release, 3, MSG_WAITALL), 3);
  EXPECT_EQ(std::vector<uint8_t>(release, release + 3), kRouteOff);
}

TEST(Link, ResetOpensANewConnectionWithFreshQueues) {
  Server server;
  uint32_t id = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), server.port());
  ASSERT_NE(id, 0u);
  int first = server.Accept();
  uint8_t bytes[3];
  ASSERT_EQ(recv(first, bytes, 3, MSG_WAITALL), 3);
  uint64_t oldQueue = vLink_GetRecord(id)->inQueue;
  EXPECT_EQ(vLink_Reset(id), vErrNone);
  EXPECT_EQ(recv(first, bytes, 3, MSG_WAITALL), 3);  // the old connection got the release
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), kRouteOff);
  int second = server.Accept();
  ASSERT_EQ(recv(second, bytes, 3, MSG_WAITALL), 3);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), kRouteOn);
  EXPECT_NE(vLink_GetRecord(id)->inQueue, oldQueue);
  EXPECT_EQ(vPacketFifo_GetLength(oldQueue), 0u);
  uint8_t reply[2] = {0x04, 0x00};
  ASSERT_EQ(send(second, reply, 2, 0), 2);
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)), (std::vector<uint8_t>{0x04, 0x00}));
  vLink_Destroy(&id);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A link over a caller's stream cannot make a new one: the reset fails, the
// link reports status 6 and its threads wait instead of spinning.
TEST(Link, ResetWithoutANewStreamFailsAndLeavesAnIdleLink) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  EXPECT_NE(vLink_Reset(id), vErrNone);
  EXPECT_EQ(pair.Receive(3), kRouteOff);
  for (int i = 0; i < 100 && vLink_GetStatus(id) != kLinkIOError; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkIOError));
  double before = CpuSeconds();
  // The window is the test: the CPU an idle link spends in it.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(CpuSeconds() - before, 0.2);
  EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

TEST(Link, UnreachableTcpModuleGivesNoLink) {
  uint32_t port;
  {
    Server gone;
    port = gone.port();
  }
  EXPECT_EQ(vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port), 0u);
  EXPECT_EQ(vLink_RegistryFindByIdentifier(htonl(INADDR_LOOPBACK)), 0u);
}

TEST(Link, SerialLinksNeedAKnownBaudRate) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const uint32_t serial = 0x40F5849A;
  EXPECT_EQ(vLink_CreateSerial(serial, name, 14400), 0u);
  EXPECT_EQ(vLink_RegistryFindByIdentifier(serial), 0u);
  EXPECT_EQ(vLink_CreateSerial(serial, "/dev/does-not-exist-velmarine", 9600), 0u);
  EXPECT_EQ(vLink_RegistryFindByIdentifier(serial), 0u);
  uint32_t id = vLink_CreateSerial(serial, name, 9600);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  uint8_t route[3] = {};
  size_t n = 0;
  while (n < 3) {
    ssize_t r = read(master, route + n, 3 - n);
    if (r <= 0) break;
    n += size_t(r);
  }
  EXPECT_EQ(std::vector<uint8_t>(route, route + 3), kRouteOn);
  uint8_t packet[3] = {0x04, 0x01, 0x05};
  ASSERT_EQ(write(master, packet, 3), 3);
  EXPECT_EQ(Wire(vLink_AwaitPacket(id, 3000)), (std::vector<uint8_t>{0x04, 0x01, 0x05}));
  uint32_t again = vLink_CreateSerial(serial, name, 9600);
  EXPECT_EQ(again, id);
  // The same module asked for over another transport keyed by its serial
  // number gets the same link, without a stream of its own.
  uint32_t usb = vLink_CreateUSB(serial);
  EXPECT_EQ(usb, id);
  EXPECT_EQ(vLink_RegistryGetUseCount(id), 3);
  vLink_Destroy(&usb);
  vLink_Destroy(&id);
  EXPECT_EQ(vLink_GetStatus(again), uint32_t(kLinkRunning));
  vLink_Destroy(&again);
  EXPECT_EQ(vLink_RegistryFindByIdentifier(serial), 0u);

  // A link over a caller's stream is keyed 0xFFFFFFFF but names no module: a
  // module with that serial number (an erased one) gets a link of its own.
  Pair pair;
  uint32_t own = vLink_Create(pair.Stream());
  ASSERT_NE(own, 0u);
  uint32_t erased = vLink_CreateSerial(0xFFFFFFFF, name, 9600);
  EXPECT_NE(erased, 0u);
  EXPECT_NE(erased, own);
  EXPECT_EQ(vLink_RegistryGetUseCount(own), 1);
  vLink_Destroy(&erased);
  vLink_Destroy(&own);
  close(slave);
  close(master);
}

TEST(Link, StopOfAStoppedLinkSendsNothing) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  linkRecord* record = vLink_GetRecord(id);
  EXPECT_EQ(vLink_Stop(record), vErrNone);
  EXPECT_EQ(pair.Receive(3), kRouteOff);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkStopped));
  EXPECT_EQ(vLink_Stop(record), vErrNone);
  // Started again, it routes again; destroyed, it releases once more.
  EXPECT_EQ(vLink_Start(id), vErrNone);
  EXPECT_EQ(pair.Receive(3), kRouteOn);
  vLink_Destroy(&id);
  EXPECT_EQ(pair.Drain(200), kRouteOff);
}

// Callers on several threads exchange packets with an echoing peer while
// another thread installs filters; then the link is destroyed under a waiter.
TEST(Link, ManyCallersAndATeardownUnderAWaiter) {
  Pair pair;
  uint32_t id = vLink_Create(pair.Stream());
  ASSERT_NE(id, 0u);
  pair.Receive(3);
  std::atomic<bool> echoing{true};
  std::thread echo([&] {
    while (echoing) {
      std::vector<uint8_t> got = pair.Receive(3, 20);
      if (got.size() == 3) pair.Send(got);
    }
  });
  std::vector<std::thread> callers;
  std::atomic<int> answered{0};
  for (uint8_t t = 0; t < 3; t++) {
    callers.emplace_back([&, t] {
      uint8_t address = uint8_t(0x10 + 2 * t);
      for (int i = 0; i < 20; i++) {
        if (Put(id, {address, 0x01, uint8_t(i)}) != vErrNone) continue;
        vPacket* p = vLink_AwaitFirst(id, MatchAddress, &address, 3000);
        if (p) answered++;
        vPacket_Destroy(&p);
      }
    });
  }
  std::atomic<int> dummy{0};
  callers.emplace_back([&] {
    for (int i = 0; i < 50; i++) {
      vLink_InstallUserPacketFilter(id, nullptr, &dummy);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (auto& c : callers) c.join();
  EXPECT_EQ(answered.load(), 60);

  uint32_t shared = id;
  std::atomic<bool> returned{false};
  std::atomic<pid_t> waiting{0};
  std::thread waiter([&] {
    uint8_t nobody = 0x7E;
    waiting = testsupport::ThreadId();
    vPacket* p = vLink_AwaitFirst(shared, MatchAddress, &nobody, 20000);
    EXPECT_EQ(p, nullptr);
    returned = true;
  });
  EXPECT_TRUE(testsupport::AwaitTrue([&] { return waiting != 0; }));
  EXPECT_TRUE(testsupport::AwaitAsleep(waiting));  // in its wait for a packet
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vLink_Destroy(&id), vErrNone);
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  echoing = false;
  echo.join();
}

}  // namespace
