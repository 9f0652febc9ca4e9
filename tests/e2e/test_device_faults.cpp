// The device half of the fault campaign: the real updater against modules that
// are unplugged at every stage of a link (synchronisation, a request, the
// firmware transfer), a module that answers only some of its requests, a
// module program killed in the middle of an update over TCP/IP, and serial
// ports whose other side goes away. Every case must end within a bounded time
// with a clear message and a failing status, leaving the store entry whole
// and never recording a transfer that did not complete.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "E2EFaults.h"
#include "E2ERecover.h"
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

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kNewVersion = 0x2F021000;  // 2.16.0 as the module reports it
const std::string kNoServer = "http://127.0.0.1:1/cgi/u";
// Far above any of these runs on a loaded machine, far below a hang.
constexpr auto kNoHang = std::chrono::seconds(60);

std::string Tail(const std::string& text, size_t n = 3000) {
  return text.size() > n ? text.substr(text.size() - n) : text;
}

// What a store entry holds: its .settings text and the names in its folder.
struct EntrySnapshot {
  std::string settings;
  std::vector<std::string> names;
};

EntrySnapshot Snapshot(const std::string& home, uint32_t serial) {
  std::string d = home + "/.corvane/updater/" + Hex8(serial);
  return {testsupport::ReadFile(d + "/.settings"), faults::Entries(d)};
}

// A failed update leaves the entry as it was: the same .settings, no
// half-written file beside it, no transfer recorded.
void ExpectEntryUnchanged(const std::string& home, uint32_t serial, const EntrySnapshot& before) {
  EntrySnapshot after = Snapshot(home, serial);
  EXPECT_EQ(after.settings, before.settings) << "the store entry's .settings changed";
  EXPECT_EQ(after.names, before.names) << "files appeared in or vanished from the store entry";
  EXPECT_TRUE(Entry(home, serial)["LATEST_TRANSFER"].empty());
}

// ---------------------------------------------------------------- USB

class DeviceFaultsUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so")))
      GTEST_SKIP() << "the simulated USB bus is not built (target velmarine_usb_sim)";
    mkdir(home().c_str(), 0755);
  }

  std::string home() const { return dir / "home"; }
  std::string state() const { return dir / "state"; }
  std::string bus(const std::string& options) const {
    return Hex8(kSerial) + ":19:state=" + state() + (options.empty() ? "" : ":" + options);
  }

  // The image as build 1234 in the module's store entry, the latest download.
  void Store() {
    std::string d = home() + "/.corvane/updater/" + Hex8(kSerial);
    testsupport::Run("/bin/mkdir", {"-p", d});
    ASSERT_EQ(updtest::Pack(image.Manifest(), d + "/1234.bird"), "");
    testsupport::WriteFile(d + "/.settings", "LATEST_DOWNLOAD=1234.bird\n");
  }

  RunResult Run(const std::vector<std::string>& args, const std::string& busSpec) {
    auto start = std::chrono::steady_clock::now();
    RunResult r = testsupport::RunUpdater(args, home(), updtest::UsbBus(busSpec));
    EXPECT_FALSE(r.timedOut) << "the updater hung";
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
    return r;
  }
  RunResult Update(const std::string& busSpec) {
    return Run({"-u", kNoServer, "-U", "-b", "1234", "-d", Hex8(kSerial)}, busSpec);
  }

  void ExpectFlashed() {
    updtest::ModuleState s = updtest::ReadState(state());
    ASSERT_TRUE(s.present) << "the module never rebooted";
    EXPECT_EQ(s.build, image.build);
    EXPECT_EQ(s.version, kNewVersion);
    EXPECT_TRUE(s.flash[0] == image.Flashed(kSerial)) << "flash differs from the image";
  }

  TempDir dir;
  Image image = [] {
    Image i;
    i.size = 30000;  // over a thousand data packets: room to pull the plug mid-way
    return i;
  }();
};

// The module is pulled out at one point of an update.
struct Unplug {
  const char* name;
  const char* fault;    // bus option
  const char* message;  // on standard error
  const char* reached;  // on standard output: how far the update got ("" for nothing)
};
void PrintTo(const Unplug& u, std::ostream* os) { *os << u.name; }

class UnplugDuringUpdate : public DeviceFaultsUsb, public ::testing::WithParamInterface<Unplug> {};

TEST_P(UnplugDuringUpdate, FailsClearlyAndRecordsNothing) {
  Store();
  EntrySnapshot before = Snapshot(home(), kSerial);
  RunResult r = Update(bus(GetParam().fault));
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << Tail(r.err);
  EXPECT_NE(r.out.find(GetParam().reached), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  ExpectEntryUnchanged(home(), kSerial, before);
  // The module never restarted into the new firmware.
  EXPECT_FALSE(Exists(state()));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, UnplugDuringUpdate,
    ::testing::Values(
        // Synchronisation: the first probe, and after the route and first probes.
        Unplug{"SyncFirstTransfer", "unplug-after=0", "Failed to connect to module [40F5849A]", ""},
        Unplug{"SyncAfterProbes", "unplug-after=3", "Failed to connect to module [40F5849A]", ""},
        // Requests before any transfer: the serial number and model reads.
        Unplug{"SerialNumberRead", "unplug-on=3/9",
               "Could not read the serial number of module [40F5849A]", ""},
        Unplug{"ModelRead", "unplug-on=3/8", "Could not read the model of module [40F5849A]", ""},
        // The transfer: the loader's Init, its Load, the first Write, mid-firmware.
        Unplug{"LoaderInit", "unplug-on=0x5F/0", "Firmware update of module [40F5849A] failed", ""},
        Unplug{"LoaderStart", "unplug-on=0x5F/2", "Firmware update of module [40F5849A] failed",
               "Transferred 1 blocks, 12 total bytes"},
        Unplug{"FirstWrite", "unplug-on=0x5F/5", "Firmware update of module [40F5849A] failed",
               "Transferring firmware block 1 of 1"},
        Unplug{"MidFirmware", "unplug-after=600", "Firmware update of module [40F5849A] failed",
               "Transferring firmware block 1 of 1"},
        // Exactly at the Reboot request: the link's drop must not pass for a reboot.
        Unplug{"Reboot", "unplug-on=0x5F/6", "Firmware update of module [40F5849A] failed",
               "Transferred 1 blocks"}),
    [](const ::testing::TestParamInfo<Unplug>& info) { return info.param.name; });

// A module pulled out while -D reads it gets an error row; the listing goes
// on, and the module beside it is read in full.
TEST_F(DeviceFaultsUsb, UnplugDuringDiscoveryMarksThatModuleAndListsTheRest) {
  // Synchronisation, then the build, version and address reads.
  const char* faults[] = {"unplug-after=0", "unplug-after=3", "unplug-on=0x49", "unplug-on=3",
                          "unplug-on=3/1"};
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    RunResult r = Run({"-D"}, bus(fault) + ",2181F0EE:19:address=6:build=77:version=2.16.0");
    EXPECT_EQ(r.status, 0) << r.out << Tail(r.err);
    EXPECT_NE(r.out.find("    40F5849A  [Error ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    2181F0EE  06       00      Morlet         2.16.0 (77)"),
              std::string::npos)
        << r.out;
  }
  EXPECT_FALSE(Exists(home() + "/.corvane/updater/" + Hex8(kSerial)));
}

// A module that leaves every Nth request unanswered: each run either
// completes with exactly the image flashed and recorded, or fails naming the
// module with nothing recorded. Never a hang, never success for a failure.
struct Flaky {
  int every;
  bool completes;  // the one loss falls in the second firmware block, which is sent again
};
void PrintTo(const Flaky& f, std::ostream* os) { *os << "flaky=" << f.every; }

class FlakyModule : public DeviceFaultsUsb, public ::testing::WithParamInterface<Flaky> {
 protected:
  void SetUp() override {
    DeviceFaultsUsb::SetUp();
    // Two firmware blocks: the first takes some 1200 requests, the second some 500.
    image.extra = "[firmware]\naddress = 0x10000\nsize = 13000\nfill = 0x33\n";
  }
};

TEST_P(FlakyModule, EndsInACorrectResultOrAClearFailure) {
  const std::string fault = "flaky=" + std::to_string(GetParam().every);
  RunResult d = Run({"-D"}, bus(fault));
  EXPECT_EQ(d.status, 0) << d.out << Tail(d.err);
  // Either the module's true identity or an error row, never made-up values.
  bool row =
      d.out.find("    40F5849A  04       00      Morlet         2.15.3 (1)") != std::string::npos;
  bool error = d.out.find("    40F5849A  [Error (") != std::string::npos;
  EXPECT_TRUE(row || error) << d.out;

  Store();
  EntrySnapshot before = Snapshot(home(), kSerial);
  RunResult r = Update(bus(fault));
  if (GetParam().completes) {
    EXPECT_EQ(r.status, 0) << r.out << Tail(r.err);
    EXPECT_NE(r.out.find("  Retry 1"), std::string::npos) << r.out;
  }
  if (r.status == 0) {
    ExpectFlashed();
    updtest::ModuleState s = updtest::ReadState(state());
    EXPECT_TRUE(s.flash[0x10000] == std::vector<uint8_t>(13000, 0x33))
        << "the second block differs from the image";
    EXPECT_EQ(Entry(home(), kSerial)["LATEST_TRANSFER"], "1234.bird");
    return;
  }
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find("module [40F5849A]"), std::string::npos) << Tail(r.err);
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  ExpectEntryUnchanged(home(), kSerial, before);
}

INSTANTIATE_TEST_SUITE_P(EveryNth, FlakyModule,
                         ::testing::Values(Flaky{2, false}, Flaky{3, false}, Flaky{10, false},
                                           Flaky{200, false}, Flaky{1500, true}),
                         [](const ::testing::TestParamInfo<Flaky>& info) {
                           return "Every" + std::to_string(info.param.every);
                         });

// ---------------------------------------------------------------- TCP/IP

// The module program dies in the middle of the firmware transfer.
TEST(DeviceFaultsTcp, ModuleProgramKilledMidTransferFailsClearly) {
  testsupport::NetNamespaces hosts;
  std::string why = hosts.Create("vdfl");
  if (!why.empty()) GTEST_SKIP() << why << ": TCP/IP fault case skipped";
  TempDir dir;
  std::string home = dir / "home";
  std::string d = home + "/.corvane/updater/" + Hex8(kSerial);
  testsupport::Run("/bin/mkdir", {"-p", d});
  Image image;
  image.size = 30000;
  ASSERT_EQ(updtest::Pack(image.Manifest(), d + "/1234.bird"), "");
  testsupport::WriteFile(d + "/.settings", "LATEST_DOWNLOAD=1234.bird\n");
  EntrySnapshot before = Snapshot(home, kSerial);

  const std::string address = testsupport::NetNamespaces::kAddressB;
  Background sim(
      hosts.IpProgram(),
      hosts.ExecArgs(
          hosts.b, testsupport::ProgramPath("sim/module", "velmarine-sim"),
          {"--module", "serial=" + Hex8(kSerial) + ",model=19,address=4,state=" + (dir / "state"),
           "--tcp", address + ":0", "--discovery-interface", address}));
  std::string line;
  while (!(line = sim.ReadLine()).empty() && line.rfind("discovery", 0) != 0) {
  }
  ASSERT_FALSE(line.empty()) << "the simulator did not start";

  testsupport::RunOptions options;
  options.env["HOME"] = home;
  options.timeoutMs = 120000;
  std::vector<std::string> args = {"netns", "exec",    hosts.a,       testsupport::UpdaterPath(),
                                   "-u",    kNoServer, "-U",          "-b",
                                   "1234",  "-d",      Hex8(kSerial), "-X",
                                   "0x400"};
  bool killed = false;
  options.onErrLine = testsupport::AtErrLine("val_UPGRADE_DATA, 26", 200, [&] {
    kill(-sim.pid(), SIGKILL);
    kill(sim.pid(), SIGKILL);
    killed = true;
    return false;
  });
  auto start = std::chrono::steady_clock::now();
  RunResult r = testsupport::Run(hosts.IpProgram(), args, options);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(killed) << "the transfer never got under way: " << Tail(r.err);
  EXPECT_FALSE(r.timedOut);
  EXPECT_LT(took, kNoHang);
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find("Firmware update of module [40F5849A] failed"), std::string::npos)
      << Tail(r.err);
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  ExpectEntryUnchanged(home, kSerial, before);
  EXPECT_FALSE(Exists(dir / "state"));
}

// ---------------------------------------------------------------- serial ports

// The boot ROM simulator holding the other side of the recovery port is killed
// while the updater waits on it: during the LPC synchronisation, during an
// LPC request, and during an i.MX request. (The LPC transfer case is in
// test_recover_lpc.cpp.)
class PortDisappears : public recovertest::RecoverFixture {
 protected:
  // Kills the simulator at once, as a pulled cable would end the line.
  static void Pull(std::unique_ptr<Background>& program) {
    kill(program->pid(), SIGKILL);
    program->Stop();
  }

  // Waits for text in a log file, then pulls the program.
  void PullWhenLogged(std::unique_ptr<Background>& program, const std::string& log,
                      const std::string& text) {
    for (int i = 0; i < 3000 && !stop_; i++) {
      if (testsupport::ReadFile(log).find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Pull(program);
  }

  RunResult Timed(const std::vector<std::string>& args, testsupport::RunOptions options = {}) {
    auto start = std::chrono::steady_clock::now();
    RunResult r = Updater(args, options, 90000);
    EXPECT_FALSE(r.timedOut) << "the updater hung";
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoHang);
    return r;
  }

  std::atomic<bool> stop_{false};
};

TEST_F(PortDisappears, DuringLpcSynchronisation) {
  std::string pty = StartLpc({"--silent"});
  // The sync request is on its way when the line goes.
  testsupport::RunOptions options;
  options.onErrLine = testsupport::AtErrLine("Sending:\\[3F\\]", 1, [&] {
    Pull(lpc);
    return false;
  });
  RunResult r = Timed({"-U", "-t", "RECOVER", "-s", pty, "-u", kNoServer, "-X", "0x1000"}, options);
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find("Could not get Device Identifier"), std::string::npos) << Tail(r.err);
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
}

TEST_F(PortDisappears, DuringAnLpcRequestBeforeTheFlashIsTouched) {
  std::string pty = StartLpc({"--mute", "N"});
  std::thread pull([&] { PullWhenLogged(lpc, dir / "lpc.log", "cmd N"); });
  RunResult r = Timed({"-U", "-t", "RECOVER", "-s", pty, "-u", kNoServer});
  stop_ = true;
  pull.join();
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find("Could not get Device Identifier"), std::string::npos) << Tail(r.err);
  std::string log = testsupport::ReadFile(dir / "lpc.log");
  EXPECT_EQ(log.find("cmd E"), std::string::npos) << log;
  EXPECT_EQ(log.find("cmd W"), std::string::npos) << log;
}

TEST_F(PortDisappears, DuringAnImxSerialRequest) {
  // The recovery loader the updater sends once the chip answers.
  testsupport::WriteFile(dir / "loader.bin", recovertest::Firmware(3000, 1));
  Pack("tree/DEADDEAD/1.bird",
       "[info]\nbuild = 1\nversion = 1.0.1\nserial = DEADDEAD\nmodel = HUB\n"
       "[loader]\naddress = 0x20000000\nfile = loader.bin\n"
       "[start-address]\naddress = 0x20000400\n");
  std::string url = Serve();
  std::string pty = StartImx({"--ignore", "1"});
  std::thread pull([&] { PullWhenLogged(imx, dir / "rom.log", "ignored"); });
  RunResult r = Timed({"-N", "-s", pty, "-u", url});
  stop_ = true;
  pull.join();
  EXPECT_EQ(r.status, 1) << r.out << Tail(r.err);
  EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << Tail(r.err);
  EXPECT_NE(r.err.find("Writing the recovery loader failed"), std::string::npos) << Tail(r.err);
  EXPECT_EQ(r.out.find("[ "), std::string::npos) << "a fingerprint was reported: " << r.out;
}

}  // namespace
