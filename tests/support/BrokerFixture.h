// A broker on a TCP link to a simulated module, with client links to it, for
// the broker tests: the same broker a shared USB module gets, on a transport
// this process can reach without a preloaded USB bus.
#pragma once
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Await.h"
#include "LinkTestSupport.h"
#include "SimStream.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vServer_ZeroMQ.h"

namespace brokertest {

constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 19;
constexpr uint8_t kCapture = 0x30;  // a command the test handler records and answers

// A serial number of this process alone, so that searches of other tests
// running at the same time never take this broker for theirs.
inline uint32_t Serial() { return 0x0B000000u ^ uint32_t(getpid()); }

inline bool WaitUntil(const std::function<bool()>& test, int ms = 3000) {
  return testsupport::AwaitTrue(test, ms);
}

// Every packet of the capture command, as the module received them.
struct Captured {
  std::mutex mutex;
  std::vector<velsim::Packet> packets;
  std::vector<velsim::Packet> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets;
  }
};

class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    velsim::ModuleConfig c;
    c.serial = Serial();
    c.address = kAddress;
    c.model = kModel;
    c.name = "A name long enough for two packets of a byte run";
    sim.AddModule(c);
    sim.RegisterCommand(c.serial, kCapture,
                        [this](velsim::SimModule&, const velsim::Packet& p, velsim::Replies& out) {
                          {
                            std::lock_guard<std::mutex> lock(captured.mutex);
                            captured.packets.push_back(p);
                          }
                          // Answered unless more packets of a byte run follow.
                          if (!(p.data[p.length - 1] & 0x80))
                            out.Add(velsim::Packet::Make(kAddress, {kCapture, p.data[1], 0}));
                        });
    stream.reset(new velsim::SimStream(sim, c.serial, kAddress));
    ep = sim.OpenTcp(c.serial, 0);
    sim.Start();
    shared = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), ep.port);
    ASSERT_NE(shared, 0u);
    server = vServer_Create(shared, 0, true);
    ASSERT_NE(server, nullptr);
    vLink_RegistrySetServer(shared, server);
    // A search reports each serial number once: brokers of other tests must
    // not announce the same one (a TCP link's identifier is its address).
    vServer_SetSerialNumber(server, c.serial);
    ASSERT_EQ(vServer_Start(server), vErrNone);
    ASSERT_EQ(vServer_GetPort(server, &port), vErrNone);
  }
  void TearDown() override {
    for (uint32_t& id : clients)
      while (id && vLink_RegistryGetUseCount(id) > 0) {
        uint32_t copy = id;
        vLink_Destroy(&copy);
      }
    if (shared) vLink_Destroy(&shared);  // takes the server with it
    stream->Stop();
    sim.Stop();
  }
  uint32_t Client() {
    uint32_t id = vLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    EXPECT_NE(id, 0u);
    clients.push_back(id);
    return id;
  }

 public:
  static vErr Put(uint32_t id, uint8_t address, const std::vector<uint8_t>& data) {
    return linktest::Put(id, address, data);
  }
  // The next packet of the client's queue within timeoutMs; empty when none.
  static std::vector<uint8_t> Next(uint32_t id, uint32_t timeoutMs = 2500,
                                   uint8_t* address = nullptr) {
    vPacket* p = vLink_AwaitPacket(id, timeoutMs);
    if (!p) return {};
    if (address) *address = p->address;
    std::vector<uint8_t> d(p->data, p->data + p->length);
    vPacket_Destroy(&p);
    return d;
  }

 protected:
  // A DEALER of the test's own on the broker's frontend, to send raw frames.
  zsock_t* RawClient() {
    zsock_t* s = zsock_new(ZMQ_DEALER);
    zsock_set_linger(s, 0);
    zsock_set_rcvtimeo(s, 2500);
    EXPECT_EQ(zsock_connect(s, "tcp://127.0.0.1:%u", unsigned(port)), 0);
    return s;
  }

  velsim::Simulator sim;
  velsim::Endpoint ep;
  std::unique_ptr<velsim::SimStream> stream;
  Captured captured;
  uint32_t shared = 0;
  vServer* server = nullptr;
  uint16_t port = 0;
  std::vector<uint32_t> clients;
};

}  // namespace brokertest
