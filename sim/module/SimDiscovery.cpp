// The UDP discovery responder of simulated TCP modules: listens for the
// 16-byte request on the discovery group and answers each request with one
// 16-byte reply per module, sent to the requester's reply port.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "VelmarineSim.h"

namespace velsim {

namespace {

constexpr char kGroup[] = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagramSize = 16;

std::runtime_error Failure(const std::string& what) {
  return std::runtime_error("discovery responder: " + what + ": " + strerror(errno));
}

}  // namespace

std::array<uint8_t, 16> DiscoveryReply(const DiscoveryEntry& entry) {
  std::array<uint8_t, 16> reply{};
  reply[1] = entry.address;
  reply[2] = uint8_t(entry.port);
  reply[3] = uint8_t(entry.port >> 8);
  for (int i = 0; i < 4; i++) reply[4 + i] = uint8_t(entry.serial >> (8 * i));
  reply[12] = entry.model;
  return reply;
}

DiscoveryResponder::DiscoveryResponder(std::vector<DiscoveryEntry> entries,
                                       DiscoveryOptions options)
    : entries_(std::move(entries)), options_(std::move(options)) {}

DiscoveryResponder::~DiscoveryResponder() { Stop(); }

void DiscoveryResponder::Start() {
  if (fd_ >= 0) return;
  struct in_addr interface;
  interface.s_addr = htonl(INADDR_ANY);
  if (!options_.interfaceAddress.empty() &&
      inet_pton(AF_INET, options_.interfaceAddress.c_str(), &interface) != 1)
    throw std::invalid_argument("discovery interface \"" + options_.interfaceAddress +
                                "\" is not an IPv4 address");
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure("socket");
  int on = 1;
  struct sockaddr_in any {};
  any.sin_family = AF_INET;
  any.sin_port = htons(kRequestPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  struct ip_mreq join {};
  inet_pton(AF_INET, kGroup, &join.imr_multiaddr);
  join.imr_interface = interface;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, (struct sockaddr*)&any, sizeof any) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
    std::runtime_error e = Failure("listening on " + std::string(kGroup) + ":9888");
    close(fd);
    throw e;
  }
  interface_ = interface.s_addr;
  fd_ = fd;
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void DiscoveryResponder::Stop() {
  if (fd_ < 0) return;
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close(fd_);
  fd_ = -1;
}

void DiscoveryResponder::Serve() {
  while (!stop_) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t request[64];
    struct sockaddr_in from {};
    char control[256];
    struct iovec io = {request, sizeof request};
    struct msghdr message {};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &message, MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) continue;
    // Bound to an interface: requests that came in elsewhere are not ours.
    bool here = interface_ == htonl(INADDR_ANY);
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        struct in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        if (info.ipi_spec_dst.s_addr == interface_) here = true;
      }
    }
    bool valid = n == ssize_t(kDatagramSize) && request[0] == 1;
    for (size_t i = 1; valid && i < kDatagramSize; i++) valid = request[i] == 0;
    if (!here || !valid) {
      ++ignored_;
      continue;
    }
    ++requests_;
    struct sockaddr_in to = from;
    to.sin_port = htons(kReplyPort);
    auto send = [&](const uint8_t* data, size_t size) {
      sendto(fd_, data, size, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to);
    };
    if (options_.malformed) {
      // A short reply, an overlong one and an empty one ahead of the real ones.
      std::array<uint8_t, 16> first =
          DiscoveryReply(entries_.empty() ? DiscoveryEntry{} : entries_.front());
      uint8_t overlong[24] = {};
      memcpy(overlong, first.data(), first.size());
      overlong[4] ^= 0x5A;  // a serial no module has
      send(first.data(), 7);
      send(overlong, sizeof overlong);
      send(first.data(), 0);
    }
    for (int copy = 0; copy < (options_.duplicate ? 2 : 1); copy++)
      for (const DiscoveryEntry& e : entries_) {
        std::array<uint8_t, 16> reply = DiscoveryReply(e);
        send(reply.data(), reply.size());
      }
  }
}

}  // namespace velsim
