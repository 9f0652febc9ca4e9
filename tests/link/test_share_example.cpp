// The example program end to end: one process shares a module through a
// broker (a USB module on the preloaded simulated bus, or a simulated module
// with streams) and other processes use it at the same time.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
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
  unsigned long long samples = 0, missed = 1, foreign = 1, dropped = 1;
  unsigned latest = 0;
  ASSERT_EQ(sscanf(watch.out.c_str(),
                   "subscribed\nsamples %llu missed %llu foreign %llu latest %u dropped %llu",
                   &samples, &missed, &foreign, &latest, &dropped),
            5)
      << watch.out;
  EXPECT_EQ(missed, 0u);
  EXPECT_EQ(foreign, 0u);
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
  // The broker ends once the reader says it has reached it: in the middle
  // of its reads.
  testsupport::RunOptions options;
  options.timeoutMs = 60000;
  options.onErrLine = testsupport::AtErrLine("^connected$", 1, [&] {
    server.Stop();
    return false;
  });
  testsupport::RunResult read = testsupport::Run(Share(), {"read", where, "100000"}, options);
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

namespace {

// What one watcher printed at its end.
struct Watch {
  unsigned long long samples = 0, missed = 0, foreign = 0, dropped = 0;
  unsigned latest = 0;
  bool Parse(const std::string& line) {
    return sscanf(line.c_str(), "samples %llu missed %llu foreign %llu latest %u dropped %llu",
                  &samples, &missed, &foreign, &latest, &dropped) == 5;
  }
};

// Several processes sharing one streaming module through a broker, over the
// transport of the parameter: "tcp", the simulated module of the example's
// simulate command, or "usb", a module of the preloaded simulated USB bus
// with two streamed values. Watchers run as processes of their own.
class SharedStreams : public ShareExample, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    ShareExample::SetUp();
    if (IsSkipped()) return;
    std::map<std::string, std::string> env;
    std::vector<std::string> args = {"simulate", kSerial};
    std::string expect = "broker simulated " + kSerial + " port ";
    if (GetParam() == "usb") {
      if (access(Shim().c_str(), R_OK) != 0) GTEST_SKIP() << "the simulated USB bus is not built";
      env["VELMARINE_USB_SIM"] = kSerial + ":19:stream=7/2/1:stream=7/2/2:stream-rate=100";
      testsupport::Preload(env, Shim());
      args = {"serve", kSerial};
      expect = "broker " + kSerial + " port ";
    }
    broker.reset(new testsupport::Background(Share(), args, env));
    std::string line = broker->ReadLine(30000);
    if (GetParam() == "usb" && line.rfind(expect, 0) != 0)
      GTEST_SKIP() << "the simulated USB bus does not take stream options (stream=, stream-rate=)";
    ASSERT_EQ(line.rfind(expect, 0), 0u) << line;
    where = "port=" + line.substr(line.rfind(' ') + 1);
    if (GetParam() == "usb") {
      // A bus whose module never answers the stream enable does not stream.
      testsupport::RunResult probe = RunShare({"watch", where, "1"});
      if (probe.status != 0 && probe.err.find("cannot subscribe") != std::string::npos)
        GTEST_SKIP() << "the simulated USB bus does not stream: " << probe.err;
    }
  }
  // A watcher of the stream in the background, once it has subscribed.
  std::unique_ptr<testsupport::Background> StartWatch(const std::string& stream, int seconds) {
    std::unique_ptr<testsupport::Background> w(
        new testsupport::Background(Share(), {"watch", where, std::to_string(seconds), stream}));
    std::string line = w->ReadLine(30000);
    EXPECT_EQ(line, "subscribed");
    return w;
  }
  static Watch Finish(testsupport::Background& w, int seconds) {
    Watch seen;
    std::string line = w.ReadLine(seconds * 1000 + 30000);
    EXPECT_TRUE(seen.Parse(line)) << line;
    return seen;
  }
  // A watcher of the whole time receives every sample of its stream at the
  // module's rate (100 a second), and nothing else.
  static void ExpectWhole(const Watch& w, int seconds) {
    EXPECT_GE(w.samples, 70u * unsigned(seconds));
    EXPECT_EQ(w.missed, 0u);
    EXPECT_EQ(w.foreign, 0u);
    EXPECT_EQ(w.dropped, 0u);
  }
  std::unique_ptr<testsupport::Background> broker;
  std::string where;
};

}  // namespace

TEST_P(SharedStreams, EachProcessGetsAllItsOwnSamplesAndNoneOfTheOthers) {
  auto a = StartWatch("7/255/1", 3);
  auto b = StartWatch("7/255/2", 3);
  ExpectWhole(Finish(*a, 3), 3);
  ExpectWhole(Finish(*b, 3), 3);
}

TEST_P(SharedStreams, OneDisablingOrDyingLeavesTheOtherReceiving) {
  auto a = StartWatch("7/255/1", 4);
  // A second watcher of the same stream unsubscribes after a second ...
  testsupport::RunResult leaver = RunShare({"watch", where, "1", "7/255/1"});
  EXPECT_EQ(leaver.status, 0) << leaver.err;
  // ... a third is killed without unsubscribing.
  auto killed = StartWatch("7/255/1", 30);
  kill(killed->pid(), SIGKILL);
  killed->Stop();
  ExpectWhole(Finish(*a, 4), 4);
}

TEST_P(SharedStreams, TheModuleStopsStreamingOnceItsLastWatcherIsKilled) {
  auto alone = StartWatch("7/255/2", 30);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(alone->pid(), SIGKILL);
  alone->Stop();
  // The broker learns of the death at its next batch of samples.
  std::string state;
  for (int i = 0; i < 20 && state != "streaming 0\n"; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    testsupport::RunResult r = RunShare({"state", where});
    ASSERT_EQ(r.status, 0) << r.err;
    state = r.out;
  }
  EXPECT_EQ(state, "streaming 0\n");
}

INSTANTIATE_TEST_SUITE_P(Transports, SharedStreams, ::testing::Values("tcp", "usb"));
