// SDPLoader over the HID transport, against the simulated boot ROM behind the
// hidapi stand-in. The stand-in must be preloaded, so each case re-runs this
// test program on one SdpHidChild test with LD_PRELOAD and the simulator's
// options; the child reads what it should expect from its environment.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "TestSupport.h"

using testsupport::ProgramPath;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {
using Bytes = std::vector<uint8_t>;

const char* kChildSwitch = "SDP_HID_CHILD";

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

Bytes Image(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + 3 + (i >> 10));
  return b;
}

// The sanitizer runtime this program runs with, if any: it has to come
// before anything else that is preloaded.
int FindAsan(struct dl_phdr_info* info, size_t, void* data) {
  std::string name = info->dlpi_name ? info->dlpi_name : "";
  if (name.find("libasan.so") != std::string::npos) {
    *static_cast<std::string*>(data) = name;
    return 1;
  }
  return 0;
}

struct ChildRun {
  testsupport::RunResult result;
  std::string log;
};

// Runs SdpHidChild.<test> under the stand-in with the simulator's options.
ChildRun RunChild(const std::string& test, const std::string& options,
                  std::map<std::string, std::string> env = {}) {
  TempDir dir;
  std::string self;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) self.assign(buf, size_t(n));
  std::string asan;
  dl_iterate_phdr(FindAsan, &asan);
  std::string preload = ProgramPath("sim/imx-sdp", "libhidapi_sim.so");
  if (!asan.empty()) preload = asan + ":" + preload;
  env["LD_PRELOAD"] = preload;
  env["IMX_SDP_SIM_OPTIONS"] = options + " --log " + (dir / "events");
  env[kChildSwitch] = "1";
  testsupport::RunOptions run;
  run.env = env;
  ChildRun child;
  child.result = testsupport::Run(self, {"--gtest_filter=SdpHidChild." + test}, run);
  child.log = ReadFile(dir / "events");
  return child;
}

// The child test ran (not skipped) and passed.
void ExpectPassed(const ChildRun& child) {
  EXPECT_EQ(child.result.status, 0) << child.result.out << child.result.err;
  EXPECT_NE(child.result.out.find("[  PASSED  ] 1 test."), std::string::npos) << child.result.out;
  EXPECT_EQ(child.result.out.find("SKIPPED"), std::string::npos) << child.result.out;
}

#define CHILD_ONLY()             \
  if (Env(kChildSwitch).empty()) \
  GTEST_SKIP() << "runs inside the SdpHid tests, under the hidapi stand-in"
}  // namespace

// --- Run in the child, with the stand-in preloaded ---------------------------

TEST(SdpHidChild, Load) {
  CHILD_ONLY();
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
  ASSERT_EQ(loader.init(), vErrNone);
  Bytes image(Image(std::stoul(Env("SDP_IMAGE_SIZE"))));
  EXPECT_EQ(loader.writeLoader(image, 0x20000000), std::stoi(Env("SDP_EXPECT")));
  if (Env("SDP_EXPECT") == "0") loader.startLoader(0x20000400);
}

TEST(SdpHidChild, Fingerprint) {
  CHILD_ONLY();
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
  ASSERT_EQ(loader.init(), vErrNone);
  uint64_t value = 0;
  EXPECT_EQ(loader.getFingerprint(value), vErr(std::stoi(Env("SDP_EXPECT"))));
  if (Env("SDP_EXPECT") == "0") {
    EXPECT_EQ(value, std::stoull(Env("SDP_VALUE"), nullptr, 0));
  }
}

TEST(SdpHidChild, NoDevice) {
  CHILD_ONLY();
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
  EXPECT_EQ(loader.init(), vErrIO);
}

// --- Run by ctest --------------------------------------------------------------

TEST(SdpHid, LoaderLandsInMemoryAndStarts) {
  TempDir dir;
  auto child = RunChild("Load", "--dump " + (dir / "ram.bin"),
                        {{"SDP_IMAGE_SIZE", "3000"}, {"SDP_EXPECT", "0"}});
  ExpectPassed(child);
  Bytes image = Image(3000);
  EXPECT_EQ(ReadFile(dir / "ram.bin"), std::string(image.begin(), image.end()));
  EXPECT_NE(child.log.find("write-file 0x20000000 3000\nloaded 0x20000000 3000\n"
                           "jump 0x20000400\nclose\n"),
            std::string::npos)
      << child.log;
}

namespace {
// One child run: which child test, the simulated ROM's options and what the
// child is told to expect (an empty field is not passed on).
struct ChildCase {
  const char* name;
  const char* child;
  const char* options;
  std::string imageSize;
  std::string expect;
  std::string value;
};

// Shown by name in test listings and failures.
void PrintTo(const ChildCase& c, std::ostream* out) { *out << c.name; }

class SdpHidCase : public ::testing::TestWithParam<ChildCase> {};

TEST_P(SdpHidCase, ChildGetsWhatItExpects) {
  const ChildCase& c = GetParam();
  std::map<std::string, std::string> env;
  if (!c.imageSize.empty()) env["SDP_IMAGE_SIZE"] = c.imageSize;
  if (!c.expect.empty()) env["SDP_EXPECT"] = c.expect;
  if (!c.value.empty()) env["SDP_VALUE"] = c.value;
  ExpectPassed(RunChild(c.child, c.options, env));
}

INSTANTIATE_TEST_SUITE_P(
    SdpHid, SdpHidCase,
    ::testing::Values(
        ChildCase{"FingerprintFromTheFuseWords", "Fingerprint",
                  "--fuse-low 0xCAFEF00D --fuse-high 0x0BADC0DE", "", "0", "0x0BADC0DECAFEF00D"},
        // ROM faults: each fails the transfer with its own result.
        ChildCase{"SilentRomLoad", "Load", "--no-ack", "100", "2"},
        ChildCase{"SilentRomFingerprint", "Fingerprint", "--no-ack", "", std::to_string(vErrParam)},
        ChildCase{"BadHab", "Load", "--bad-hab", "2000", "4"},
        ChildCase{"EarlyReply", "Load", "--early-reply", "2000", "3"},
        ChildCase{"NoComplete", "Load", "--no-complete", "2000", "4"},
        // The fifth status request is the last chance.
        ChildCase{"FourIgnored", "Load", "--ignore 4", "10", "0"},
        ChildCase{"FiveIgnored", "Load", "--ignore 5", "10", "2"},
        // No device to open.
        ChildCase{"NoDevice", "NoDevice", "--no-device"},
        ChildCase{"OtherDevice", "NoDevice", "--vid 0x15A2 --pid 0x0054"}),
    [](const ::testing::TestParamInfo<ChildCase>& info) { return info.param.name; });
}  // namespace
