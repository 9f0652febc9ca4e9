// The lpc-isp-sim program: its options, the ISP client against it, and the
// independent lpc21isp programmer writing a binary into its flash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

std::string SimPath() { return ProgramPath("sim/lpc-isp", "lpc-isp-sim"); }

// The pseudo-terminal path from the simulator's "pty <path>" line.
std::string PtyOf(Background& sim) {
  std::string line = sim.ReadLine();
  return line.rfind("pty ", 0) == 0 ? line.substr(4) : "";
}

std::string FindInPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + program;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// A Cortex-M image whose first eight vector words already sum to zero, so a
// programmer that fills in that checksum leaves the bytes as they are.
std::string CortexImage(size_t size) {
  std::string image(size, '\0');
  uint32_t vectors[8] = {0x10008000, 0x101, 0x201, 0x301, 0x401, 0x501, 0x601, 0};
  uint32_t total = 0;
  for (int i = 0; i < 7; i++) total += vectors[i];
  vectors[7] = 0u - total;
  memcpy(&image[0], vectors, sizeof vectors);
  uint32_t seed = 99;
  for (size_t i = sizeof vectors; i < size; i++) {
    seed = seed * 1103515245u + 12345u;
    image[i] = char(seed >> 16);
  }
  return image;
}

}  // namespace

TEST(LpcIspSimProgram, HelpAndBadOptions) {
  RunResult help = testsupport::Run(SimPath(), {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--serial", "--dump", "--silent", "--wrong-echo", "--resend"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  RunResult bad = testsupport::Run(SimPath(), {"--bogus"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown option: --bogus"), std::string::npos);
  bad = testsupport::Run(SimPath(), {"--serial", "1,2,3"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--serial needs four numbers"), std::string::npos);
  bad = testsupport::Run(SimPath(), {"--fail", "C"});
  EXPECT_EQ(bad.status, 2);
  bad = testsupport::Run(SimPath(), {"--dump"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("needs a value"), std::string::npos);
}

TEST(LpcIspSimProgram, ClientReadsTheSerialNumberItIsGiven) {
  Background sim(SimPath(), {"--serial", "0x0A0B0C0D,2,3000000000,0"});
  std::string pty = PtyOf(sim);
  ASSERT_FALSE(pty.empty());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.c_str(), 115200), vErrNone);
  ASSERT_EQ(isp.Sync(), vErrNone);
  ASSERT_EQ(isp.GetDeviceID(), vErrNone);
  EXPECT_EQ(isp.deviceId[0], 0x0A0B0C0Du);
  EXPECT_EQ(isp.deviceId[1], 2u);
  EXPECT_EQ(isp.deviceId[2], 3000000000u);
  EXPECT_EQ(isp.deviceId[3], 0u);
}

TEST(LpcIspSimProgram, FlashIsLoadedAndDumped) {
  TempDir dir;
  std::string image = CortexImage(3000);
  WriteFile(dir / "in.bin", image);
  Background sim(SimPath(), {"--flash", dir / "in.bin", "--dump", dir / "out.bin"});
  std::string pty = PtyOf(sim);
  ASSERT_FALSE(pty.empty());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.c_str(), 115200), vErrNone);
  ASSERT_EQ(isp.Sync(), vErrNone);
  std::vector<uint8_t> back(3000);
  ASSERT_EQ(isp.Read(0, 3000, back.data()), vErrNone);
  EXPECT_EQ(std::string(back.begin(), back.end()), image);
  isp.Disconnect();
  sim.Stop();
  std::string dump = ReadFile(dir / "out.bin");
  ASSERT_EQ(dump.size(), 512u * 1024u);
  EXPECT_EQ(dump.substr(0, 3000), image);
  EXPECT_EQ(dump.find_first_not_of('\xFF', 3000), std::string::npos);
}

// lpc21isp is an independent programmer: its success shows the simulator
// speaks the boot ROM's protocol, not just our client's reading of it.
TEST(LpcIspSimProgram, Lpc21ispProgramsABinary) {
  std::string lpc21isp = FindInPath("lpc21isp");
  if (lpc21isp.empty()) GTEST_SKIP() << "lpc21isp is not installed; install it to run this check";
  TempDir dir;
  std::string image = CortexImage(5000);
  WriteFile(dir / "fw.bin", image);
  Background sim(SimPath(), {"--dump", dir / "flash.bin"});
  std::string pty = PtyOf(sim);
  ASSERT_FALSE(pty.empty());
  RunOptions options;
  options.timeoutMs = 120000;
  RunResult run = testsupport::Run(
      lpc21isp, {"-bin", "-verify", dir / "fw.bin", pty, "115200", "14746"}, options);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_FALSE(run.timedOut);
  EXPECT_NE(run.out.find("LPC1768"), std::string::npos) << run.out;
  sim.Stop();
  std::string flash = ReadFile(dir / "flash.bin");
  ASSERT_EQ(flash.size(), 512u * 1024u);
  EXPECT_TRUE(flash.substr(0, image.size()) == image) << "flash differs from the file";
  // The programmer pads its last copy to 1024 bytes; nothing lands beyond that.
  EXPECT_EQ(flash.find_first_not_of('\xFF', 4096 + 1024), std::string::npos);
}
