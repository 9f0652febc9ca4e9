// Heartbeats and their checking, the injected faults (garbage, dropped and
// refused links, muted and late replies, split bursts) and the pseudo-terminal
// transport of the simulator, observed from a raw host end.
#include <gtest/gtest.h>

#include <chrono>

#include "RawLink.h"
#include "VelmarineSim.h"

using simtest::Bytes;
using simtest::RawLink;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

class SimFaults : public ::testing::Test {
 protected:
  void Begin(const std::string& faults, uint32_t heartbeatMs = 0) {
    velsim::ModuleConfig c;
    c.serial = kSerial;
    c.heartbeatMs = heartbeatMs;
    sim.AddModule(c);
    velsim::FaultConfig f;
    velsim::ParseFaultSpec(faults, f);
    sim.SetFaults(kSerial, f);
    ep = sim.OpenTcp(kSerial, 0);
    sim.Start();
    link = std::make_unique<RawLink>(RawLink::Tcp(ep.port));
    ASSERT_TRUE(link->ok());
  }
  velsim::Simulator sim;
  velsim::Endpoint ep;
  std::unique_ptr<RawLink> link;
};

const Bytes kGetModel = {0x04, 3, 0x03, 0x48, 0x20};
const Bytes kModel = {0x04, 4, 0x03, 0x08, 0x00, 19};

TEST_F(SimFaults, HeartbeatsAlternateAndTheirAnswersAreChecked) {
  Begin("hb-timeout=1000", 100);
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 2, 0x00, 0x00}));
  link->Send({0x04, 2, 0x00, 0x02});
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 2, 0x00, 0x01}));
  link->Send({0x04, 2, 0x00, 0x02});  // should have been 3
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 2, 0x00, 0x00}));
  // This one is left unanswered.
  ASSERT_TRUE(
      sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.heartbeatMissed >= 1; }));
  auto s = sim.Stats(ep.id);
  EXPECT_EQ(s.heartbeatAnswers, 1u);
  EXPECT_EQ(s.heartbeatWrong, 1u);
  // Switched off from the host through the system entity (interval option 3).
  link->Send({0x04, 4, 0x03, 0x83, 0x20, 0});
  sim.WaitFor(ep.id, [](const velsim::EndpointStats& st) { return st.packetsIn >= 3; });
  usleep(150 * 1000);
  uint64_t sent = sim.Stats(ep.id).heartbeatsSent;
  usleep(300 * 1000);
  EXPECT_EQ(sim.Stats(ep.id).heartbeatsSent, sent);
}

TEST_F(SimFaults, HeartbeatsGoOnlyToTheLinkTheModuleIsRoutedTo) {
  Begin("hb-timeout=5000", 50);
  RawLink other = RawLink::Tcp(ep.port);
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other.Packet(), (Bytes{0x04, 2, 0x00, 0x00}));  // unrouted: every link hears them
  link->Send({0xAF, 1, 1});
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.routeOn == 1; }));
  other.Packets(10, 100);  // what was already on its way
  EXPECT_TRUE(other.Packets(1, 300).empty());
  EXPECT_FALSE(link->Packets(2, 1000).size() < 2);
  // Released: both hear them again.
  link->Send({0xAF, 1, 0});
  EXPECT_EQ(other.Packets(1, 1000).size(), 1u);
}

TEST_F(SimFaults, AHostThatStopsReadingDoesNotGrowTheSimulatorWithoutEnd) {
  Begin("");
  // 200000 echo requests of 30 bytes whose replies are never read: past the cap
  // and what the kernel's socket buffers hold.
  Bytes echo = {0x04, 28, 0x17};
  echo.resize(30, 0x55);
  Bytes burst;
  for (int i = 0; i < 1000; ++i) burst.insert(burst.end(), echo.begin(), echo.end());
  for (int i = 0; i < 200; ++i) link->Send(burst);
  ASSERT_TRUE(sim.WaitFor(
      ep.id, [](const velsim::EndpointStats& s) { return s.packetsIn == 200000; }, 30000));
  auto s = sim.Stats(ep.id);
  EXPECT_LT(s.packetsOut, 200000u);
  ASSERT_FALSE(s.notes.empty());
  EXPECT_NE(s.notes.back().find("not reading"), std::string::npos);
}

TEST_F(SimFaults, GarbageFollowsTheConfiguredPacket) {
  Begin("garbage=05FF01,garbage-after=2");
  link->Send({0xAD, 0, 0xAD, 0, 0xAD, 0});
  EXPECT_EQ(link->ReadBytes(9, 2000), (Bytes{0x04, 0, 0x04, 0, 0x05, 0xFF, 0x01, 0x04, 0}));
  // Injected on demand as well.
  sim.InjectGarbage(ep.id, {0x03});
  EXPECT_EQ(link->ReadBytes(1, 2000), (Bytes{0x03}));
}

TEST_F(SimFaults, DropResetsTheFirstLinkOnlyAndNewConnectionsAreServed) {
  Begin("drop-after=2");
  link->Send({0xAD, 0});
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 0}));
  link->Send(kGetModel);
  EXPECT_TRUE(link->Closed(2000));
  RawLink again = RawLink::Tcp(ep.port);
  ASSERT_TRUE(again.ok());
  for (int i = 0; i < 3; ++i) {
    again.Send(kGetModel);
    EXPECT_EQ(again.Packet(), kModel);
  }
  EXPECT_EQ(sim.Stats(ep.id).drops, 1u);
}

TEST_F(SimFaults, RefuseAfterDropStopsListening) {
  Begin("drop-after=1,refuse-after-drop");
  link->Send(kGetModel);
  EXPECT_TRUE(link->Closed(2000));
  EXPECT_FALSE(RawLink::Tcp(ep.port).ok());
}

TEST_F(SimFaults, MutedCommandsAndProbesGetNoReply) {
  Begin("mute=0xAD,mute=3:9");
  link->Send({0xAD, 0});
  link->Send({0x04, 3, 0x03, 0x49, 0x20});
  EXPECT_TRUE(link->Packets(1, 300).empty());
  // Another option of the same command is still answered.
  link->Send(kGetModel);
  EXPECT_EQ(link->Packet(), kModel);
  EXPECT_EQ(sim.Stats(ep.id).muted, 2u);
}

// Every second request the module would answer, probes included, is carried
// out without a reply.
TEST_F(SimFaults, FlakyModuleAnswersEveryOtherRequest) {
  Begin("flaky=2");
  const Bytes probe = {0xAD, 0}, probeAnswer = {0x04, 0};
  link->Send(probe);
  EXPECT_EQ(link->Packet(), probeAnswer);
  link->Send(kGetModel);
  EXPECT_TRUE(link->Packets(1, 300).empty());
  link->Send(kGetModel);
  EXPECT_EQ(link->Packet(), kModel);
  link->Send(probe);
  EXPECT_TRUE(link->Packets(1, 300).empty());
  link->Send(probe);
  EXPECT_EQ(link->Packet(), probeAnswer);
  EXPECT_EQ(sim.Stats(ep.id).muted, 2u);
}

TEST_F(SimFaults, DelayedRepliesKeepTheirOrder) {
  Begin("delay=300:3");
  auto start = std::chrono::steady_clock::now();
  link->Send(kGetModel);
  link->Send({0xAD, 0});
  auto replies = link->Packets(2, 2000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], kModel);
  EXPECT_EQ(replies[1], (Bytes{0x04, 0}));  // not overtaking the delayed reply
  EXPECT_GE(ms, 290);
}

TEST_F(SimFaults, SplitBurstsArriveInPiecesWithTheSameBytes) {
  Begin("split=3,split-gap=200");
  link->Send({0xAD, 0, 0x04, 3, 0x03, 0x48, 0x20});
  // The first piece cuts the second packet after its address and is alone for a while.
  EXPECT_EQ(link->ReadBytes(3, 2000), (Bytes{0x04, 0x00, 0x04}));
  EXPECT_TRUE(link->ReadBytes(5, 50).empty());
  EXPECT_EQ(link->ReadBytes(5, 2000), (Bytes{4, 0x03, 0x08, 0x00, 19}));
}

TEST(SimPty, APtyCarriesALinkAndNoticesTheHostComingAndGoing) {
  velsim::Simulator sim;
  velsim::ModuleConfig c;
  c.serial = kSerial;
  c.heartbeatMs = 100;
  sim.AddModule(c);
  velsim::Endpoint ep = sim.OpenPty(kSerial);
  ASSERT_EQ(ep.where.rfind("/dev/pts/", 0), 0u);
  sim.Start();
  usleep(300 * 1000);
  EXPECT_EQ(sim.Stats(ep.id).heartbeatsSent, 0u);  // nobody there to hear them
  {
    RawLink host = RawLink::Pty(ep.where);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(
        sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.openLinks == 1; }));
    host.Send({0xAD, 0x00});
    auto packets = host.Packets(2, 2000);
    ASSERT_EQ(packets.size(), 2u);  // the probe answer and a heartbeat, in either order
    EXPECT_TRUE(packets[0] == (Bytes{0x04, 0}) || packets[1] == (Bytes{0x04, 0}));
    host.Send(kGetModel);
    Bytes r;
    for (int i = 0; i < 5 && r != kModel; ++i) r = host.Packet();
    EXPECT_EQ(r, kModel);
  }
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.openLinks == 0; }));
  // A second host opening the same pty starts a new link.
  RawLink again = RawLink::Pty(ep.where);
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.links == 2; }));
  again.Send({0xAD, 0x00});
  Bytes r;
  for (int i = 0; i < 5 && r != Bytes{0x04, 0}; ++i) r = again.Packet();
  EXPECT_EQ(r, (Bytes{0x04, 0}));
  // Dropping a pty link hangs the line up.
  sim.DropLinks(ep.id, false);
  EXPECT_TRUE(again.Closed(2000));
}

}  // namespace
