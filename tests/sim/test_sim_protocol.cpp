// The simulated module's answers on the wire: probe, system entity gets and
// sets with their error replies, byte values, 0x49 queries, echo, route
// commands and modules behind a router, checked byte for byte over TCP.
#include <gtest/gtest.h>

#include "RawLink.h"
#include "VelmarineSim.h"

using simtest::Bytes;
using simtest::RawLink;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

class SimProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    velsim::ModuleConfig c;
    c.serial = kSerial;
    c.model = 19;
    c.address = 4;
    c.version = 0x2F020F03;
    c.build = 0x01020304;
    c.name = "Bench";
    sim.AddModule(c);
    ep = sim.OpenTcp(kSerial, 0);
    sim.Start();
    link = std::make_unique<RawLink>(RawLink::Tcp(ep.port));
    ASSERT_TRUE(link->ok());
  }
  // Sends one request and returns the one reply.
  Bytes Ask(const Bytes& request) {
    link->Send(request);
    return link->Packet();
  }
  velsim::Simulator sim;
  velsim::Endpoint ep;
  std::unique_ptr<RawLink> link;
};

TEST_F(SimProtocol, ProbeIsAnsweredWithAnEmptyPacketFromTheModuleAddress) {
  EXPECT_EQ(Ask({0xAD, 0x00}), (Bytes{0x04, 0x00}));
  // Six probes in one burst, as a host synchronising sends them, get six answers.
  link->Send({0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0});
  auto replies = link->Packets(6);
  ASSERT_EQ(replies.size(), 6u);
  for (auto& r : replies) EXPECT_EQ(r, (Bytes{0x04, 0x00}));
  EXPECT_EQ(sim.Stats(ep.id).probes, 7u);
}

TEST_F(SimProtocol, SystemGetsCarryTheirValueBigEndianAtTheOptionWidth) {
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x49, 0x20}),
            (Bytes{0x04, 7, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x48, 0x20}), (Bytes{0x04, 4, 0x03, 0x08, 0x00, 19}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x47, 0x20}),
            (Bytes{0x04, 7, 0x03, 0x07, 0x00, 0x2F, 0x02, 0x0F, 0x03}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x6B, 0x20}), (Bytes{0x04, 7, 0x03, 0x2B, 0x00, 1, 2, 3, 4}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x41, 0x20}), (Bytes{0x04, 4, 0x03, 0x01, 0x00, 0x04}));
  // A get may carry a parameter byte after the index.
  EXPECT_EQ(Ask({0x04, 4, 0x03, 0x48, 0x20, 0x07}), (Bytes{0x04, 4, 0x03, 0x08, 0x00, 19}));
}

// Every option of the system entity, from the host's table: the widths and the
// kind of request each accepts.
TEST_F(SimProtocol, EveryOptionOfTheSystemTableAnswersAtItsWidth) {
  struct Opt {
    uint8_t code;
    int width;  // 0 none, 1, 4 bytes, -1 byte value
    bool get, set;
  };
  const Opt table[] = {
      {1, 1, true, false},  {2, 1, true, true},   {3, 1, true, true},   {4, 1, true, true},
      {6, 1, true, true},   {7, 4, true, false},  {8, 1, true, false},  {9, 4, true, false},
      {10, 0, false, true}, {11, 0, false, true}, {12, 4, true, false}, {13, 1, true, false},
      {14, 1, true, false}, {15, 1, true, true},  {16, 1, true, false}, {20, 1, false, true},
      {21, 4, true, false}, {22, 4, true, false}, {23, 4, true, false}, {24, 0, false, true},
      {25, 4, true, false}, {26, 4, true, false}, {27, 4, true, false}, {28, 4, true, false},
      {29, 1, true, false}, {30, 1, true, true},  {31, -1, true, true}, {32, -1, true, true},
      {33, 4, true, false}, {34, 4, true, true},  {35, 4, true, false}, {36, 0, false, true},
      {37, 0, false, true}, {38, 1, true, true},  {40, 4, true, false}, {41, 4, true, false},
      {42, 1, true, true},  {43, 4, true, false},
  };
  for (const Opt& o : table) {
    SCOPED_TRACE("option " + std::to_string(o.code));
    if (o.get) {
      Bytes r = Ask({0x04, 3, 0x03, uint8_t(0x40 | o.code), 0x20});
      ASSERT_GE(r.size(), 5u);
      EXPECT_EQ(r[2], 0x03);
      EXPECT_EQ(r[3], o.code);
      EXPECT_EQ(r[4], 0x00);
      if (o.width >= 0) {
        EXPECT_EQ(r[1], 3 + o.width);
      }
    }
    if (o.set && o.width >= 0) {
      Bytes req = {0x04, uint8_t(3 + o.width), 0x03, uint8_t(0x80 | o.code), 0x20};
      for (int i = 0; i < o.width; ++i) req.push_back(uint8_t(i == o.width - 1 ? 1 : 0));
      EXPECT_EQ(Ask(req), (Bytes{0x04, 3, 0x03, uint8_t(0xC0 | o.code), 0x00}));
    }
  }
  EXPECT_EQ(sim.Stats(ep.id).violations, 0u);
}

TEST_F(SimProtocol, SetsAreKeptAndReadBack) {
  EXPECT_EQ(Ask({0x04, 4, 0x03, 0x84, 0x20, 0x00}), (Bytes{0x04, 3, 0x03, 0xC4, 0x00}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x44, 0x20}), (Bytes{0x04, 4, 0x03, 0x04, 0x00, 0x00}));
  // A sub-index byte before the value.
  EXPECT_EQ(Ask({0x04, 5, 0x03, 0x8F, 0x20, 0x00, 0x06}), (Bytes{0x04, 3, 0x03, 0xCF, 0x00}));
  EXPECT_EQ(sim.OptionValue(kSerial, 15), 6u);
  EXPECT_EQ(Ask({0x04, 7, 0x03, 0xA2, 0x20, 0x00, 0x01, 0x00, 0x02}),
            (Bytes{0x04, 3, 0x03, 0xE2, 0x00}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x62, 0x20}),
            (Bytes{0x04, 7, 0x03, 0x22, 0x00, 0x00, 0x01, 0x00, 0x02}));
  // The heartbeat interval travels in tenths of a second.
  EXPECT_EQ(Ask({0x04, 4, 0x03, 0x83, 0x20, 5}), (Bytes{0x04, 3, 0x03, 0xC3, 0x00}));
  EXPECT_EQ(sim.OptionValue(kSerial, 3), 5u);
  // Factory defaults undo the sets.
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0xA5, 0x20}), (Bytes{0x04, 3, 0x03, 0xE5, 0x00}));
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 1u);
}

TEST_F(SimProtocol, ErrorRepliesCarryTheCodeAfterAnIndexWithBit7) {
  // Unknown option code 5: invalid option (29), bare option for a get.
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x45, 0x20}), (Bytes{0x04, 4, 0x03, 0x05, 0x80, 29}));
  // Entity index 1 does not exist: invalid entity (28), option with 0xC0 for a set.
  EXPECT_EQ(Ask({0x04, 4, 0x03, 0x84, 0x21, 1}), (Bytes{0x04, 4, 0x03, 0xC4, 0x81, 28}));
  // A class the module does not have.
  EXPECT_EQ(Ask({0x04, 3, 0x30, 0x41, 0x20}), (Bytes{0x04, 4, 0x30, 0x01, 0x80, 28}));
  // Setting a read-only option, getting a set-only one: invalid mode (7).
  EXPECT_EQ(Ask({0x04, 7, 0x03, 0x89, 0x20, 0, 0, 0, 1}), (Bytes{0x04, 4, 0x03, 0xC9, 0x80, 7}));
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x54, 0x20}), (Bytes{0x04, 4, 0x03, 0x14, 0x80, 7}));
  // A value of the wrong width: invalid size (14); nothing is stored.
  EXPECT_EQ(Ask({0x04, 6, 0x03, 0x84, 0x20, 0, 0, 0}), (Bytes{0x04, 4, 0x03, 0xC4, 0x80, 14}));
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 1u);
  // Too short to carry an index.
  EXPECT_EQ(Ask({0x04, 2, 0x03, 0x49}), (Bytes{0x04, 4, 0x03, 0x49, 0x80, 27}));
  EXPECT_EQ(sim.Stats(ep.id).errorReplies, 7u);
}

TEST_F(SimProtocol, ByteValuesTravelInSequencedRunsOf24Bytes) {
  EXPECT_EQ(Ask({0x04, 3, 0x03, 0x60, 0x20}),
            (Bytes{0x04, 9, 0x03, 0x20, 0x00, 'B', 'e', 'n', 'c', 'h', 0x00}));
  // 30 bytes: 24 with sequence 0x80, then 6 with sequence 0x01; one reply after the last.
  Bytes first = {0x04, 28, 0x03, 0xA0, 0x20};
  for (int i = 0; i < 24; ++i) first.push_back(uint8_t('a' + i));
  first.push_back(0x80);
  Bytes second = {0x04, 10, 0x03, 0xA0, 0x20, '0', '1', '2', '3', '4', '5', 0x01};
  link->Send(first);
  EXPECT_TRUE(link->Packets(1, 200).empty());
  EXPECT_EQ(Ask(second), (Bytes{0x04, 3, 0x03, 0xE0, 0x00}));
  EXPECT_EQ(sim.OptionBytes(kSerial, 32).size(), 30u);

  link->Send({0x04, 3, 0x03, 0x60, 0x20});
  auto run = link->Packets(2);
  ASSERT_EQ(run.size(), 2u);
  EXPECT_EQ(run[0].size(), 30u);
  EXPECT_EQ(run[0][1], 28);
  EXPECT_EQ(run[0].back(), 0x80);
  EXPECT_EQ(run[1], (Bytes{0x04, 10, 0x03, 0x20, 0x00, '0', '1', '2', '3', '4', '5', 0x01}));

  // A packet out of sequence spoils the run; the error comes after its last packet.
  Bytes skipped = {0x04, 5, 0x03, 0xA0, 0x20, 'x', 0x02};
  link->Send(first);
  EXPECT_EQ(Ask(skipped), (Bytes{0x04, 4, 0x03, 0xE0, 0x80, 24}));
  // Longer than the name's 32 bytes, and power configuration not in 4-byte values.
  Bytes overlong = {0x04, 14, 0x03, 0xA0, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x01};
  link->Send(first);
  EXPECT_EQ(Ask(overlong), (Bytes{0x04, 4, 0x03, 0xE0, 0x80, 14}));
  EXPECT_EQ(Ask({0x04, 7, 0x03, 0x9F, 0x20, 1, 2, 3, 0x00}),
            (Bytes{0x04, 4, 0x03, 0xDF, 0x80, 14}));
  // An empty value is one packet with sequence byte 0.
  EXPECT_EQ(Ask({0x04, 4, 0x03, 0xA0, 0x20, 0x00}), (Bytes{0x04, 3, 0x03, 0xE0, 0x00}));
  EXPECT_TRUE(sim.OptionBytes(kSerial, 32).empty());
}

TEST_F(SimProtocol, BuildAndTableQueriesOnCommand0x49) {
  EXPECT_EQ(Ask({0x04, 2, 0x49, 0xFF}), (Bytes{0x04, 6, 0x49, 0xFF, 1, 2, 3, 4}));
  // hasUEI: the answer byte is the module's verdict.
  EXPECT_EQ(Ask({0x04, 6, 0x49, 1, 3, 9, 0, 0x40}), (Bytes{0x04, 6, 0x49, 1, 3, 9, 0, 0}));
  EXPECT_EQ(Ask({0x04, 6, 0x49, 1, 3, 9, 0, 0x80}), (Bytes{0x04, 6, 0x49, 1, 3, 9, 0, 7}));
  EXPECT_EQ(Ask({0x04, 6, 0x49, 1, 3, 5, 0, 0x40}), (Bytes{0x04, 6, 0x49, 1, 3, 5, 0, 29}));
  EXPECT_EQ(Ask({0x04, 6, 0x49, 1, 3, 9, 1, 0x40}), (Bytes{0x04, 6, 0x49, 1, 3, 9, 1, 28}));
  EXPECT_EQ(Ask({0x04, 6, 0x49, 1, 3, 9, 0, 0xC0}), (Bytes{0x04, 6, 0x49, 1, 3, 9, 0, 2}));
  EXPECT_EQ(Ask({0x04, 3, 0x49, 4, 3}), (Bytes{0x04, 4, 0x49, 4, 3, 1}));
  EXPECT_EQ(Ask({0x04, 3, 0x49, 4, 8}), (Bytes{0x04, 4, 0x49, 4, 8, 0}));
  EXPECT_EQ(Ask({0x04, 4, 0x49, 5, 3, 7}), (Bytes{0x04, 5, 0x49, 5, 3, 7, 0}));
  EXPECT_EQ(Ask({0x04, 4, 0x49, 6, 2, 9}), (Bytes{0x04, 5, 0x49, 6, 2, 9, 0}));
  // A malformed query gets no answer and is noted.
  link->Send({0x04, 2, 0x49, 0x07});
  EXPECT_TRUE(link->Packets(1, 200).empty());
  EXPECT_EQ(sim.Stats(ep.id).violations, 1u);
}

TEST_F(SimProtocol, EchoRepeatsTheBytesAfterTheCommand) {
  EXPECT_EQ(Ask({0x04, 4, 0x17, 'a', 'b', 'c'}), (Bytes{0x04, 4, 0x17, 'a', 'b', 'c'}));
  Bytes full = {0x04, 28, 0x17};
  for (int i = 0; i < 27; ++i) full.push_back(uint8_t(i));
  EXPECT_EQ(Ask(full), full);
}

TEST_F(SimProtocol, RouteCommandsAreCountedAndMalformedOnesNoted) {
  link->Send({0xAF, 1, 1});
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.routeOn == 1; }));
  link->Send({0xAF, 1, 0});
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.routeOff == 1; }));
  EXPECT_EQ(sim.Stats(ep.id).lastRoute, 0);
  link->Send({0xAF, 1, 2, 0xAF, 2, 1, 0});
  ASSERT_TRUE(sim.WaitFor(ep.id, [](const velsim::EndpointStats& s) { return s.violations == 2; }));
  EXPECT_TRUE(link->Packets(1, 100).empty());  // route commands get no reply
}

TEST_F(SimProtocol, ModulesBehindARouterAnswerThroughItsLink) {
  velsim::ModuleConfig behind;
  behind.serial = 0x1234ABCD;
  behind.address = 6;
  behind.router = 4;
  behind.model = 13;
  sim.AddModule(behind);
  EXPECT_EQ(Ask({0x06, 3, 0x03, 0x48, 0x20}), (Bytes{0x06, 4, 0x03, 0x08, 0x00, 13}));
  // The probe is answered by the module the link reaches, not by the one behind it.
  EXPECT_EQ(Ask({0xAD, 0}), (Bytes{0x04, 0x00}));
  link->Send({0x08, 3, 0x03, 0x48, 0x20});
  EXPECT_TRUE(link->Packets(1, 200).empty());
  EXPECT_EQ(sim.Stats(ep.id).unrouted, 1u);
}

TEST_F(SimProtocol, BrokenHostFramingIsSkippedAndAPartialPacketExpires) {
  // An odd address, then lengths over 28 (0x40, itself taken as an address next,
  // and 0xAD): all refused, and the probe that 0xAD begins is still answered.
  link->Send({0x05, 0x04, 0x40, 0xAD, 0x00});
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 0x00}));
  EXPECT_EQ(sim.Stats(ep.id).framingErrors, 3u);
  // A packet cut short is dropped after the inter-byte timeout.
  sim.SetFrameTimeoutMs(50);
  link->Send({0x04, 0x05, 0x03});
  // The simulator drops the partial packet when the next byte comes after the
  // timeout: there is no state to wait for, the time itself is the condition.
  usleep(150 * 1000);
  EXPECT_EQ(Ask({0xAD, 0x00}), (Bytes{0x04, 0x00}));
  EXPECT_EQ(sim.Stats(ep.id).partialDropped, 1u);
}

TEST_F(SimProtocol, EachConnectionIsALinkOfItsOwn) {
  RawLink second = RawLink::Tcp(ep.port);
  ASSERT_TRUE(second.ok());
  second.Send({0xAD, 0x00});
  link->Send({0x04, 3, 0x03, 0x48, 0x20});
  EXPECT_EQ(second.Packet(), (Bytes{0x04, 0x00}));
  EXPECT_EQ(link->Packet(), (Bytes{0x04, 4, 0x03, 0x08, 0x00, 19}));
  EXPECT_TRUE(second.Packets(1, 100).empty());
  EXPECT_EQ(sim.Stats(ep.id).links, 2u);
}

}  // namespace
