// The console display: exact progress bar, spinner and clearing formats on a
// pseudo-terminal, nothing of them on a file, message cutting and muting,
// the log's package mask, and the listings.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "TestSupport.h"

namespace {

// Runs fn in a child whose standard output is a pseudo-terminal (raw mode, so
// the bytes arrive unchanged) and returns what it wrote.
std::string OnTerminal(const std::function<void(CLI_Display&)>& fn) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    struct termios t;
    tcgetattr(1, &t);
    cfmakeraw(&t);
    tcsetattr(1, TCSANOW, &t);
    CLI_Display d;
    fn(d);
    _exit(0);
  }
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  close(master);
  waitpid(pid, nullptr, 0);
  return out;
}

// The same with standard output redirected to a file.
std::string OnFile(const std::function<void(CLI_Display&)>& fn) {
  testsupport::TempDir dir;
  std::string path = dir / "out";
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = freopen(path.c_str(), "w", stdout);
    (void)f;
    CLI_Display d;
    fn(d);
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  return testsupport::ReadFile(path);
}

std::string Repeat(char c, int n) { return std::string(size_t(n), c); }

TEST(Display, ProgressBarFormats) {
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.update_progress(0.5, nullptr); }),
            "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% ) ");
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.update_progress(0.0, nullptr); }),
            "\r[>" + Repeat(' ', 68) + "] (  0% ) ");
  // At 1.0 the space count is -1, which prints as one space.
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.update_progress(1.0, nullptr); }),
            "\r[" + Repeat('=', 69) + "> ] (100% ) ");
  // With a label the bar is narrower by the label and four characters.
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.update_progress(0.25, "Writing"); }),
            "\r (Writing) [" + Repeat('=', 14) + ">" + Repeat(' ', 43) + "] ( 25% ) ");
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.display_progress(false); }),
            "\r" + Repeat(' ', 88) + "\r");
  EXPECT_EQ(OnTerminal([](CLI_Display& d) { d.display_progress(true); }), "");
}

TEST(Display, SpinnerCyclesThroughEightFrames) {
  std::string out = OnTerminal([](CLI_Display& d) {
    for (int i = 0; i < 9; ++i) d.update_spinner(true, i == 8 ? "Downloading" : nullptr);
    d.update_spinner(false, nullptr);
  });
  std::string expected;
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
  for (const char* f : frames) expected += std::string("\r ") + f + "      \r";
  expected += "\r (Downloading) .      \r";
  expected += "\r" + Repeat(' ', 88) + "\r";
  EXPECT_EQ(out, expected);
}

TEST(Display, NothingButMessagesWhenOutputIsAFile) {
  std::string out = OnFile([](CLI_Display& d) {
    d.update_progress(0.5, "x");
    d.update_spinner(true, "Downloading");
    d.update_spinner(false, nullptr);
    d.display_progress(false);
    d.message(UpdaterDisplayInterface::LEVEL_INFO, "kept %d", 1);
  });
  EXPECT_EQ(out, "kept 1\n");
}

TEST(Display, MessagesAreCutAndMuted) {
  std::string out = OnFile([](CLI_Display& d) {
    std::string big(3000, 'm');
    d.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", big.c_str());
    d.mute_messages(true);
    d.message(UpdaterDisplayInterface::LEVEL_INFO, "silenced");
    d.mute_messages(false);
    d.message(UpdaterDisplayInterface::LEVEL_ERROR, "to stderr");
  });
  EXPECT_EQ(out, std::string(2047, 'm') + "\n");
}

TEST(LogMask, PackageZeroIsAlwaysWritten) {
  testsupport::TempDir dir;
  std::string path = dir / "log";
  FILE* f = fopen(path.c_str(), "w");
  Log::SetOutput(f);
  Log::DeactivatePackage(0xFFFFFFFF);
  Log::log(0, "always %d\n", 1);
  Log::log(0x400, "hidden\n");
  Log::ActivatePackage(0x10400);
  Log::log(0x400, "shown\n");
  Log::log(0x401, "any bit\n");
  Log::DeactivatePackage(0x400);
  Log::log(0x400, "hidden again\n");
  Log::DeactivatePackage(0xFFFFFFFF);
  Log::SetOutput(nullptr);
  fclose(f);
  EXPECT_EQ(testsupport::ReadFile(path), "always 1\nshown\nany bit\n");
}

DeviceInfo Device(linkType type, uint32_t serial, uint32_t error = 0) {
  DeviceInfo d;
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.moduleAddress = 0x02;
  d.spec.routerAddress = 0x10;
  d.spec.model = 19;
  d.build = 12345;
  d.versionMajor = 2;
  d.versionMinor = 15;
  d.versionPatch = 3;
  d.error = error;
  if (type == linkTypeTCPIP) {
    uint8_t ip[4] = {192, 168, 1, 7};
    memcpy(&d.spec.t.ip.ipAddress, ip, 4);
  }
  return d;
}

TEST(Listings, DeviceList) {
  std::string out = OnFile([](CLI_Display& d) {
    std::vector<DeviceInfo> none;
    _display_device_list(d, none, linkTypeUSB);
    std::vector<DeviceInfo> list = {Device(linkTypeTCPIP, 0x40F5849A),
                                    Device(linkTypeUSB, 0x2181F0EE, 5),
                                    Device(linkTypeUSB, 0xD272031D)};
    _display_device_list(d, list, linkTypeInvalid);
  });
  EXPECT_EQ(out,
            "Discovered Devices: (USB)\n"
            "    No devices found.\n"
            "Discovered Devices: (Unknown)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)   [IP "
            "address]\n"
            "    40F5849A  02       10      Morlet         2.15.3 (12345) [192.168.1.7]\n"
            "    2181F0EE  [Error (5): Is someone else connected to this device?]\n"
            "    D272031D  02       10      Morlet         2.15.3 (12345)\n");
}

TEST(Listings, BuildsAndFingerprint) {
  std::string out = OnFile([](CLI_Display& d) {
    std::map<std::string, std::string> none;
    _display_builds(d, none, 0x1A2B);
    std::map<std::string, std::string> builds = {{"100", "1.2.3"},
                                                 {"a-very-long-build-name", "2.0.0"}};
    _display_builds(d, builds, 0x40F5849A);
    Fingerprint f;
    f.words[0] = 1;
    f.words[3] = 0xDEADBEEF;
    _display_fingerprint(d, f);
  });
  EXPECT_NE(out.find("No builds found for device [00001A2B]\n"), std::string::npos);
  EXPECT_NE(out.find("Build List for device [40F5849A]:\n\n"), std::string::npos);
  EXPECT_NE(out.find("Build          \tVersion        \n"), std::string::npos);
  EXPECT_NE(out.find("a-very-long-bui\t2.0.0          \n"), std::string::npos);
  EXPECT_NE(out.find("[ 00000001 00000000 00000000 DEADBEEF ]\n"), std::string::npos);
}

}  // namespace
