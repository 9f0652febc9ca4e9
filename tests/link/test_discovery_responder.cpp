// The simulator's discovery responder on the loopback interface: which
// requests it answers and the replies it sends, read by a plain socket. One
// test only, since parallel runs would share the discovery ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "VelmarineSim.h"
#include "vDiscovery.h"

namespace {

// A socket on the reply port that sends requests to the group through loopback.
struct Requester {
  int fd = -1;
  Requester() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(vDISCOVERY_TCPIP_REPLY_PORT);
    inet_pton(AF_INET, "127.0.0.1", &any.sin_addr);
    ok = bind(fd, (sockaddr*)&any, sizeof any) == 0;
    in_addr loopback;
    inet_pton(AF_INET, "127.0.0.1", &loopback);
    ok = ok && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) == 0;
    timeval t = {0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  }
  ~Requester() { close(fd); }
  void Send(const std::vector<uint8_t>& request) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(vDISCOVERY_TCPIP_REQUEST_PORT);
    inet_pton(AF_INET, vDISCOVERY_TCPIP_GROUP, &group.sin_addr);
    sendto(fd, request.data(), request.size(), 0, (sockaddr*)&group, sizeof group);
  }
  // Every datagram until 300 ms pass without one.
  std::vector<std::vector<uint8_t>> Replies() {
    std::vector<std::vector<uint8_t>> all;
    uint8_t buffer[64];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) >= 0) all.emplace_back(buffer, buffer + n);
    return all;
  }
  bool ok = false;
};

std::vector<uint8_t> Request() {
  std::vector<uint8_t> r(16, 0);
  r[0] = 1;
  return r;
}

TEST(DiscoveryResponder, AnswersValidRequestsOnItsInterfaceWithOneReplyPerModule) {
  velsim::DiscoveryOptions options;
  options.interfaceAddress = "127.0.0.1";
  velsim::DiscoveryResponder responder({{0x40F5849A, 19, 4, 0x1F90}, {0x2181F0EE, 4, 6, 2000}},
                                       options);
  ASSERT_NO_THROW(responder.Start());
  Requester host;
  ASSERT_TRUE(host.ok);

  std::vector<uint8_t> shortRequest(15, 0), wrongFirst(16, 0), trailing = Request();
  shortRequest[0] = 1;
  wrongFirst[0] = 2;
  trailing[9] = 1;
  for (const auto& bad : {shortRequest, wrongFirst, trailing}) host.Send(bad);
  EXPECT_TRUE(host.Replies().empty());
  EXPECT_EQ(responder.Ignored(), 3u);

  host.Send(Request());
  auto replies = host.Replies();
  ASSERT_EQ(replies.size(), 2u);
  const std::vector<uint8_t> first = {0, 4, 0x90, 0x1F, 0x9A, 0x84, 0xF5, 0x40,
                                      0, 0, 0,    0,    19,   0,    0,    0};
  EXPECT_EQ(replies[0], first);
  linkSpec spec;
  ASSERT_EQ(vDiscovery_ParseTCPIPReply(replies[1].data(), replies[1].size(), 0, &spec), vErrNone);
  EXPECT_EQ(spec.serialNumber, 0x2181F0EEu);
  EXPECT_EQ(spec.t.ip.ipPort, 2000u);
  EXPECT_EQ(responder.Requests(), 1u);
  responder.Stop();

  // Bound to an address that is not the one the request arrives on: silent.
  options.interfaceAddress = "127.0.0.2";
  velsim::DiscoveryResponder elsewhere({{0x40F5849A, 19, 4, 0x1F90}}, options);
  ASSERT_NO_THROW(elsewhere.Start());
  host.Send(Request());
  EXPECT_TRUE(host.Replies().empty());
  EXPECT_EQ(elsewhere.Requests(), 0u);

  velsim::DiscoveryOptions bad;
  bad.interfaceAddress = "eth0";
  velsim::DiscoveryResponder refused({}, bad);
  EXPECT_THROW(refused.Start(), std::invalid_argument);
}

}  // namespace
