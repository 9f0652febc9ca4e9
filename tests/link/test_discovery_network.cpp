// Network discovery: brokers on the local host found through an in-test
// announcer on loopback multicast, and TCP/IP modules and beacon-announced
// brokers found across a veth pair between two network namespaces that the
// tests create and remove themselves (skipped where that is not permitted).
#include <arpa/inet.h>
#include <czmq.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "TestSupport.h"
#include "vDiscovery.h"
#include "vMulticast.h"

#if defined(__SANITIZE_THREAD__)
// libzmq and CZMQ are not built for ThreadSanitizer: a beacon's message handed
// from the caller to the beacon thread through libzmq's lock-free pipes shows
// up as a race the sanitizer cannot see the ordering of.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:libczmq.so\n";
}
#endif

namespace {

uint32_t Ip(const char* dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

std::vector<uint8_t> Image(uint32_t serial, const char* ip, uint32_t model = 19) {
  linkSpec spec{};
  spec.type = linkTypeVMesh;
  spec.serialNumber = serial;
  spec.model = model;
  spec.t.ip.ipAddress = Ip(ip);
  spec.t.ip.ipPort = 5555;
  std::vector<uint8_t> image(vLINKSPEC_IMAGE_SIZE);
  vLinkSpec_Pack(&spec, image.data(), image.size());
  return image;
}

// Collects what an enumeration reports, taking every module until stopAfter.
struct Found {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;
  std::string Serials() const {
    std::string s;
    char text[12];
    for (const linkSpec& f : specs) {
      snprintf(text, sizeof text, "%s%08X", s.empty() ? "" : " ", f.serialNumber);
      s += text;
    }
    return s;
  }
};

bool Collect(const linkSpec* found, bool* accepted, void* ref) {
  Found* f = (Found*)ref;
  f->specs.push_back(*found);
  *accepted = true;
  return f->stopAfter == 0 || f->specs.size() < f->stopAfter;
}

// A broker stand-in on the local host: holds the first free request port and
// answers every request with the datagrams it was given.
class LocalAnnouncer {
 public:
  explicit LocalAnnouncer(std::vector<std::vector<uint8_t>> replies)
      : replies_(std::move(replies)) {
    uint32_t group = Ip(vDISCOVERY_LOCAL_GROUP);
    for (int n = 0; n < vDISCOVERY_LOCAL_PORT_COUNT && !requests_; n++) {
      requests_ = vMulticast_Create(0, group, vDISCOVERY_LOCAL_REQUEST_PORT + n, 0);
      if (requests_) port_ = n;
    }
    if (!requests_) return;
    replier_ = vMulticast_Create(0, group, vDISCOVERY_LOCAL_REPLY_PORT + port_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LocalAnnouncer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    vMulticast_Destroy(&requests_);
    vMulticast_Destroy(&replier_);
  }
  bool ok() const { return requests_ && replier_; }
  int requests() const { return answered_; }

 private:
  void Serve() {
    while (!stop_) {
      uint8_t request[16];
      int n = vMulticast_Receive(requests_, request, sizeof request);
      const uint8_t expected[4] = {0xBA, 0xDC, 0xCD, 0xAB};
      if (n != 4 || memcmp(request, expected, 4) != 0) continue;
      ++answered_;
      for (const auto& r : replies_) vMulticast_Send(replier_, r.data(), r.size());
    }
  }
  std::vector<std::vector<uint8_t>> replies_;
  vMulticast* requests_ = nullptr;
  vMulticast* replier_ = nullptr;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
};

TEST(BrokerDiscovery, LocalSearchFindsEachAnnouncingBrokerOnceAndIgnoresBadAnnouncements) {
  std::vector<uint8_t> shortOne = Image(0x0BAD0001, "127.0.0.1");
  shortOne.pop_back();
  std::vector<uint8_t> longOne = Image(0x0BAD0002, "127.0.0.1");
  longOne.push_back(0);
  // One broker per request port; the search waits for one datagram per port.
  LocalAnnouncer first({Image(0x40F5849A, "127.0.0.1")});
  LocalAnnouncer tooShort({shortOne});
  LocalAnnouncer tooLong({longOne});
  LocalAnnouncer elsewhere({Image(0x0BAD0003, "10.1.2.3")});
  LocalAnnouncer again({Image(0x40F5849A, "127.0.0.1")});  // the same broker a second time
  LocalAnnouncer second({Image(0x2181F0EE, "127.0.0.1", 4)});
  ASSERT_TRUE(first.ok() && tooShort.ok() && tooLong.ok() && elsewhere.ok() && again.ok() &&
              second.ok());

  Found found;
  // 127.0.0.1 asks for the local search even though the host has other interfaces.
  // Brokers of other tests running at the same time may show up too: only
  // the ones announced here are checked.
  int count = vDiscovery_EnumerateModules(linkTypeVMesh, Collect, &found, Ip("127.0.0.1"));
  std::vector<linkSpec> ours;
  for (const linkSpec& f : found.specs)
    if (f.serialNumber == 0x40F5849A || f.serialNumber == 0x2181F0EE ||
        (f.serialNumber & 0xFFFF0000) == 0x0BAD0000)
      ours.push_back(f);
  EXPECT_EQ(count, int(found.specs.size()));
  found.specs = ours;
  EXPECT_EQ(found.Serials(), "40F5849A 2181F0EE");
  ASSERT_EQ(found.specs.size(), 2u);
  EXPECT_EQ(found.specs[1].type, linkTypeVMesh);
  EXPECT_EQ(found.specs[1].model, 4u);
  EXPECT_EQ(found.specs[1].t.ip.ipPort, 5555u);
  EXPECT_GE(again.requests(), 1);

  Found one;
  one.stopAfter = 1;
  EXPECT_EQ(vDiscovery_Enumerate_vMeshModules(Collect, &one, 0), 1);
  EXPECT_EQ(one.specs.size(), 1u);  // a search that went on would have reported more

  linkSpec* spec = vDiscovery_FindModule(linkTypeVMesh, 0x2181F0EE, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0x2181F0EEu);
  EXPECT_EQ(spec->t.ip.ipAddress, Ip("127.0.0.1"));
  vLinkSpec_Destroy(&spec);
  EXPECT_EQ(vDiscovery_FindModule(linkTypeVMesh, 0x12345678, 0), nullptr);
}

// --- network namespaces ------------------------------------------------------

const char* const kAddressA = testsupport::NetNamespaces::kAddressA;
const char* const kAddressB = testsupport::NetNamespaces::kAddressB;

// Namespaces A and B joined by a veth pair, and L with only its loopback.
class NamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = hosts_.Create("vdisc");
    if (!why.empty()) GTEST_SKIP() << why << ": TCP/IP and beacon discovery tests skipped";
    ip_ = hosts_.IpProgram();
    a_ = hosts_.a;
    b_ = hosts_.b;
    l_ = hosts_.l;
  }

  // Runs work in a child process that has joined the namespace; returns what
  // it wrote (its stdout), or "" with a failure when it did not finish.
  std::string InNamespace(const std::string& ns, const std::function<std::string()>& work,
                          int timeoutMs = 60000) {
    bool ok = false;
    std::string text = hosts_.InNamespace(ns, work, &ok, timeoutMs);
    EXPECT_TRUE(ok) << "the search in namespace " << ns << " did not end well";
    return text;
  }

  testsupport::NetNamespaces hosts_;
  std::string ip_, a_, b_, l_;
};

std::string Describe(const Found& found) {
  std::string text;
  char line[128];
  for (const linkSpec& f : found.specs) {
    char address[16];
    vDiscovery_ConvertIPv4Interface(f.t.ip.ipAddress, address, sizeof address);
    snprintf(line, sizeof line, "%u %08X m%u a%u r%u rs%08X %s:%u\n", f.type, f.serialNumber,
             f.model, f.moduleAddress, f.routerAddress, f.routerSerialNumber, address,
             f.t.ip.ipPort);
    text += line;
  }
  return text;
}

TEST_F(NamespaceTest, TcpipDiscoveryFindsTheSimulatorsModulesAndIgnoresMalformedReplies) {
  testsupport::Background sim(
      ip_,
      {"netns", "exec", b_, testsupport::ProgramPath("sim/module", "velmarine-sim"), "--module",
       "serial=40F5849A,model=19,address=4", "--tcp", std::string(kAddressB) + ":0", "--module",
       "serial=2181F0EE,model=4,address=6", "--tcp", std::string(kAddressB) + ":0",
       "--discovery-interface", kAddressB, "--discovery-malformed"});
  std::vector<std::string> ports;
  std::string line;
  while (!(line = sim.ReadLine()).empty() && line.rfind("discovery", 0) != 0)
    ports.push_back(line.substr(line.rfind(':') + 1, line.find(' ', 4) - line.rfind(':') - 1));
  ASSERT_EQ(line, std::string("discovery 232.2.2.2:9888 ") + kAddressB);
  ASSERT_EQ(ports.size(), 2u);

  std::string text = InNamespace(a_, [] {
    Found all;
    int count = vDiscovery_EnumerateModules(linkTypeTCPIP, Collect, &all, 0);
    Found first;
    first.stopAfter = 1;
    int firstCount = vDiscovery_EnumerateModules(linkTypeTCPIP, Collect, &first, 0);
    linkSpec* found = vDiscovery_FindModule(linkTypeTCPIP, 0x2181F0EE, 0);
    linkSpec* missing = vDiscovery_FindModule(linkTypeTCPIP, 0x12345678, 0);
    std::string out = "count " + std::to_string(count) + "\n" + Describe(all) + "first " +
                      std::to_string(firstCount) + " " + first.Serials() + "\n";
    out += found ? "find " + std::to_string(found->t.ip.ipPort) + "\n" : "find none\n";
    out += missing ? "missing found\n" : "missing none\n";
    vLinkSpec_Destroy(&found);
    vLinkSpec_Destroy(&missing);
    return out;
  });
  EXPECT_EQ(text,
            "count 2\n"
            "2 40F5849A m19 a4 r4 rs40F5849A 10.213.0.2:" +
                ports[0] +
                "\n"
                "2 2181F0EE m4 a6 r6 rs2181F0EE 10.213.0.2:" +
                ports[1] +
                "\n"
                "first 1 40F5849A\n"
                "find " +
                ports[1] +
                "\n"
                "missing none\n");
}

TEST_F(NamespaceTest, TcpipDiscoveryWithOnlyLoopbackSendsNothingAndFindsNothing) {
  std::string text = InNamespace(l_, [] {
    auto start = std::chrono::steady_clock::now();
    Found all;
    int count = vDiscovery_EnumerateModules(linkTypeTCPIP, Collect, &all, 0);
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count());
    // Nothing sent means no 2 s wait for replies.
    return "count " + std::to_string(count) + (ms < 1500 ? " quick" : " waited");
  });
  EXPECT_EQ(text, "count 0 quick");
}

// A searcher that keeps the listening window (stopped with Ctrl-Z, say) holds
// up the next search only for about one search's time, and the lock file is
// the user's own, so another user could not hold it at all.
TEST(TcpipDiscoveryLock, AHolderThatNeverLetsGoDelaysASearchOnlyBriefly) {
  struct stat ns;
  ASSERT_EQ(stat("/proc/self/ns/net", &ns), 0);
  std::string path = "/tmp/.velmarine-discovery-" + std::to_string((unsigned long long)ns.st_ino) +
                     "-" + std::to_string(getuid()) + ".lock";
  // A search makes the file: the user's own, for the user alone.
  unlink(path.c_str());
  Found first;
  vDiscovery_EnumerateModules(linkTypeTCPIP, Collect, &first, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, getuid());
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  int held = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0) << path;
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0) << "another search holds " << path;
  auto start = std::chrono::steady_clock::now();
  Found all;
  vDiscovery_EnumerateModules(linkTypeTCPIP, Collect, &all, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(held);
  // The wait (3 s) and at most one search's own listening (10 s), never 60 s.
  EXPECT_LT(seconds, 20.0);
}

TEST_F(NamespaceTest, BeaconSearchFindsABrokerOnceAndIgnoresOtherBeacons) {
  // The broker stand-in in namespace B: its image every 100 ms, and a beacon
  // of another length beside it.
  pid_t announcer = fork();
  if (announcer == 0) {
    int fd = open(("/run/netns/" + b_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(3);
    zsys_set_interface(kAddressB);
    std::vector<uint8_t> image = Image(0x40F5849A, kAddressB);
    std::vector<uint8_t> other(127, 0x42);
    zactor_t* good = zactor_new(zbeacon, nullptr);
    zactor_t* bad = zactor_new(zbeacon, nullptr);
    zsock_send(good, "si", "CONFIGURE", vDISCOVERY_BEACON_PORT);
    zsock_send(bad, "si", "CONFIGURE", vDISCOVERY_BEACON_PORT);
    char* h1 = zstr_recv(good);
    char* h2 = zstr_recv(bad);
    zstr_free(&h1);
    zstr_free(&h2);
    zsock_send(good, "sbi", "PUBLISH", image.data(), image.size(), 100);
    zsock_send(bad, "sbi", "PUBLISH", other.data(), other.size(), 100);
    zclock_sleep(8000);
    zactor_destroy(&good);
    zactor_destroy(&bad);
    _exit(0);
  }
  ASSERT_GT(announcer, 0);
  std::string text = InNamespace(a_, [] {
    Found all;
    int count = vDiscovery_EnumerateModules(linkTypeVMesh, Collect, &all, Ip(kAddressA));
    return "count " + std::to_string(count) + " " + all.Serials() + "\n" + Describe(all);
  });
  kill(announcer, SIGKILL);
  waitpid(announcer, nullptr, 0);
  EXPECT_EQ(text, "count 1 40F5849A\n4 40F5849A m19 a0 r0 rs00000000 10.213.0.2:5555\n");
}

}  // namespace
