// SDPLoader over a serial port, against imx-sdp-sim on a pseudo-terminal:
// loads that land in the simulated RAM, the fingerprint, the fault switches,
// ports that can't be used, and the packaged imx_uart loader as a peer check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "TestSupport.h"

using testsupport::Background;
using testsupport::ProgramPath;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Image(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed + (i >> 8));
  return b;
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// imx-sdp-sim started with the given options; its event lines can be awaited.
class PtySim {
 public:
  explicit PtySim(std::vector<std::string> args)
      : sim_(ProgramPath("sim/imx-sdp", "imx-sdp-sim"), args) {
    std::string line = sim_.ReadLine();
    if (line.rfind("pty ", 0) == 0) path_ = line.substr(4);
  }
  const std::string& path() const { return path_; }
  // Reads event lines until one equals want; false when none comes in time.
  bool Await(const std::string& want, int timeoutMs = 5000) {
    for (;;) {
      std::string line = sim_.ReadLine(timeoutMs);
      if (line.empty()) return false;
      seen_.push_back(line);
      if (line == want) return true;
    }
  }
  // Every line that arrives until the simulator is quiet for quietMs.
  std::vector<std::string> Drain(int quietMs = 300) {
    for (std::string line; !(line = sim_.ReadLine(quietMs)).empty();) seen_.push_back(line);
    return seen_;
  }

 private:
  Background sim_;
  std::string path_;
  std::vector<std::string> seen_;
};

// An SDPLoader on the simulator's terminal.
struct SerialRig {
  explicit SerialRig(const std::vector<std::string>& args) : sim(args) {
    EXPECT_FALSE(sim.path().empty());
    loader.setLoader(new Serial_SDPLoader(sim.path().c_str()));
    EXPECT_EQ(loader.init(), vErrNone);
  }
  PtySim sim;
  SDPLoader loader;
};

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}
}  // namespace

TEST(SdpSerial, LoaderBlocksLandInMemoryAndStart) {
  TempDir dir;
  SerialRig rig({"--dump", dir / "ram.bin"});
  Bytes first = Image(5000, 1);   // five data packets, the last of 904 bytes
  Bytes second = Image(1024, 2);  // exactly one full packet
  EXPECT_EQ(rig.loader.writeLoader(first, 0x20000000), 0);
  EXPECT_TRUE(rig.sim.Await("loaded 0x20000000 5000"));
  EXPECT_EQ(ReadFile(dir / "ram.bin"), Text(first));
  EXPECT_EQ(rig.loader.writeLoader(second, 0x20002000), 0);
  EXPECT_TRUE(rig.sim.Await("loaded 0x20002000 1024"));
  std::string expected = Text(first) + std::string(0x2000 - 5000, '\0') + Text(second);
  EXPECT_EQ(ReadFile(dir / "ram.bin"), expected);
  rig.loader.startLoader(0x20000400);
  EXPECT_TRUE(rig.sim.Await("jump 0x20000400"));
}

TEST(SdpSerial, FingerprintFromTheFuseWords) {
  SerialRig rig({"--fuse-low", "0x01234567", "--fuse-high", "0x89ABCDEF"});
  uint64_t value = 0;
  EXPECT_EQ(rig.loader.getFingerprint(value), vErrNone);
  EXPECT_EQ(value, 0x89ABCDEF01234567ull);
  EXPECT_TRUE(rig.sim.Await("read-register 0x401F4420 4"));
}

TEST(SdpSerial, SilentRomGetsNothingButFiveStatusRequests) {
  SerialRig rig({"--no-ack"});
  EXPECT_EQ(rig.loader.writeLoader(Image(100, 3), 0x20000000), 2);
  uint64_t value = 0;
  EXPECT_EQ(rig.loader.getFingerprint(value), vErrParam);
  auto lines = rig.sim.Drain();
  EXPECT_EQ(Count(lines, "error-status"), 10u);
  EXPECT_EQ(Count(lines, "write-file"), 0u);
  EXPECT_EQ(Count(lines, "read-register"), 0u);
}

namespace {
// One load against a ROM with a fault switched on: the results it may end
// with, and for a refusing ROM the line it logs and the memory it leaves
// unwritten.
struct FaultCase {
  const char* name;
  std::vector<std::string> options;
  size_t imageSize;
  std::vector<int> results;
  const char* refused = nullptr;  // the simulator's line for a refused image
};

// Shown by name in test listings and failures.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class SdpSerialFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SdpSerialFault, EndsWithItsResult) {
  const FaultCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> options = c.options;
  if (c.refused) options.insert(options.end(), {"--dump", dir / "ram.bin"});
  SerialRig rig(options);
  int result = rig.loader.writeLoader(Image(c.imageSize, 4), 0x20000000);
  EXPECT_NE(std::find(c.results.begin(), c.results.end(), result), c.results.end()) << result;
  if (c.refused) {
    EXPECT_TRUE(rig.sim.Await(c.refused));
    EXPECT_EQ(access((dir / "ram.bin").c_str(), F_OK), -1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SdpSerial, SdpSerialFault,
    ::testing::Values(
        // The fifth status request is the last chance.
        FaultCase{"FourIgnored", {"--ignore", "4"}, 10, {0}},
        FaultCase{"FiveIgnored", {"--ignore", "5"}, 10, {2}},
        // A ROM that won't load images answers an error word instead of completion.
        FaultCase{"BadHab", {"--bad-hab"}, 2000, {4}, "refused 0x20000000 2000"},
        // The early status is seen during the transfer (3) or, when it comes
        // in after the last poll, spoils the completion reply (4): never success.
        FaultCase{"EarlyReply", {"--early-reply"}, 64 * 1024, {3, 4}},
        FaultCase{"NoComplete", {"--no-complete"}, 3000, {4}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });
}  // namespace

TEST(SdpSerial, PortsThatCantBeUsed) {
  TempDir dir;
  testsupport::WriteFile(dir / "plain", "not a terminal");
  std::string plain = dir / "plain";
  std::string missing = dir / "missing";
  for (const char* port : {plain.c_str(), missing.c_str(), ""}) {
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(port));
    EXPECT_EQ(loader.init(), vErrIO) << port;
  }
}

// A port that takes no more bytes is given up instead of retried for ever.
TEST(SdpSerial, StalledPortEndsTheWrite) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string path = ptsname(master);
  Serial_SDPLoader port(path.c_str());
  ASSERT_TRUE(port.init());
  Bytes huge(1 << 20, 0x5A);  // far more than a terminal buffers; nobody reads it
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.writeData(huge), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  close(master);
}

// The packaged imx_uart loads an image with an IVT header into the simulator:
// evidence that the simulator speaks the protocol as a peer tool expects.
TEST(SdpSerial, PeerLoaderImxUart) {
  std::string tool;
  std::string path = Env("PATH");
  for (size_t at = 0; tool.empty() && at <= path.size();) {
    size_t end = path.find(':', at);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(at, end - at) + "/imx_uart";
    if (end > at && access(candidate.c_str(), X_OK) == 0) tool = candidate;
    at = end + 1;
  }
  // The package installs its target configurations here.
  const std::string conf = "/usr/share/imx-usb-loader/imx-loader.d/mx6ull_usb_work.conf";
  if (tool.empty()) GTEST_SKIP() << "imx_uart (imx-usb-loader) is not installed";
  if (access(conf.c_str(), R_OK) != 0)
    GTEST_SKIP() << "imx-usb-loader's mx6ull_usb_work.conf is not installed";

  // Image vector table at the load address, boot data right after it.
  const uint32_t base = 0x80800000;
  const uint32_t size = 3000;
  Bytes image = Image(size, 9);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(v >> (8 * i));
  };
  image[0] = 0xD1;
  image[1] = 0x00;
  image[2] = 0x20;
  image[3] = 0x40;
  uint32_t ivt[7] = {base + 0x40, 0, 0, base + 0x20, base, 0, 0};
  for (int i = 0; i < 7; ++i) put(4 + 4 * i, ivt[i]);
  put(0x20, base);
  put(0x24, size);
  put(0x28, 0);

  TempDir dir;
  testsupport::WriteFile(dir / "image.imx", Text(image));
  PtySim sim({"--dump", dir / "ram.bin"});
  ASSERT_FALSE(sim.path().empty());
  testsupport::RunOptions options;
  options.timeoutMs = 60000;
  auto run = testsupport::Run(tool, {"-n", "-v", sim.path(), conf, dir / "image.imx"}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(sim.Await("jump 0x80800000"));
  EXPECT_EQ(ReadFile(dir / "ram.bin"), Text(image));
}
