// End-to-end tests of -U over TCP/IP: the simulator serves its modules in one
// network namespace and answers discovery there, the updater runs in another
// joined to it by a veth pair. Skipped where namespaces can't be made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <thread>

#include "NetNamespaces.h"
#include "UpdateE2E.h"

namespace {

using testsupport::Background;
using testsupport::Exists;
using testsupport::RunResult;
using testsupport::TempDir;
using updtest::Entry;
using updtest::Hex8;
using updtest::Image;

class UpdateTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = hosts_.Create("vupd");
    if (!why.empty()) GTEST_SKIP() << why << ": TCP/IP update tests skipped";
    mkdir(home().c_str(), 0755);
  }
  void TearDown() override { sim_.reset(); }

  std::string home() const { return dir / "home"; }
  std::string state(uint32_t serial) const { return dir / ("state-" + Hex8(serial)); }

  // Serves the modules (serial and extra --module keys, extra --fault) with
  // discovery, and waits until the responder answers.
  void Serve(const std::vector<std::pair<uint32_t, std::string>>& modules,
             const std::string& faults = "") {
    std::vector<std::string> args;
    const std::string address = testsupport::NetNamespaces::kAddressB;
    for (const auto& m : modules) {
      args.insert(args.end(), {"--module",
                               "serial=" + Hex8(m.first) + ",model=19,address=4,state=" +
                                   state(m.first) + (m.second.empty() ? "" : "," + m.second),
                               "--tcp", address + ":0"});
      if (!faults.empty()) args.insert(args.end(), {"--fault", faults});
    }
    args.insert(args.end(), {"--discovery-interface", address});
    sim_.reset(new Background(
        hosts_.IpProgram(),
        hosts_.ExecArgs(hosts_.b, testsupport::ProgramPath("sim/module", "velmarine-sim"), args)));
    std::string line;
    while (!(line = sim_->ReadLine()).empty() && line.rfind("discovery", 0) != 0) {
    }
    ASSERT_FALSE(line.empty()) << "the simulator did not start";
  }

  void Store(const Image& image, uint32_t serial) {
    std::string d = home() + "/.corvane/updater/" + Hex8(serial);
    testsupport::Run("/bin/mkdir", {"-p", d});
    ASSERT_EQ(updtest::Pack(image.Manifest(), d + "/" + std::to_string(image.build) + ".bird"), "");
    testsupport::WriteFile(d + "/.settings", "LATEST_DOWNLOAD=1234.bird\n");
  }

  RunResult Update(uint32_t serial, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-u", "http://127.0.0.1:1/cgi/u", "-U", "-d", Hex8(serial)};
    args.insert(args.end(), extra.begin(), extra.end());
    testsupport::RunOptions options;
    options.env["HOME"] = home();
    options.timeoutMs = 120000;
    return hosts_.RunIn(hosts_.a, testsupport::UpdaterPath(), args, options);
  }

  void ExpectFlashed(const Image& image, uint32_t serial) {
    updtest::ModuleState s = updtest::ReadState(state(serial));
    ASSERT_TRUE(s.present) << "the module never rebooted";
    EXPECT_EQ(s.build, image.build);
    EXPECT_TRUE(s.flash[0] == image.Flashed(serial)) << "flash differs from the image";
    EXPECT_EQ(Entry(home(), serial)["LATEST_TRANSFER"], "1234.bird");
  }

  testsupport::NetNamespaces hosts_;
  TempDir dir;
  std::unique_ptr<Background> sim_;
};

TEST_F(UpdateTcp, UpdatesAModuleFoundOnTheNetworkAndBringsItBackOverTcpAfterALongLoad) {
  // The second module restarts on Load and stays away longer than the loader's
  // own reconnection tries: only reconnecting over TCP/IP brings it back.
  const uint32_t plain = 0x40F5849A, slow = 0x40F5849B;
  Serve({{plain, ""}});
  Image image;
  Store(image, plain);
  RunResult r = Update(plain, {"-X", "0x401"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ExpectFlashed(image, plain);

  sim_.reset();
  Serve({{slow, "load-pause=6000"}}, "load-drop");
  Store(image, slow);
  r = Update(slow, {"-X", "0x501"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("Timeout on LoaderStart"), std::string::npos) << r.err;
  ExpectFlashed(image, slow);
}

TEST_F(UpdateTcp, AModuleThatClosesItsSocketGracefullyOnRebootFailsAfterABoundedWait) {
  const uint32_t serial = 0x40F5849A;
  Serve({{serial, ""}}, "reboot-close");
  Image image;
  Store(image, serial);
  auto start = std::chrono::steady_clock::now();
  RunResult r = Update(serial);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("NETWORK: The link did not drop within 10000 ms of the reboot"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Firmware update of module [40F5849A] failed [18, vErrTimeout]"),
            std::string::npos);
  EXPECT_LT(took, std::chrono::seconds(30));
  EXPECT_TRUE(Entry(home(), serial)["LATEST_TRANSFER"].empty());
}

TEST_F(UpdateTcp, EightUpdatersDiscoveringAtOnceAllSucceed) {
  std::vector<std::pair<uint32_t, std::string>> modules;
  Image image;
  for (uint32_t i = 0; i < 8; ++i) {
    modules.push_back({0x52000000 + i, ""});
    Store(image, modules.back().first);
  }
  Serve(modules);
  std::vector<RunResult> results(modules.size());
  std::vector<std::thread> runs;
  for (size_t i = 0; i < modules.size(); ++i)
    runs.emplace_back([&, i] { results[i] = Update(modules[i].first); });
  for (auto& t : runs) t.join();
  for (size_t i = 0; i < modules.size(); ++i) {
    SCOPED_TRACE(Hex8(modules[i].first));
    EXPECT_EQ(results[i].status, 0) << results[i].out << results[i].err;
    ExpectFlashed(image, modules[i].first);
    EXPECT_EQ(Entry(home(), modules[i].first)["LATEST_DOWNLOAD"], "1234.bird");
  }
}

TEST_F(UpdateTcp, ASecondUpdaterOfAModuleBeingUpdatedIsRefusedClearly) {
  const uint32_t serial = 0x40F5849A;
  Image image;
  image.size = 200000;  // long enough for the two runs to overlap
  Store(image, serial);
  Serve({{serial, ""}});
  RunResult first;
  std::thread t([&] { first = Update(serial); });
  // The second starts once the first holds the module, however loaded the machine.
  std::string hold = home() + "/.corvane/updater/.locks/40F5849A.lock";
  for (int i = 0; i < 3000; i++) {
    int fd = open(hold.c_str(), O_RDONLY | O_CLOEXEC);
    bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    if (held) break;
    usleep(10000);
  }
  RunResult second = Update(serial);
  t.join();
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_EQ(second.status, 1) << second.out << second.err;
  EXPECT_NE(second.err.find("Module [40F5849A] is being updated by another process"),
            std::string::npos)
      << second.err;
  ExpectFlashed(image, serial);
}

// Discovery replies all come to one port, so a search waits while another
// process on the host listens for its replies, and goes on when that ends.
TEST_F(UpdateTcp, DiscoveryWaitsWhileAnotherProcessListensForReplies) {
  const uint32_t serial = 0x40F5849A;
  Image image;
  Store(image, serial);
  Serve({{serial, ""}});
  // The lock of the namespace the updater runs in, named after its inode,
  // and of the user.
  struct stat ns;
  ASSERT_EQ(stat(("/run/netns/" + hosts_.a).c_str(), &ns), 0);
  std::string lock = "/tmp/.velmarine-discovery-" + std::to_string((unsigned long long)ns.st_ino) +
                     "-" + std::to_string(getuid()) + ".lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::thread release([fd] {
    usleep(1200000);  // the window is the test: the updater must wait it out
    close(fd);
  });
  auto start = std::chrono::steady_clock::now();
  RunResult r = Update(serial);
  auto took = std::chrono::steady_clock::now() - start;
  release.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(1100));
  ExpectFlashed(image, serial);
}

}  // namespace
