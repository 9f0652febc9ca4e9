// The Link object against the module simulator over TCP and a pty: connecting
// from a specifier and its guards, UEI requests and byte runs as the module
// sees them, raw packets, time-outs, store slots, factory data and the packet log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "ApiSim.h"
#include "Link.h"
#include "TestSupport.h"
#include "vLink.h"

using namespace apitest;
using Corvane::Velmarine::Link;

namespace {

constexpr uint8_t kCaptureCommand = 0x30;  // a command only the test handler answers

// A module's stores as a test handler keeps them: store 1 has slots 0 to 7 of
// 64 bytes (slot 4 never confirms a close, slot 5 refuses writes with an error
// reply one byte longer than usual, slot 6 acknowledges writes with a wrong
// sum, slot 7 refuses its close with an error reply one byte too long); any
// other store or slot is missing.
struct Stores {
  std::mutex mutex;
  std::map<int, std::vector<uint8_t>> slots;
  std::map<uint8_t, int> open;  // handle -> slot
  std::map<uint8_t, size_t> readAt;
  uint8_t nextHandle = 7;

  void Handle(const velsim::Packet& r, velsim::Replies& out, uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    auto d = r.Data();
    auto reply = [&](std::vector<uint8_t> bytes) { out.Add(velsim::Packet::Make(address, bytes)); };
    uint8_t op = d[1];
    if (op >= 1 && op <= 4) {
      uint8_t store = d[2], slot = d[3];
      if (store != 1 || slot > 7) return reply({4, uint8_t(op | 0x80), store, slot, 13});
      auto& bytes = slots[slot];
      if (op == 1) return reply({4, 1, store, slot, 0, 64});
      if (op == 2) return reply({4, 2, store, slot, 0, uint8_t(bytes.size())});
      if (op == 4) bytes.clear();
      uint8_t h = nextHandle++;
      open[h] = slot;
      readAt[h] = 0;
      return reply({4, op, store, slot, h});
    }
    uint8_t h = d[2];
    if (!open.count(h)) return reply({4, uint8_t(op | 0x80), h, 3});
    auto& bytes = slots[open[h]];
    if (op == 6) {
      size_t at = readAt[h], n = std::min<size_t>(20, bytes.size() - at);
      std::vector<uint8_t> rep = {4, 6, h};
      rep.insert(rep.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
      readAt[h] += n;
      return reply(rep);
    }
    if (op == 7) {
      if (open[h] == 5) return reply({4, 0x87, h, 13, 0});
      if (bytes.size() + d.size() - 3 > 64) return reply({4, 0x87, h, 15});
      uint8_t sum = 0;
      for (size_t i = 3; i < d.size(); ++i) sum = uint8_t(sum + d[i]), bytes.push_back(d[i]);
      if (open[h] == 6) sum = uint8_t(sum + 1);
      return reply({4, 7, h, sum});
    }
    if (op == 8) {
      bool silent = open[h] == 4, garbled = open[h] == 7;
      open.erase(h);
      if (silent) return;
      if (garbled) return reply({4, 0x88, h, 13, 0});
      return reply({4, 8, h, 0});
    }
  }
};

// Factory data as a test handler keeps it: selectors 0 to 7; others are refused.
struct Factory {
  std::mutex mutex;
  std::map<uint8_t, std::vector<uint8_t>> data;
  size_t readAt = 0;
  int lastCloseCount = -1;

  int CloseCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastCloseCount;
  }

  void Handle(const velsim::Packet& r, velsim::Replies& out, uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    auto d = r.Data();
    auto reply = [&](std::vector<uint8_t> bytes) { out.Add(velsim::Packet::Make(address, bytes)); };
    uint8_t sel = d[1] & 0x0F;
    if (d[1] == 0x20) {
      lastCloseCount = d[2] << 8 | d[3];
      return reply({0x5E, 0});
    }
    if (sel > 7) return reply({0x5E, uint8_t(sel | 0x80), 28});
    auto& bytes = data[sel];
    if (d[1] & 0x10) {
      if (d[1] & 0x40) bytes.clear();
      bytes.insert(bytes.end(), d.begin() + 2, d.end());
      return reply({0x5E, sel});
    }
    if (d[1] & 0x40) readAt = 0;
    size_t n = std::min<size_t>(26, bytes.size() - readAt);
    std::vector<uint8_t> rep = {0x5E, sel};
    rep.insert(rep.end(), bytes.begin() + long(readAt), bytes.begin() + long(readAt + n));
    readAt += n;
    reply(rep);
  }
};

class LinkTest : public ApiSim {
 protected:
  void Extend() override {
    sim.RegisterCommand(
        kSerial, kCaptureCommand,
        [this](velsim::SimModule&, const velsim::Packet& p, velsim::Replies&) { captured.Add(p); });
    sim.RegisterCommand(kSerial, 0x04,
                        [this](velsim::SimModule&, const velsim::Packet& p, velsim::Replies& out) {
                          stores.Handle(p, out, kAddress);
                        });
    sim.RegisterCommand(kSerial, 0x5E,
                        [this](velsim::SimModule&, const velsim::Packet& p, velsim::Replies& out) {
                          factory.Handle(p, out, kAddress);
                        });
  }
  void Connect(Link& link) {
    ASSERT_EQ(link.connect(), vErrNone);
    ASSERT_TRUE(link.isConnected());
  }
  // Waits until the handler saw n packets.
  std::vector<velsim::Packet> Captured(size_t n) {
    for (int i = 0; i < 200 && captured.Get().size() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return captured.Get();
  }

  Recorder captured;
  Stores stores;
  Factory factory;
};

uei Request(uint8_t option, uint8_t index = 0x20) {
  uei u{};
  u.address = kAddress;
  u.command = 3;
  u.option = option;
  u.index = index;
  return u;
}

uei Expect(uint8_t option) {
  uei u{};
  u.address = kAddress;
  u.command = 3;
  u.option = option;
  u.index = 0;
  return u;
}

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - since)
                  .count());
}

}  // namespace

TEST_P(LinkTest, ConnectsFromASpecifierDisconnectsAndConnectsAgain) {
  Link link(Spec(), "first link");
  EXPECT_STREQ(link.getName(), "first link");
  EXPECT_EQ(link.getStatus(), uint32_t(kLinkFault));
  Connect(link);
  EXPECT_EQ(link.getStatus(), uint32_t(kLinkRunning));
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), vErrNone);
  EXPECT_EQ(address, kAddress);

  // Connected: a second connect, a new specifier and a new configuration are refused.
  EXPECT_EQ(link.connect(), vErrConnection);
  EXPECT_EQ(link.setLinkSpecifier(Spec()), vErrBusy);
  vMeshConfig config;
  config.fallback = false;
  EXPECT_EQ(link.setConfig(config), vErrMode);
  vMeshConfig now;
  ASSERT_EQ(link.getConfig(&now), vErrNone);
  EXPECT_TRUE(now.fallback);
  EXPECT_EQ(link.getConfig(nullptr), vErrParam);

  EXPECT_EQ(link.disconnect(), vErrNone);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), uint32_t(kLinkFault));
  EXPECT_EQ(link.disconnect(), vErrNone);
  EXPECT_EQ(link.getModuleAddress(&address), vErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(link.setConfig(config), vErrNone);

  Connect(link);
  EXPECT_EQ(link.getModuleAddress(&address), vErrNone);
  EXPECT_EQ(address, kAddress);
  link.disconnect();
  ASSERT_TRUE(sim.WaitFor(
      ep.id, [](const velsim::EndpointStats& s) { return s.routeOff >= 2; }, 20000));
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(LinkTest, RefusesWhatItCannotConnectAndPacketsWhileUnconnected) {
  Link none("none");
  linkSpec spec;
  EXPECT_EQ(none.getLinkSpecifier(&spec), vErrNotFound);
  EXPECT_EQ(none.connect(), vErrConfiguration);
  EXPECT_EQ(none.sendUEI(Request(0x48)), vErrConnection);
  uei reply = Expect(8);
  EXPECT_EQ(none.receiveUEI(kAddress, 3, 8, 0, &reply), vErrConnection);
  EXPECT_EQ(none.sendPacket(kAddress, 0x17, 0, nullptr), vErrConnection);
  EXPECT_EQ(none.enablePacketLog("x"), vErrConfiguration);
  EXPECT_EQ(none.disablePacketLog(), vErrConfiguration);
  size_t size = 0;
  EXPECT_EQ(none.storeSlotSize(kAddress, 1, 0, &size), vErrConnection);
  EXPECT_EQ(none.getFactoryData(kAddress, 1, nullptr, 0, &size), vErrConnection);

  // A USB module that is not there cannot be shared: a clear code, and
  // nothing is left held.
  linkSpec usb{};
  usb.type = linkTypeUSB;
  usb.serialNumber = kSerial;
  Link shared(usb, "shared");
  EXPECT_EQ(shared.connect(), vErrConnection);
  EXPECT_EQ(shared.getStatus(), uint32_t(kLinkFault));
  // Broker clients are refused when the configuration switches brokers off.
  linkSpec client = Spec();
  client.type = linkTypeVMesh;
  client.t.ip.ipPort = 1;
  Link broker(client, "client");
  vMeshConfig direct;
  direct.enabled = false;
  ASSERT_EQ(broker.setConfig(direct), vErrNone);
  EXPECT_EQ(broker.connect(), vErrConfiguration);
  linkSpec odd = Spec();
  odd.type = linkTypeInvalid;
  Link invalid(odd, "invalid");
  EXPECT_EQ(invalid.connect(), vErrMode);

  // A module that cannot be reached gives no link.
  linkSpec gone = Spec();
  int holder = -1;
  if (GetParam() == "tcp") {
    // A port bound but never listened on refuses connections, and no other
    // test running at the same time can take it over.
    holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
    gone.t.ip.ipPort = ntohs(address.sin_port);
  } else {
    strcpy(gone.t.serial.portName, "/nonexistent/tty");
  }
  Link unreachable(gone, "unreachable");
  EXPECT_EQ(unreachable.connect(), vErrConnection);
  EXPECT_FALSE(unreachable.isConnected());
  if (holder >= 0) close(holder);
}

TEST_P(LinkTest, ExchangesUEIRequestsAndErrorReplies) {
  Link link(Spec(), "uei");
  Connect(link);
  ASSERT_EQ(link.sendUEI(Request(0x49)), vErrNone);
  uei reply = Expect(9);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 9, 0, &reply), vErrNone);
  EXPECT_EQ(reply.kind, ueiKind32);
  EXPECT_EQ(reply.value.u32, kSerial);
  EXPECT_EQ(reply.index, 0);

  // A set of an 8-bit value, answered without a value, then read back.
  uei set = Request(0x84);
  set.kind = ueiKind8;
  set.value.u8 = 0;
  ASSERT_EQ(link.sendUEI(set), vErrNone);
  reply = Expect(0xC4);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 0xC4, 0, &reply), vErrNone);
  EXPECT_EQ(reply.kind, ueiKindNone);
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 0u);

  // 32-bit set with the value most significant byte first.
  set = Request(0x80 | 34);
  set.kind = ueiKind32;
  set.value.u32 = 0x01020304;
  ASSERT_EQ(link.sendUEI(set), vErrNone);
  reply = Expect(0xC0 | 34);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 0xC0 | 34, 0, &reply), vErrNone);
  EXPECT_EQ(sim.OptionValue(kSerial, 34), 0x01020304u);

  // An unknown option: bit 7 of the index and the code after it.
  ASSERT_EQ(link.sendUEI(Request(0x40 | 5)), vErrNone);
  reply = Expect(5);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 5, 0, &reply), vErrNone);
  EXPECT_TRUE(reply.index & 0x80);
  EXPECT_EQ(reply.value.u8, vErrInvalidOption);

  // Bad module addresses and kinds are refused before anything is sent.
  uei bad = Request(0x48);
  bad.address = 3;
  EXPECT_EQ(link.sendUEI(bad), vErrPacket);
  bad.address = 0;
  EXPECT_EQ(link.sendUEI(bad), vErrPacket);
  EXPECT_EQ(link.receiveUEI(3, 3, 8, 0, &reply), vErrPacket);
  uei strange = Request(0x48);
  strange.kind = 3;
  EXPECT_EQ(link.sendUEI(strange), vErrParam);
  strange.kind = ueiKindBytes;
  EXPECT_EQ(link.sendUEI(strange, 1), vErrParam);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(LinkTest, SendsByteValuesInSequencedPacketsAndSubindexRequests) {
  Link link(Spec(), "bytes");
  Connect(link);
  std::vector<uint8_t> bytes(25);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(0xA0 + i);
  uei u{};
  u.address = kAddress;
  u.command = kCaptureCommand;
  u.option = 0x81;
  u.index = 0x20;
  u.kind = ueiKindBytes;
  u.value.bytes = bytes.data();
  u.size = 24;
  ASSERT_EQ(link.sendUEI(u), vErrNone);  // exactly one full packet
  u.size = 25;
  ASSERT_EQ(link.sendUEI(u), vErrNone);  // 24 + 1
  u.size = 0;
  ASSERT_EQ(link.sendUEI(u), vErrNone);  // an empty value still sends one packet
  auto got = Captured(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].length, 28);
  EXPECT_EQ(got[0].data[27], 0);
  EXPECT_EQ(got[0].data[3], 0xA0);
  EXPECT_EQ(got[1].length, 28);
  EXPECT_EQ(got[1].data[27], 0x80);
  EXPECT_EQ(got[2].Data(), (std::vector<uint8_t>{kCaptureCommand, 0x81, 0x20, 0xB8, 1}));
  EXPECT_EQ(got[3].Data(), (std::vector<uint8_t>{kCaptureCommand, 0x81, 0x20, 0}));

  // The subindex comes right after the index byte, then the value.
  uei s{};
  s.address = kAddress;
  s.command = kCaptureCommand;
  s.option = 0x82;
  s.index = 0x21;
  s.kind = ueiKindNone;
  ASSERT_EQ(link.sendUEI(s, 9), vErrNone);
  s.kind = ueiKind16;
  s.value.u16 = 0xBEEF;
  ASSERT_EQ(link.sendUEI(s, 9), vErrNone);
  s.kind = ueiKind32;
  s.value.u32 = 0x11223344;
  ASSERT_EQ(link.sendUEI(s, 9), vErrNone);
  got = Captured(7);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[4].Data(), (std::vector<uint8_t>{kCaptureCommand, 0x82, 0x21, 9}));
  EXPECT_EQ(got[5].Data(), (std::vector<uint8_t>{kCaptureCommand, 0x82, 0x21, 9, 0xBE, 0xEF}));
  EXPECT_EQ(got[6].Data(),
            (std::vector<uint8_t>{kCaptureCommand, 0x82, 0x21, 9, 0x11, 0x22, 0x33, 0x44}));
}

TEST_P(LinkTest, TimesOutOnSilenceAndKeepsUnmatchedRepliesForADrain) {
  Link link(Spec(), "silence");
  Connect(link);
  SetFaults("mute=0xAD,mute=3");
  uint8_t address = 99;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.getModuleAddress(&address), vErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_GE(ElapsedMs(start), 900);
  ASSERT_EQ(link.sendUEI(Request(0x48)), vErrNone);
  uei reply = Expect(8);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.receiveUEI(kAddress, 3, 8, 0, &reply), vErrTimeout);
  EXPECT_GE(ElapsedMs(start), 900);
  EXPECT_TRUE(link.isConnected());

  // Replies nobody waited for stay queued until drained.
  SetFaults("");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(link.sendUEI(Request(0x48)), vErrNone);
  ASSERT_EQ(link.sendUEI(Request(0x49)), vErrNone);
  reply = Expect(9);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 9, 0, &reply), vErrNone);
  EXPECT_EQ(link.dropMatchingUEIPackets(kAddress, 3, 8, 0), vErrNone);
  reply = Expect(8);
  EXPECT_EQ(link.receiveUEI(kAddress, 3, 8, 0, &reply), vErrTimeout);

  // Error replies are drained too, every one of them: none is left for a
  // later request to take as its answer.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(link.sendUEI(Request(0x40 | 5)), vErrNone);
  ASSERT_EQ(link.sendUEI(Request(0x49)), vErrNone);
  reply = Expect(9);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 9, 0, &reply), vErrNone);
  EXPECT_EQ(link.dropMatchingUEIPackets(kAddress, 3, 5, 0), vErrNone);
  reply = Expect(5);
  EXPECT_EQ(link.receiveUEI(kAddress, 3, 5, 0, &reply), vErrTimeout);
}

TEST_P(LinkTest, SendsAndReceivesRawPackets) {
  Link link(Spec(), "raw");
  Connect(link);
  const uint8_t data[28] = {1, 2, 3};
  EXPECT_EQ(link.sendPacket(kAddress, 0x17, 28, data), vErrParam);
  EXPECT_EQ(link.sendPacket(3, 0x17, 3, data), vErrPacket);
  ASSERT_EQ(link.sendPacket(kAddress, 0x17, 3, data), vErrNone);
  uint8_t match = 0x17, length = 1, got[28] = {};
  ASSERT_EQ(link.receivePacket(kAddress, &match, &length, got), vErrNone);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{0x17, 1, 2, 3}));
  // The largest packet: command and 27 bytes.
  ASSERT_EQ(link.sendPacket(kAddress, 0x17, 27, data), vErrNone);
  length = 0;  // any packet
  ASSERT_EQ(link.receivePacket(kAddress, nullptr, &length, got), vErrNone);
  EXPECT_EQ(length, 28);
  length = 1;
  EXPECT_EQ(link.receivePacket(kAddress, &match, &length, got), vErrTimeout);
  EXPECT_EQ(link.receivePacket(5, &match, &length, got), vErrPacket);
}

TEST_P(LinkTest, ReadsAndWritesStoreSlots) {
  Link link(Spec(), "slots");
  Connect(link);
  size_t value = 0;
  ASSERT_EQ(link.storeSlotCapacity(kAddress, 1, 0, &value), vErrNone);
  EXPECT_EQ(value, 64u);
  // The module's error code comes back unchanged.
  EXPECT_EQ(link.storeSlotSize(kAddress, 2, 0, &value), vErrRange);

  std::vector<uint8_t> data(26);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  ASSERT_EQ(link.loadStoreSlot(kAddress, 1, 0, data.data(), data.size()), vErrNone);
  ASSERT_EQ(link.storeSlotSize(kAddress, 1, 0, &value), vErrNone);
  EXPECT_EQ(value, 26u);
  {
    std::lock_guard<std::mutex> lock(stores.mutex);
    EXPECT_EQ(stores.slots[0], data);
    EXPECT_TRUE(stores.open.empty()) << "the slot was not closed";
  }

  std::vector<uint8_t> back(64);
  size_t count = 0;
  ASSERT_EQ(link.unloadStoreSlot(kAddress, 1, 0, back.data(), back.size(), &count), vErrNone);
  ASSERT_EQ(count, 26u);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 26), data);

  // A shorter buffer gets the first bytes and an overrun.
  std::vector<uint8_t> thirty(30, 0x5A);
  ASSERT_EQ(link.loadStoreSlot(kAddress, 1, 1, thirty.data(), thirty.size()), vErrNone);
  uint8_t small[10] = {};
  EXPECT_EQ(link.unloadStoreSlot(kAddress, 1, 1, small, sizeof small, &count), vErrOverrun);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(small[9], 0x5A);

  // An empty load opens and closes; a slot that cannot open is a media error;
  // a write the module refuses stops the load with its code and still closes.
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 2, nullptr, 0), vErrNone);
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 9, data.data(), data.size()), vErrMedia);
  std::vector<uint8_t> big(70, 1);
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 3, big.data(), big.size()), vErrOverrun);
  // A close the module never confirms, and a refusal of an unusual length, are
  // failures too.
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 4, data.data(), data.size()), vErrTimeout);
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 5, data.data(), data.size()), vErrIO);
  // A write the module acknowledged with another byte sum than the chunk's
  // did not store what was sent; a garbled refusal of the close is no success.
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 6, data.data(), data.size()), vErrIO);
  EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 7, data.data(), data.size()), vErrIO);
  EXPECT_EQ(link.unloadStoreSlot(kAddress, 1, 7, back.data(), back.size(), &count), vErrIO);
  std::lock_guard<std::mutex> lock(stores.mutex);
  EXPECT_TRUE(stores.open.empty());
  EXPECT_EQ(stores.slots[3].size(), 50u);
}

TEST_P(LinkTest, ReadsAndWritesFactoryData) {
  Link link(Spec(), "factory");
  Connect(link);
  std::vector<uint8_t> data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(100 + i);
  ASSERT_EQ(link.setFactoryData(kAddress, 1, data.data(), data.size()), vErrNone);
  EXPECT_EQ(factory.CloseCount(), 40);
  {
    std::lock_guard<std::mutex> lock(factory.mutex);
    EXPECT_EQ(factory.data[1], data);
  }
  std::vector<uint8_t> back(64);
  size_t count = 0;
  ASSERT_EQ(link.getFactoryData(kAddress, 1, back.data(), back.size(), &count), vErrNone);
  ASSERT_EQ(count, 40u);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 40), data);
  EXPECT_EQ(factory.CloseCount(), 40);
  // A buffer that the data fills exactly takes it all.
  std::vector<uint8_t> exact(40);
  ASSERT_EQ(link.getFactoryData(kAddress, 1, exact.data(), exact.size(), &count), vErrNone);
  EXPECT_EQ(exact, data);
  // A buffer too small is an overrun.
  std::vector<uint8_t> small(30);
  EXPECT_EQ(link.getFactoryData(kAddress, 1, small.data(), small.size(), &count), vErrOverrun);
  // A selector the module refuses: its code on reading.
  EXPECT_EQ(link.getFactoryData(kAddress, 9, back.data(), back.size(), &count), vErrInvalidEntity);
  EXPECT_NE(link.setFactoryData(kAddress, 9, data.data(), data.size()), vErrNone);
  // Empty data sends only the closing request.
  ASSERT_EQ(link.setFactoryData(kAddress, 2, nullptr, 0), vErrNone);
  EXPECT_EQ(factory.CloseCount(), 0);
}

TEST_P(LinkTest, WritesThePacketLog) {
  testsupport::TempDir dir;
  std::string path = dir / "packets.log";
  Link link(Spec(), "log");
  Connect(link);
  ASSERT_EQ(link.enablePacketLog(path.c_str()), vErrNone);
  ASSERT_EQ(link.sendUEI(Request(0x48)), vErrNone);
  uei reply = Expect(8);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 8, 0, &reply), vErrNone);
  ASSERT_EQ(link.disablePacketLog(), vErrNone);
  std::string log = testsupport::ReadFile(path);
  // The text entry that opens the log, then the request and its reply.
  const size_t start = log.find(std::string("6 < START") + '\0' + "\r\n");
  ASSERT_NE(start, std::string::npos) << log;
  EXPECT_GT(log.find("5 > 0x4 0x3 0x3 0x48 0x20 \r\n"), start) << log;
  EXPECT_NE(log.find("5 > 0x4 0x3 0x3 0x48 0x20 \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("6 < 0x4 0x4 0x3 0x8 0x0 0x13 \r\n"), std::string::npos) << log;

  // After a reconnect the log follows the new link.
  link.disconnect();
  Connect(link);
  ASSERT_EQ(link.enablePacketLog(path.c_str()), vErrNone);
  ASSERT_EQ(link.sendUEI(Request(0x49)), vErrNone);
  reply = Expect(9);
  ASSERT_EQ(link.receiveUEI(kAddress, 3, 9, 0, &reply), vErrNone);
  ASSERT_EQ(link.disablePacketLog(), vErrNone);
  log = testsupport::ReadFile(path);
  EXPECT_NE(log.find("5 > 0x4 0x3 0x3 0x49 0x20 \r\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkTest, ::testing::Values("tcp", "pty"));
