// The link engine against the module simulator, over TCP and over a
// pseudo-terminal: creation and synchronisation, the address probe, UEI
// exchanges, heartbeats, recovery from garbage and dropped connections,
// I/O errors, the route release at stop and teardown by use count.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "LinkTestSupport.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vPacket.h"

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 4;

// What a reply must look like: address, first data bytes, and optionally its length.
struct Match {
  uint8_t address;
  std::vector<uint8_t> prefix;
  int length = -1;
};

uint8_t MatchFilter(const vPacket* p, const void* ref) {
  const Match* m = static_cast<const Match*>(ref);
  if (p->address != m->address || p->length < m->prefix.size()) return 0;
  if (m->length >= 0 && p->length != m->length) return 0;
  for (size_t i = 0; i < m->prefix.size(); ++i)
    if (p->data[i] != m->prefix[i]) return 0;
  return 1;
}

uint8_t ZeroLengthFilter(const vPacket* p, const void*) { return p->length == 0; }

bool WaitStatus(uint32_t id, uint32_t status, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (vLink_GetStatus(id) != status) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class LinkSim : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    velsim::ModuleConfig c;
    c.serial = kSerial;
    c.address = kAddress;
    c.model = 19;
    c.build = 4242;
    sim.AddModule(c);
    ep = GetParam() == "tcp" ? sim.OpenTcp(kSerial, 0) : sim.OpenPty(kSerial);
    sim.Start();
  }
  void TearDown() override {
    while (id && vLink_RegistryGetUseCount(id) > 0) {
      uint32_t copy = id;
      vLink_Destroy(&copy);
    }
    sim.Stop();
  }
  void SetFaults(const std::string& spec) {
    velsim::FaultConfig f;
    velsim::ParseFaultSpec(spec, f);
    sim.SetFaults(kSerial, f);
  }
  uint32_t Create() {
    if (GetParam() == "tcp") return vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), ep.port);
    return vLink_CreateSerial(kSerial, ep.where.c_str(), 115200);
  }
  // Creates the link and waits until it runs and the module sees it.
  void Connect() {
    id = Create();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitStatus(id, kLinkRunning, 3000));
    ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.routeOn >= 1; }));
  }
  vErr Put(uint8_t address, const std::vector<uint8_t>& data) {
    return linktest::Put(id, address, data);
  }
  // The data of the first packet matching m within timeoutMs; empty when none.
  std::vector<uint8_t> Await(const Match& m, uint32_t timeoutMs = 1000, bool* got = nullptr) {
    vPacket* p = vLink_AwaitFirst(id, MatchFilter, &m, timeoutMs);
    if (got) *got = p != nullptr;
    if (!p) return {};
    std::vector<uint8_t> d(p->data, p->data + p->length);
    vPacket_Destroy(&p);
    return d;
  }
  // A UEI get of a system option; the reply's data.
  std::vector<uint8_t> Get(uint8_t option) {
    EXPECT_EQ(Put(kAddress, {3, uint8_t(0x40 | option), 0x20}), vErrNone);
    return Await({kAddress, {3, option}});
  }
  // The module address as the object layer learns it: probe, first empty packet.
  int ProbeAddress() {
    EXPECT_EQ(Put(0xAD, {}), vErrNone);
    vPacket* p = vLink_AwaitFirst(id, ZeroLengthFilter, nullptr, 1000);
    if (!p) return -1;
    int a = p->address;
    vPacket_Destroy(&p);
    return a;
  }

  velsim::Simulator sim;
  velsim::Endpoint ep;
  uint32_t id = 0;
};

TEST_P(LinkSim, CreatesSynchronisesAndLearnsTheModuleAddress) {
  Connect();
  EXPECT_EQ(vLink_Sync(id), vErrNone);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  EXPECT_GE(sim.Stats(ep.id).probes, 6u);
  // The surplus probe answers were drained by the synchronisation.
  EXPECT_EQ(vLink_GetPacket(id), nullptr);
  EXPECT_EQ(ProbeAddress(), kAddress);
  EXPECT_EQ(sim.Stats(ep.id).violations, 0u);
}

TEST_P(LinkSim, ExchangesUEIRequestsAndReplies) {
  Connect();
  EXPECT_EQ(Get(9), (std::vector<uint8_t>{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
  EXPECT_EQ(Get(8), (std::vector<uint8_t>{3, 8, 0, 19}));
  // Set, then read back.
  ASSERT_EQ(Put(kAddress, {3, 0x84, 0x20, 0}), vErrNone);
  EXPECT_EQ(Await({kAddress, {3, 0xC4}}), (std::vector<uint8_t>{3, 0xC4, 0}));
  EXPECT_EQ(Get(4), (std::vector<uint8_t>{3, 4, 0, 0}));
  // An unknown option is an error reply with the code after the index.
  EXPECT_EQ(Get(5), (std::vector<uint8_t>{3, 5, 0x80, 29}));
  // Build query and echo.
  ASSERT_EQ(Put(kAddress, {0x49, 0xFF}), vErrNone);
  EXPECT_EQ(Await({kAddress, {0x49, 0xFF}}), (std::vector<uint8_t>{0x49, 0xFF, 0, 0, 0x10, 0x92}));
  ASSERT_EQ(Put(kAddress, {0x17, 1, 2, 3}), vErrNone);
  EXPECT_EQ(Await({kAddress, {0x17}}), (std::vector<uint8_t>{0x17, 1, 2, 3}));
  // Many requests in flight at once come back in order, none lost.
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Put(kAddress, {3, 0x48, 0x20}), vErrNone);
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(Await({kAddress, {3, 8}}), (std::vector<uint8_t>{3, 8, 0, 19}));
  EXPECT_EQ(sim.Stats(ep.id).violations, 0u);
}

TEST_P(LinkSim, AnswersHeartbeatsWithoutQueueingThem) {
  Connect();
  sim.SetHeartbeat(kSerial, 50);
  ASSERT_TRUE(
      sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.heartbeatAnswers >= 4; }));
  auto s = sim.Stats(ep.id);
  EXPECT_EQ(s.heartbeatWrong, 0u);
  EXPECT_EQ(s.heartbeatMissed, 0u);
  bool got = true;
  Await({kAddress, {0}, 2}, 200, &got);
  EXPECT_FALSE(got) << "a heartbeat reached the incoming queue";
}

TEST_P(LinkSim, RegainsFramingAfterGarbage) {
  Connect();
  uint64_t probesBefore = sim.Stats(ep.id).probes;
  // An odd address byte breaks the framing: the host must resynchronise.
  sim.InjectGarbage(ep.id, {0x05, 0xFF, 0x01});
  ASSERT_TRUE(sim.WaitFor(
      ep.id, [&](const velsim::EndpointStats& s) { return s.probes >= probesBefore + 6; }));
  ASSERT_TRUE(WaitStatus(id, kLinkRunning, 3000));
  EXPECT_EQ(Get(8), (std::vector<uint8_t>{3, 8, 0, 19}));
  // A plausible but false header swallows real bytes until the rules break.
  probesBefore = sim.Stats(ep.id).probes;
  sim.InjectGarbage(ep.id, {0x04, 0x1C});
  sim.SendPacket(ep.id, velsim::Packet::Make(kAddress, {3, 8, 0, 19}));
  for (int i = 0; i < 4; ++i)
    sim.SendPacket(
        ep.id, velsim::Packet::Make(kAddress, {0x17, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  // Then the host resynchronises again.
  ASSERT_TRUE(sim.WaitFor(
      ep.id, [&](const velsim::EndpointStats& s) { return s.probes >= probesBefore + 6; }));
  ASSERT_TRUE(WaitStatus(id, kLinkRunning, 3000));
  vLink_DrainPackets(
      id, [](const vPacket*, const void*) -> uint8_t { return 1; }, nullptr);
  EXPECT_EQ(Get(9), (std::vector<uint8_t>{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
}

TEST_P(LinkSim, ReadsRepliesSplitAtOddBoundariesAndLate) {
  SetFaults("split=3,split-gap=3");
  Connect();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Get(9), (std::vector<uint8_t>{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
  SetFaults("delay=400:3");
  bool got = true;
  Put(kAddress, {3, 0x48, 0x20});
  Await({kAddress, {3, 8}}, 100, &got);
  EXPECT_FALSE(got);
  EXPECT_EQ(Await({kAddress, {3, 8}}, 1000), (std::vector<uint8_t>{3, 8, 0, 19}));
}

TEST_P(LinkSim, WritesTheRouteReleaseWhenTheLastHolderGoes) {
  Connect();
  EXPECT_EQ(Create(), id);  // a second holder of the same link
  EXPECT_EQ(vLink_RegistryGetUseCount(id), 2);
  uint32_t copy = id;
  EXPECT_EQ(vLink_Destroy(&copy), vErrNone);
  EXPECT_EQ(copy, 0u);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  EXPECT_EQ(Get(8), (std::vector<uint8_t>{3, 8, 0, 19}));
  EXPECT_EQ(sim.Stats(ep.id).routeOff, 0u);
  copy = id;
  EXPECT_EQ(vLink_Destroy(&copy), vErrNone);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkNoStream));  // unregistered
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.routeOff == 1; }));
  EXPECT_EQ(sim.Stats(ep.id).lastRoute, 0);
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.openLinks == 0; }));
  copy = id;
  EXPECT_EQ(vLink_Destroy(&copy), vErrParam);
  id = 0;
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkSim, ::testing::Values("tcp", "pty"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

// TCP only: the socket stream reconnects by itself, and a refused reconnection
// is an I/O error.
class LinkSimTcp : public LinkSim {};

TEST_P(LinkSimTcp, ReconnectsAfterADroppedConnection) {
  Connect();
  // Reset first, then an orderly close: either way the link gets its module back.
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    uint64_t links = sim.Stats(ep.id).links;
    EXPECT_EQ(Get(8), (std::vector<uint8_t>{3, 8, 0, 19}));
    sim.DropLinks(ep.id, false, reset);
    ASSERT_TRUE(sim.WaitFor(
        ep.id,
        [&](const velsim::EndpointStats& s) { return s.links == links + 1 && s.openLinks == 1; },
        5000));
    ASSERT_TRUE(WaitStatus(id, kLinkRunning, 3000));
    std::vector<uint8_t> r;
    for (int i = 0; i < 3 && r.empty(); ++i) r = Get(9);  // a request may die with the old socket
    EXPECT_EQ(r, (std::vector<uint8_t>{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
  }
}

TEST_P(LinkSimTcp, ReportsStatus6WhenTheModuleCannotBeReached) {
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    Connect();
    sim.DropLinks(ep.id, true, reset);
    ASSERT_TRUE(WaitStatus(id, kLinkIOError, 5000));
    // Nothing is awaited on a link in error.
    auto start = std::chrono::steady_clock::now();
    Match m{kAddress, {3}};
    EXPECT_EQ(vLink_AwaitFirst(id, MatchFilter, &m, 1000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    vLink_Destroy(&id);
    // A fresh server for the second round.
    ep = sim.OpenTcp(kSerial, 0);
  }
}

TEST_P(LinkSimTcp, ADroppedConnectionAfterNPacketsIsSurvived) {
  SetFaults("drop-after=3");
  Connect();
  int answered = 0;
  for (int i = 0; i < 6; ++i) answered += !Get(8).empty();
  EXPECT_GE(answered, 4);
  EXPECT_EQ(sim.Stats(ep.id).drops, 1u);
  EXPECT_EQ(Get(8), (std::vector<uint8_t>{3, 8, 0, 19}));
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkSimTcp, ::testing::Values("tcp"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
