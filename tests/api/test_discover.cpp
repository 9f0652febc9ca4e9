// Finding a module before connecting: by serial number or by model, and the
// one retry over the other of USB and broker, with a broker stand-in that
// answers the local multicast search (this process has no USB modules).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "Entity.h"
#include "Link.h"
#include "vDiscovery.h"
#include "vLink.h"
#include "vMulticast.h"

using namespace Corvane::Velmarine;

namespace {

// Each test runs in a process of its own, and tests of other suites search
// for brokers at the same time: a serial number of this process alone keeps a
// search from taking another process's stand-in for its own.
const uint32_t kBrokerSerial = 0x5EED0000u ^ uint32_t(getpid());
// Models of 100 and above are announced only by these tests; 99 by none.
const uint8_t kBrokerModel = uint8_t(100 + getpid() % 100);
constexpr uint8_t kUnannouncedModel = 99;

// A broker on the local host as the search sees one: it holds the first free
// request port and answers each request with its linkSpec image.
class Announcer {
 public:
  Announcer(uint32_t serial, uint8_t model) {
    linkSpec spec{};
    spec.type = linkTypeVMesh;
    spec.serialNumber = serial;
    spec.model = model;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = 1;  // no broker behind it
    image_.resize(vLINKSPEC_IMAGE_SIZE);
    vLinkSpec_Pack(&spec, image_.data(), image_.size());
    in_addr group;
    inet_pton(AF_INET, vDISCOVERY_LOCAL_GROUP, &group);
    int port = 0;
    for (int n = 0; n < vDISCOVERY_LOCAL_PORT_COUNT && !requests_; n++) {
      requests_ = vMulticast_Create(0, group.s_addr, vDISCOVERY_LOCAL_REQUEST_PORT + n, 0);
      port = n;
    }
    if (requests_)
      replies_ = vMulticast_Create(0, group.s_addr, vDISCOVERY_LOCAL_REPLY_PORT + port, 1);
    if (ok()) thread_ = std::thread([this] { Serve(); });
  }
  ~Announcer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    vMulticast_Destroy(&requests_);
    vMulticast_Destroy(&replies_);
  }
  bool ok() const { return requests_ && replies_; }
  int answered() const { return answered_; }

 private:
  void Serve() {
    const uint8_t expected[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    while (!stop_) {
      uint8_t request[16];
      if (vMulticast_Receive(requests_, request, sizeof request) != 4) continue;
      if (memcmp(request, expected, 4) != 0) continue;
      ++answered_;
      vMulticast_Send(replies_, image_.data(), image_.size());
    }
  }
  std::vector<uint8_t> image_;
  vMulticast* requests_ = nullptr;
  vMulticast* replies_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
};

// A search asks each broker port with one reply port, which a search of
// another process may hold at that moment; the search then passes this
// broker by. A few searches make sure one of them got to ask.
template <typename Attempt>
vErr Searched(Attempt attempt) {
  vErr err = vErrNotFound;
  for (int i = 0; i < 5 && err == vErrNotFound; i++) err = attempt();
  return err;
}

vMeshConfig NoFallback() {
  vMeshConfig c;
  c.fallback = false;
  return c;
}

}  // namespace

TEST(Discover, FindsNothingWithoutModulesAndRetriesOnlyWhenAllowed) {
  Link link("nothing");
  ASSERT_EQ(link.setConfig(NoFallback()), vErrNone);
  EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x0BADF00D), vErrNotFound);
  linkSpec spec;
  EXPECT_EQ(link.getLinkSpecifier(&spec), vErrNotFound);
  EXPECT_EQ(link.discoverAndConnect(linkTypeSerial, 0x0BADF00D), vErrNotFound);

  Module m(0);
  EXPECT_EQ(m.connect(linkTypeUSB, 0), vErrParam);
  EXPECT_EQ(m.getLinkSpecifier(&spec), vErrNotFound);
  EXPECT_EQ(m.getStatus(), uint32_t(kLinkFault));
}

TEST(Discover, RetriesAUSBSearchAsABrokerClient) {
  Announcer broker(kBrokerSerial, kBrokerModel);
  ASSERT_TRUE(broker.ok());
  // Without the fallback only USB is searched, and there is no USB module (a
  // broker's module would have been found, and its connect refused).
  Link direct("direct");
  ASSERT_EQ(direct.setConfig(NoFallback()), vErrNone);
  EXPECT_EQ(direct.discoverAndConnect(linkTypeUSB, kBrokerSerial), vErrNotFound);

  // With it the broker's module is found and a client link to the broker
  // made (a ZeroMQ connection is made in the background, so the stand-in
  // that serves no broker still gives a running link).
  Link shared("shared");
  EXPECT_EQ(Searched([&] { return shared.discoverAndConnect(linkTypeUSB, kBrokerSerial); }),
            vErrNone);
  EXPECT_GE(broker.answered(), 1);
  linkSpec spec;
  ASSERT_EQ(shared.getLinkSpecifier(&spec), vErrNone);
  EXPECT_EQ(spec.type, linkTypeVMesh);
  EXPECT_EQ(spec.serialNumber, kBrokerSerial);
  EXPECT_TRUE(shared.isConnected());
}

TEST(Discover, TakesTheFirstModuleOfTheRequestedModel) {
  Announcer broker(kBrokerSerial, kBrokerModel);
  ASSERT_TRUE(broker.ok());
  Link wrongModel("wrong model");
  ASSERT_EQ(wrongModel.setConfig(NoFallback()), vErrNone);
  EXPECT_EQ(wrongModel.discoverAndConnect(linkTypeVMesh, 0, kUnannouncedModel), vErrNotFound);

  Link anyModel("any model");
  ASSERT_EQ(anyModel.setConfig(NoFallback()), vErrNone);
  EXPECT_EQ(Searched([&] { return anyModel.discoverAndConnect(linkTypeVMesh, 0, kBrokerModel); }),
            vErrNone);
  linkSpec spec;
  ASSERT_EQ(anyModel.getLinkSpecifier(&spec), vErrNone);
  EXPECT_EQ(spec.serialNumber, kBrokerSerial);
  EXPECT_EQ(spec.model, kBrokerModel);
}
