// The simulated module's upgrade loader and fingerprint, driven by raw bytes so
// that nothing of the host's transfer code stands between the test and the
// module; and modules plugged into the simulated USB bus at run time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "RawLink.h"
#include "TestSupport.h"
#include "VelmarineSim.h"

namespace {

using simtest::Bytes;
using simtest::RawLink;

constexpr uint32_t kSerial = 0x40F5849A;

class SimUpgrade : public ::testing::Test {
 protected:
  void Start(velsim::ModuleConfig c = {}, const velsim::FaultConfig& faults = {}) {
    c.serial = kSerial;
    c.blockSize = 32;
    c.rebootPauseMs = 200;
    sim.AddModule(c);
    sim.SetFaults(kSerial, faults);
    ep = sim.OpenTcp(kSerial, 0);
    sim.Start();
    Connect();
  }
  void Connect() {
    link = std::make_unique<RawLink>(RawLink::Tcp(ep.port));
    ASSERT_TRUE(link->ok());
  }
  Bytes Ask(const Bytes& data) {
    Bytes wire = {0x04, uint8_t(data.size())};
    wire.insert(wire.end(), data.begin(), data.end());
    link->Send(wire);
    return link->Packet();
  }
  // Init, one loader block and Load: the loader runs.
  void LoadLoader() {
    EXPECT_EQ(Ask({0x5F, 0}), (Bytes{0x04, 6, 0x5F, 0, 0x10, 0, 0, 0}));
    EXPECT_EQ(Ask({0x5F, 3, 1, 0x10, 0, 0, 0}), (Bytes{0x04, 5, 0x5F, 7, 0, 0, 32}));
    EXPECT_EQ(Ask({0x5F, 1, 1, 2, 3}), (Bytes{0x04, 3, 0x5F, 1, 3}));
    EXPECT_EQ(Ask({0x5F, 4}), (Bytes{0x04, 7, 0x5F, 7, 0, 0, 0, 0, 6}));
    EXPECT_EQ(Ask({0x5F, 2}), (Bytes{0x04, 2, 0x5F, 2}));
  }
  velsim::Simulator sim;
  velsim::Endpoint ep;
  std::unique_ptr<RawLink> link;
};

TEST_F(SimUpgrade, ChunksAreCheckedAndWrittenAtTheBlockAddressAndRebootTakesTheFlashedIdentity) {
  Start();
  LoadLoader();
  std::string tag = "VLMID build=77 version=2.16.1;";
  Bytes chunk(tag.begin(), tag.end());
  chunk.push_back(0xEE);
  chunk.push_back(0xFF);  // 32 bytes: one full chunk
  EXPECT_EQ(Ask({0x5F, 3, 0, 0, 0, 0x80, 0}), (Bytes{0x04, 5, 0x5F, 7, 0, 0, 32}));
  Bytes first = {0x5F, 1};
  first.insert(first.end(), chunk.begin(), chunk.begin() + 26);
  Bytes second = {0x5F, 1};
  second.insert(second.end(), chunk.begin() + 26, chunk.end());
  EXPECT_EQ(Ask(first), (Bytes{0x04, 3, 0x5F, 1, 26}));
  EXPECT_EQ(Ask(second), (Bytes{0x04, 3, 0x5F, 1, 6}));
  uint32_t sum = 0;
  for (uint8_t b : chunk) sum += b;
  EXPECT_EQ(Ask({0x5F, 4}), (Bytes{0x04, 7, 0x5F, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16),
                                   uint8_t(sum >> 8), uint8_t(sum)}));
  // A Write of another count than what arrived is refused; the right one is taken.
  EXPECT_EQ(Ask({0x5F, 5, 0, 31}), (Bytes{0x04, 3, 0x5F, 7, 1}));
  EXPECT_EQ(Ask({0x5F, 5, 0, 32}), (Bytes{0x04, 3, 0x5F, 7, 0}));
  EXPECT_EQ(sim.Flash(kSerial)[0x8000], chunk);

  // Reboot: no reply, the link ends, the module is away for its pause.
  link->Send({0x04, 2, 0x5F, 6});
  EXPECT_TRUE(link->Closed(2000));
  EXPECT_FALSE(sim.Present(kSerial));
  EXPECT_FALSE(RawLink::Tcp(ep.port).ok()) << "a restarting module accepted a connection";
  // Back after its pause (a few hundred milliseconds).
  for (int i = 0; i < 500 && !sim.Present(kSerial); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(sim.Present(kSerial));
  // Its server listens again on the simulator's next turn, a moment after.
  for (int i = 0; i < 500 && !RawLink::Tcp(ep.port).ok(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Connect();
  EXPECT_EQ(Ask({0x5F, 0}).size(), 8u);  // the upgrade entity answers Init again
  velsim::ModuleConfig now = sim.Config(kSerial);
  EXPECT_EQ(now.build, 77u);
  EXPECT_EQ(now.version, velsim::PackVersion(2, 16, 1));
}

TEST_F(SimUpgrade, FaultsShortenAcknowledgementsSkewSumsAndRefusePrepares) {
  velsim::FaultConfig f;
  velsim::ParseFaultSpec("data-short=2,sum-off=2,prepare-fail=3", f);
  Start({}, f);
  LoadLoader();  // Data 1, Sum 1, Prepare 1
  EXPECT_EQ(Ask({0x5F, 3, 0, 0, 0, 0, 0}), (Bytes{0x04, 5, 0x5F, 7, 0, 0, 32}));
  Bytes data(26, 0x11);
  data.insert(data.begin(), {0x5F, 1});
  // The second Data packet is acknowledged short and kept by nobody.
  EXPECT_EQ(Ask(data), (Bytes{0x04, 3, 0x5F, 1, 20}));
  EXPECT_EQ(Ask(data), (Bytes{0x04, 3, 0x5F, 1, 26}));
  // The second Sum is one too high.
  uint32_t sum = 26 * 0x11 + 1;
  EXPECT_EQ(Ask({0x5F, 4}), (Bytes{0x04, 7, 0x5F, 7, 0, 0, 0, uint8_t(sum >> 8), uint8_t(sum)}));
  // The third Prepare answers status 1.
  EXPECT_EQ(Ask({0x5F, 3, 0, 0, 0, 0, 0}), (Bytes{0x04, 5, 0x5F, 7, 1, 0, 0}));
}

TEST_F(SimUpgrade, AModuleThatStartsInItsLoaderTakesFirmwareWithoutInitOrLoad) {
  Start(velsim::ParseModuleSpec("loader"));
  EXPECT_EQ(Ask({0x5F, 3, 0, 0, 0, 0, 0}), (Bytes{0x04, 5, 0x5F, 7, 0, 0, 32}));
  EXPECT_EQ(Ask({0x5F, 1, 9}), (Bytes{0x04, 3, 0x5F, 1, 1}));
  EXPECT_EQ(Ask({0x5F, 4}), (Bytes{0x04, 7, 0x5F, 7, 0, 0, 0, 0, 9}));
  EXPECT_EQ(Ask({0x5F, 5, 0, 1}), (Bytes{0x04, 3, 0x5F, 7, 0}));
  EXPECT_EQ(sim.Flash(kSerial)[0], (Bytes{9}));
}

TEST_F(SimUpgrade, FingerprintWordsAreReadOneParameterAtATime) {
  velsim::ModuleConfig c = velsim::ParseModuleSpec("fingerprint=A1.B2C3.D4E5F607.8");
  Start(c);
  const uint32_t words[4] = {0xA1, 0xB2C3, 0xD4E5F607, 0x8};
  for (uint8_t j = 0; j < 4; ++j) {
    uint32_t w = words[3 - j];
    EXPECT_EQ(Ask({0x03, 0x67, 0x20, j}), (Bytes{0x04, 7, 0x03, 0x27, 0x00, uint8_t(w >> 24),
                                                 uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)}))
        << int(j);
  }
  EXPECT_EQ(Ask({0x03, 0x67, 0x20, 4}), (Bytes{0x04, 4, 0x03, 0x27, 0x80, 2}));
  EXPECT_THROW(velsim::ParseModuleSpec("fingerprint=1.2.3"), std::invalid_argument);
}

TEST_F(SimUpgrade, TheStateFileKeepsFlashAndIdentityAcrossSimulators) {
  testsupport::TempDir dir;
  velsim::ModuleConfig c;
  c.stateFile = dir / "state";
  Start(c);
  LoadLoader();
  std::string tag = "VLMID build=9 version=3.0.0;";
  EXPECT_EQ(Ask({0x5F, 3, 0, 0, 0, 0, 0}).size(), 7u);
  for (size_t at = 0; at < tag.size(); at += 26) {
    size_t n = std::min<size_t>(26, tag.size() - at);
    Bytes data = {0x5F, 1};
    data.insert(data.end(), tag.begin() + long(at), tag.begin() + long(at + n));
    EXPECT_EQ(Ask(data), (Bytes{0x04, 3, 0x5F, 1, uint8_t(n)}));
  }
  EXPECT_EQ(Ask({0x5F, 4}).size(), 9u);
  EXPECT_EQ(Ask({0x5F, 5, 0, uint8_t(tag.size())}), (Bytes{0x04, 3, 0x5F, 7, 0}));
  link->Send({0x04, 2, 0x5F, 6});
  EXPECT_TRUE(link->Closed(2000));

  velsim::Simulator again;
  velsim::ModuleConfig same;
  same.serial = 0x11111111;
  same.stateFile = dir / "state";
  again.AddModule(same);
  EXPECT_EQ(again.Config(0x11111111).build, 9u);
  EXPECT_EQ(again.Flash(0x11111111)[0], Bytes(tag.begin(), tag.end()));
}

// The bus's run-time control adds a module that answers like any other, and
// takes it away again.
TEST(SimUsbPlug, APluggedModuleAnswersAndAnUnpluggedOneIsGone) {
  std::string shim = testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so");
  std::string check = testsupport::ProgramPath("sim/usb", "velmarine-usb-check");
  struct stat st;
  if (stat(shim.c_str(), &st) != 0 || stat(check.c_str(), &st) != 0)
    GTEST_SKIP() << "the simulated USB bus is not built";
  testsupport::RunOptions options;
  testsupport::Preload(options.env, shim);
  options.env["VELMARINE_USB_SIM"] = "40F5849A:19";
  testsupport::RunResult r = testsupport::Run(
      check,
      {"control", "plug DEADDEAD:13:address=6", "create", "DEADDEAD", "probe", "model", "destroy",
       "control", "plug DEADDEAD:13", "control", "unplug DEADDEAD", "create", "DEADDEAD", "control",
       "plug nonsense", "control", "stop"},
      options);
  EXPECT_EQ(r.out,
            "control ok\ncreate ok\naddress 6\nmodel 13\ndestroy vErrNone\n"
            "control error: already plugged in\ncontrol ok\ncreate failed\n"
            "control error: entry 'nonsense' needs SERIAL:MODEL\ncontrol ok\n")
      << r.err;
}

}  // namespace
