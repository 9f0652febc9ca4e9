// The example program end to end: one process shares a module through a
// broker (a USB module on the preloaded simulated bus, or a simulated module
// with streams) and other processes use it at the same time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "NetNamespaces.h"
#include "TestSupport.h"

namespace {

std::string Share() { return testsupport::ProgramPath("examples", "velmarine-share"); }
std::string Shim() { return testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"); }

std::string Hex(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "%08X", v);
  return text;
}

// Serial numbers of this process and test alone: searches of other tests,
// and a broker of an earlier test still on its way out, never match.
std::string TestSerial() {
  static uint32_t tests = 0;
  return Hex((0x0C000000u + (++tests << 20)) ^ uint32_t(getpid()));
}

testsupport::RunResult RunShare(const std::vector<std::string>& args) {
  testsupport::RunOptions options;
  options.timeoutMs = 60000;
  return testsupport::Run(Share(), args, options);
}

class ShareExample : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(Share().c_str(), X_OK) != 0) GTEST_SKIP() << "velmarine-share is not built";
    kSerial = TestSerial();
  }
  std::string kSerial;
};

}  // namespace

TEST_F(ShareExample, TwoProcessesReadAUSBModuleSharedByAThird) {
  if (access(Shim().c_str(), R_OK) != 0) GTEST_SKIP() << "the simulated USB bus is not built";
  std::map<std::string, std::string> env = {{"VELMARINE_USB_SIM", kSerial + ":19:address=6"}};
  testsupport::Preload(env, Shim());
  testsupport::Background server(Share(), {"serve", kSerial}, env);
  std::string line = server.ReadLine(30000);
  ASSERT_EQ(line.rfind("broker " + kSerial + " port ", 0), 0u) << line;
  // One finds the broker by the module's serial number, the other is told its port.
  const std::string where = "port=" + line.substr(line.rfind(' ') + 1);
  testsupport::RunResult a, b;
  std::thread first([&] { a = RunShare({"read", kSerial, "300"}); });
  std::thread second([&] { b = RunShare({"read", where, "300"}); });
  first.join();
  second.join();
  const std::string expected = "serial " + kSerial + " model 19 address 6 reads 300\n";
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.out, expected);
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.out, expected);
}

TEST_F(ShareExample, StreamsReachTheWatcherWhileAnotherProcessReads) {
  testsupport::Background server(Share(), {"simulate", kSerial});
  std::string line = server.ReadLine(30000);
  ASSERT_EQ(line.rfind("broker simulated " + kSerial + " port ", 0), 0u) << line;
  // Reached by port: finding a broker is the other tests' business.
  const std::string where = "port=" + line.substr(line.rfind(' ') + 1);
  testsupport::RunResult watch, read;
  std::thread watcher([&] { watch = RunShare({"watch", where, "2"}); });
  std::thread reader([&] { read = RunShare({"read", where, "200"}); });
  watcher.join();
  reader.join();
  ASSERT_EQ(watch.status, 0) << watch.err;
  unsigned long long samples = 0, dropped = 1;
  unsigned latest = 0;
  ASSERT_EQ(
      sscanf(watch.out.c_str(), "samples %llu latest %u dropped %llu", &samples, &latest, &dropped),
      3)
      << watch.out;
  EXPECT_GE(samples, 100u);  // 100 a second for two seconds
  EXPECT_GT(latest, 0u);
  EXPECT_EQ(dropped, 0u);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "serial " + kSerial + " model 19 address 4 reads 200\n");
}

TEST_F(ShareExample, ClientsOfABrokerThatGoesEndWithAClearError) {
  testsupport::Background server(Share(), {"simulate", kSerial});
  std::string line = server.ReadLine(30000);
  ASSERT_EQ(line.rfind("broker simulated " + kSerial + " port ", 0), 0u) << line;
  const std::string where = "port=" + line.substr(line.rfind(' ') + 1);
  testsupport::RunResult read;
  std::thread reader([&] { read = RunShare({"read", where, "100000"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  server.Stop();
  reader.join();
  EXPECT_FALSE(read.timedOut);
  EXPECT_EQ(read.status, 1);
  EXPECT_NE(read.err.find("failed: vErrTimeout"), std::string::npos) << read.err;
}

TEST_F(ShareExample, AClientOnAnotherHostFindsTheBrokerByBeacon) {
  testsupport::NetNamespaces hosts;
  std::string why = hosts.Create("vshare");
  if (!why.empty()) GTEST_SKIP() << why;
  using NS = testsupport::NetNamespaces;
  testsupport::Background server(
      hosts.IpProgram(), hosts.ExecArgs(hosts.a, Share(), {"simulate", kSerial, NS::kAddressA}));
  std::string line = server.ReadLine(30000);
  ASSERT_EQ(line.rfind("broker simulated " + kSerial + " port ", 0), 0u) << line;
  testsupport::RunOptions options;
  options.timeoutMs = 60000;
  testsupport::RunResult read =
      hosts.RunIn(hosts.b, Share(), {"read", kSerial + "@" + NS::kAddressB, "20"}, options);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "serial " + kSerial + " model 19 address 4 reads 20\n");
  // A search on this host's loopback does not find a broker of another host.
  testsupport::RunResult local = hosts.RunIn(hosts.l, Share(), {"read", kSerial}, options);
  EXPECT_EQ(local.status, 1);
  EXPECT_NE(local.err.find("vErrNotFound"), std::string::npos) << local.err;
}
