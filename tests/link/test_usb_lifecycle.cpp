// Lifecycles of USB links in one process on the simulated bus: creates that
// race, many links at once, reads cancelled while bytes flow, a stop in the
// middle of a stream, and a reset with a filter being installed. The bus must
// be preloaded, so each case re-runs this program on one UsbLifecycleChild
// test with the bus and its description in the environment.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildTest.h"
#include "LinkTestSupport.h"
#include "vLink.h"
#include "vStream.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* kChildSwitch = "USB_LIFECYCLE_CHILD";
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;

// Runs UsbLifecycleChild.<test> with the bus described by spec preloaded.
void RunChild(const std::string& test, const std::string& spec) {
  testsupport::ExpectPassesInChild("UsbLifecycleChild." + test,
                                   testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"),
                                   {{"VELMARINE_USB_SIM", spec}, {kChildSwitch, "1"}}, 240000);
}

class UsbLifecycleChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!getenv(kChildSwitch)) GTEST_SKIP() << "runs only under the simulated bus";
    control_ = reinterpret_cast<Control>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
    ASSERT_NE(control_, nullptr);
  }
  void TearDown() override {
    if (control_) control_("stop");
  }
  std::string Bus(const std::string& command) { return control_(command.c_str()); }
  size_t Events(const std::string& line) {
    std::istringstream in(Bus("log"));
    size_t count = 0;
    for (std::string l; std::getline(in, l);) count += l == line;
    return count;
  }
  typedef const char* (*Control)(const char*);
  Control control_ = nullptr;
};

using linktest::Put;

// Sends the magic probe and waits for the module's answer.
bool Probe(uint32_t id) {
  if (Put(id, 0xAD, {}) != vErrNone) return false;
  vPacket* reply = vLink_AwaitPacket(id, 2000);
  bool ok = reply && reply->length == 0 && reply->address != 0;
  vPacket_Destroy(&reply);
  return ok;
}

TEST_F(UsbLifecycleChild, RacingCreates) {
  for (int round = 0; round < 5; round++) {
    std::atomic<int> ready{0};
    uint32_t ids[2] = {0, 0};
    double seconds[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
      threads.emplace_back([&, t] {
        ready++;
        while (ready < 2) std::this_thread::yield();
        auto start = Clock::now();
        ids[t] = vLink_CreateUSB(kSerial);
        seconds[t] = std::chrono::duration<double>(Clock::now() - start).count();
      });
    }
    for (auto& t : threads) t.join();
    // One link, registered and opened once; the thread that waited for it
    // to be built was woken when it was, not by a timer.
    ASSERT_NE(ids[0], 0u) << "round " << round;
    EXPECT_EQ(ids[0], ids[1]) << "round " << round;
    EXPECT_LT(seconds[0], 1.0) << "round " << round;
    EXPECT_LT(seconds[1], 1.0) << "round " << round;
    EXPECT_EQ(vLink_Destroy(&ids[0]), vErrNone);
    EXPECT_EQ(vLink_GetStatus(ids[1]), uint32_t(kLinkRunning));
    EXPECT_EQ(vLink_Destroy(&ids[1]), vErrNone);
  }
  EXPECT_EQ(Events("40F5849A claim"), 5u);
  EXPECT_EQ(Events("40F5849A release"), 5u);
}

TEST_F(UsbLifecycleChild, ManyLinksAtOnce) {
  // Each thread has a module of its own and shares the first one with all.
  constexpr int kThreads = 6, kRounds = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; round++) {
        uint32_t own = vLink_CreateUSB(0x10000001u + uint32_t(t));
        uint32_t shared = vLink_CreateUSB(0x10000000u);
        if (!own || !shared || !Probe(own) || !Probe(shared)) failures++;
        vLink_Destroy(&own);
        vLink_Destroy(&shared);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  std::istringstream in(Bus("log"));
  int claims = 0, releases = 0;
  for (std::string l; std::getline(in, l);) {
    claims += l.size() > 6 && l.compare(l.size() - 6, 6, " claim") == 0;
    releases += l.size() > 8 && l.compare(l.size() - 8, 8, " release") == 0;
  }
  EXPECT_GE(claims, kThreads * kRounds);
  EXPECT_EQ(claims, releases);
}

// Sample values of the streamed source, in arrival order.
std::vector<uint32_t> Samples(uint32_t id, double seconds) {
  std::vector<uint32_t> values;
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    vPacket* p = vLink_AwaitPacket(id, 100);
    if (p && p->length == 17 && p->data[0] == 7 && p->data[3] == 3)
      values.push_back(uint32_t(p->data[12]) << 24 | uint32_t(p->data[13]) << 16 |
                       uint32_t(p->data[14]) << 8 | p->data[15]);
    vPacket_Destroy(&p);
  }
  return values;
}

TEST_F(UsbLifecycleChild, CancelledReadsLoseNothingAndAStopMidStreamIsClean) {
  uint32_t id = vLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  // Subscribe to command 7, option 1, index 0 of the module.
  ASSERT_EQ(Put(id, kAddress, {0x5D, 0x81, 0, kAddress, 7, 1, 0}), vErrNone);
  // Another thread ends the reader's pending read over and over while the
  // samples flow: the bytes of a cancelled read must all be kept, in order.
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    linkRecord* record = vLink_GetRecord(id);
    while (!done) {
      vStream_Interrupt(record->stream);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<uint32_t> values = Samples(id, 1.5);
  done = true;
  interrupter.join();
  ASSERT_GT(values.size(), 200u);
  for (size_t i = 1; i < values.size(); i++) ASSERT_EQ(values[i], values[i - 1] + 1) << "at " << i;
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  EXPECT_GT(Events("40F5849A cancel in"), 20u);
  // Stopped while the module still streams: the route release goes out
  // and the interface is given back.
  EXPECT_EQ(vLink_Destroy(&id), vErrNone);
  EXPECT_EQ(Events("40F5849A release"), 1u);
  // The module takes it in its own time.
  for (int i = 0; i < 400 && Events("40F5849A route 0") == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(Events("40F5849A route 0"), 1u);
}

uint8_t CountProbeAnswers(const vPacket* packet, const void* ref) {
  if (packet->length != 0) return 0;
  (*static_cast<std::atomic<int>*>(const_cast<void*>(ref)))++;
  return 1;
}

TEST_F(UsbLifecycleChild, ResetKeepsTheFilterAndSynchronisesAgain) {
  uint32_t id = vLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  std::atomic<int> answers{0};
  // A filter is installed and removed all the while the link is reset.
  std::atomic<bool> done{false};
  std::thread installer([&] {
    while (!done) {
      vLink_InstallUserPacketFilter(id, CountProbeAnswers, &answers);
      vLink_InstallUserPacketFilter(id, nullptr, nullptr);
    }
  });
  for (int i = 0; i < 3; i++) EXPECT_EQ(vLink_Reset(id), vErrNone);
  done = true;
  installer.join();
  Bus("clear-log");
  ASSERT_EQ(vLink_InstallUserPacketFilter(id, CountProbeAnswers, &answers), vErrNone);
  ASSERT_EQ(vLink_Reset(id), vErrNone);
  EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  // Synchronised again: the handshake's probes went out (two answers end it;
  // the sync drops those not yet written).
  EXPECT_GE(Events("40F5849A out 2"), 2u);
  // The filter survived the reset and still takes the probe answers.
  answers = 0;
  ASSERT_EQ(Put(id, 0xAD, {}), vErrNone);
  for (int i = 0; i < 200 && answers == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(answers, 1);
  vPacket* queued = vLink_AwaitPacket(id, 50);
  EXPECT_EQ(queued, nullptr);
  vPacket_Destroy(&queued);
  EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

std::string Modules(int n) {
  std::string spec = "10000000:19:address=4";
  for (int i = 1; i <= n; i++) spec += ",1000000" + std::to_string(i) + ":19:address=4";
  return spec;
}

TEST(UsbLifecycle, TwoCreatesOfOneModuleShareOneLinkAtOnce) {
  RunChild("RacingCreates", "40F5849A:19:address=6");
}

TEST(UsbLifecycle, ManyLinksAreCreatedAndDestroyedAtOnce) {
  RunChild("ManyLinksAtOnce", Modules(6));
}

TEST(UsbLifecycle, CancelledReadsLoseNothingAndAStopMidStreamIsClean) {
  RunChild("CancelledReadsLoseNothingAndAStopMidStreamIsClean",
           "40F5849A:19:address=6:stream=7/1/0:stream-rate=2000");
}

TEST(UsbLifecycle, ResetKeepsTheFilterAndSynchronisesAgain) {
  RunChild("ResetKeepsTheFilterAndSynchronisesAgain", "40F5849A:19:address=6");
}

}  // namespace
