// The update server program under clients that misbehave: many clients that
// never finish their headers must not keep a normal request from its answer,
// and are cut off once their time for the headers is over; a keep-alive
// connection carries several requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// A TCP connection to the server's loopback port.
class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { close(fd_); }
  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  // Reads until `until` is in what arrived, the peer closes, or timeoutMs.
  std::string Receive(const std::string& until, int timeoutMs, bool* closed = nullptr) {
    std::string got;
    if (closed) *closed = false;
    while (got.find(until) == std::string::npos) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        if (closed) *closed = true;
        break;
      }
      got.append(buf, size_t(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

int PortOf(const std::string& url) {
  size_t colon = url.rfind(':');
  return colon == std::string::npos ? 0 : atoi(url.c_str() + colon + 1);
}

const char kHi[] = "GET /cgi/u?op=hi&rv=2 HTTP/1.1\r\nHost: localhost\r\n\r\n";

TEST(UpdateServerProgram, SlowClientsStarveNobodyAndAreCutOff) {
  testsupport::TempDir root;
  std::unique_ptr<testsupport::Background> server;
  std::string url = testsupport::StartUpdateServer(server, root.path(), {"--header-timeout", "2"});
  ASSERT_FALSE(url.empty());
  int port = PortOf(url);

  // More slow clients than the library's fixed pool had workers.
  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 40; ++i) {
    slow.emplace_back(new Client(port));
    ASSERT_TRUE(slow.back()->Connected());
    ASSERT_TRUE(slow.back()->Send("GET /cgi/u?op=hi HTTP/1.1\r\nHo"));
  }
  Client normal(port);
  ASSERT_TRUE(normal.Send(kHi));
  std::string reply = normal.Receive("\r\n\r\nok\n", 5000);
  EXPECT_NE(reply.find("200 OK"), std::string::npos) << reply;

  // Their two seconds over, the server ends every slow connection.
  for (auto& client : slow) {
    bool closed = false;
    client->Receive("(nothing ends this)", 10000, &closed);
    EXPECT_TRUE(closed);
  }
}

TEST(UpdateServerProgram, KeepAliveCarriesSeveralRequests) {
  testsupport::TempDir root;
  std::unique_ptr<testsupport::Background> server;
  std::string url = testsupport::StartUpdateServer(server, root.path());
  ASSERT_FALSE(url.empty());
  Client client(PortOf(url));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Send(kHi));
    std::string reply = client.Receive("\r\n\r\nok\n", 5000);
    EXPECT_NE(reply.find("200 OK"), std::string::npos) << i << ": " << reply;
  }
  // Two requests sent together are answered in order on the same connection.
  ASSERT_TRUE(client.Send(std::string(kHi) + "GET /cgi/u?op=qu&sn=1 HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string both = client.Receive("no builds for 00000001", 5000);
  EXPECT_NE(both.find("200 OK"), std::string::npos) << both;
  EXPECT_NE(both.find("404 Not Found"), std::string::npos) << both;
}

}  // namespace
