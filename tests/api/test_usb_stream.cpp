// A Link over the simulated USB bus subscribes to a value that the bus's
// module streams ("stream=" and "stream-rate=" of the bus description). The
// bus must be preloaded, so the case re-runs this program on one
// UsbStreamChild test with the bus in the environment.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ChildTest.h"
#include "Link.h"

namespace {

using Corvane::Velmarine::Link;
const char* kChildSwitch = "USB_STREAM_CHILD";
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;

struct Seen {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
};

uint8_t Count(const vPacket* p, void* ref) {
  Seen* seen = static_cast<Seen*>(ref);
  uint32_t value = 0;
  if (Corvane::Velmarine::getStreamSample(p, nullptr, &value, nullptr) == vErrNone)
    seen->last = value;
  ++seen->calls;
  return 0;
}

// Connects a Link straight to the bus's module, without a broker.
void Connect(Link& link) {
  linkSpec spec{};
  spec.type = linkTypeUSB;
  spec.serialNumber = kSerial;
  spec.t.usb.usbId = kSerial;
  ASSERT_EQ(link.setLinkSpecifier(spec), vErrNone);
  vMeshConfig config;
  ASSERT_EQ(link.getConfig(&config), vErrNone);
  config.enabled = false;
  ASSERT_EQ(link.setConfig(config), vErrNone);
  ASSERT_EQ(link.connect(), vErrNone);
}

const char* Bus(const char* command) {
  typedef const char* (*Control)(const char*);
  auto control = reinterpret_cast<Control>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
  return control ? control(command) : "no bus";
}

TEST(UsbStreamChild, ResetReportsWhatWentWrong) {
  if (!getenv(kChildSwitch)) GTEST_SKIP() << "runs only under the simulated bus";
  Link link("usb-reset");
  Connect(link);
  EXPECT_EQ(link.reset(), vErrNone);
  EXPECT_TRUE(link.isConnected());
  // Unplugged: no new stream can be made, and the reset says so.
  EXPECT_STREQ(Bus("40F5849A disconnect"), "ok");
  EXPECT_NE(link.reset(), vErrNone);
  EXPECT_EQ(link.disconnect(), vErrNone);
  Bus("stop");
}

TEST(UsbStreamChild, SamplesArriveWhileSubscribed) {
  if (!getenv(kChildSwitch)) GTEST_SKIP() << "runs only under the simulated bus";
  Link link("usb-stream");
  Connect(link);
  Seen seen;
  ASSERT_EQ(link.registerStreamCallback(kAddress, 7, 1, 0, true, Count, &seen), vErrNone);
  uint8_t state = 0;
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), vErrNone);
  EXPECT_EQ(state, 1);
  // 200 samples a second: half a second brings well over 20.
  for (int i = 0; i < 300 && seen.calls < 20; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(seen.calls, 20);
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, 7, 1, 0, 0, &value), vErrNone);
  EXPECT_GT(value, 0u);
  // Unsubscribed: the module stops sending.
  ASSERT_EQ(link.enableStream(kAddress, 7, 1, 0, false), vErrNone);
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), vErrNone);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(link.disconnect(), vErrNone);
  Bus("stop");
}

// Runs UsbStreamChild.<test> with the bus described by spec preloaded.
void RunChild(const std::string& test, const std::string& spec) {
  testsupport::ExpectPassesInChild("UsbStreamChild." + test,
                                   testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"),
                                   {{"VELMARINE_USB_SIM", spec}, {kChildSwitch, "1"}}, 120000);
}

TEST(UsbStream, ALinkOverTheBusGetsTheSamplesItSubscribesTo) {
  RunChild("SamplesArriveWhileSubscribed",
           "40F5849A:19:address=6:stream=7/1/0:stream=0x07/2/0/1:stream-rate=200");
}

TEST(UsbStream, ResetOfALinkReportsWhatWentWrong) {
  RunChild("ResetReportsWhatWentWrong", "40F5849A:19:address=6");
}

}  // namespace
