// End-to-end tests of -U over the simulated USB bus: the real updater with the
// bus preloaded, images made by the birdfile tool and served by the update
// server, the module's flash read back from the simulator's state file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <poll.h>

#include <thread>

#include "UpdateE2E.h"

namespace {

using testsupport::Background;
using testsupport::RunResult;
using testsupport::TempDir;
using updtest::Entry;
using testsupport::Exists;
using updtest::Hex8;
using updtest::Image;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kNewVersion = 0x2F021000;  // 2.16.0 as the module reports it

class UpdateUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so")))
      GTEST_SKIP() << "the simulated USB bus is not built (target velmarine_usb_sim)";
    mkdir(home().c_str(), 0755);
    mkdir((dir / "tree").c_str(), 0755);
  }

  std::string home() const { return dir / "home"; }
  std::string state(uint32_t serial = kSerial) const { return dir / ("state-" + Hex8(serial)); }
  std::string bus(uint32_t serial = kSerial, const std::string& options = "") const {
    return Hex8(serial) + ":19:state=" + state(serial) + (options.empty() ? "" : ":" + options);
  }
  std::string storeDir(uint32_t serial = kSerial) const {
    return home() + "/.corvane/updater/" + Hex8(serial);
  }

  // Puts the image into the store entry as BUILD.bird, with the entry's keys.
  void Store(const Image& image, uint32_t serial = kSerial, const std::string& settings = "") {
    std::string d = storeDir(serial);
    testsupport::Run("/bin/mkdir", {"-p", d});
    ASSERT_EQ(updtest::Pack(image.Manifest(), d + "/" + std::to_string(image.build) + ".bird"), "");
    if (!settings.empty()) testsupport::WriteFile(d + "/.settings", settings);
  }

  std::string Serve() {
    std::string url = testsupport::StartUpdateServer(server, dir / "tree");
    EXPECT_FALSE(url.empty()) << "the update server did not start";
    return url;
  }

  RunResult Update(const std::vector<std::string>& args, const std::string& busSpec) {
    return testsupport::RunUpdater(args, home(), updtest::UsbBus(busSpec));
  }

  // The module holds exactly the image's firmware and runs its build.
  void ExpectFlashed(const Image& image, uint32_t serial = kSerial) {
    updtest::ModuleState s = updtest::ReadState(state(serial));
    ASSERT_TRUE(s.present) << "the module never rebooted";
    EXPECT_EQ(s.build, image.build);
    EXPECT_EQ(s.version, kNewVersion);
    ASSERT_EQ(s.flash.count(0), 1u);
    EXPECT_TRUE(s.flash[0] == image.Flashed(serial)) << "flash differs from the image";
  }

  TempDir dir;
  std::unique_ptr<Background> server;
  const std::string kNoServer = "http://127.0.0.1:1/cgi/u";
};

TEST_F(UpdateUsb, DownloadThenUpdateWritesTheSerialIntoAGenericImageAndRecordsTheTransfer) {
  Image image;
  testsupport::Run("/bin/mkdir", {"-p", dir / ("tree/" + Hex8(kSerial))});
  ASSERT_EQ(updtest::Pack(image.Manifest(), dir / ("tree/" + Hex8(kSerial) + "/1234.bird")), "");
  std::string url = Serve();

  RunResult r = Update({"-u", url, "-G", "-U", "-d", Hex8(kSerial)}, bus());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Updating firmware with build: 1234"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Transferring firmware block 1 of 1, 5004 bytes"), std::string::npos);
  EXPECT_NE(r.out.find("Update time: "), std::string::npos);
  ExpectFlashed(image);
  auto entry = Entry(home(), kSerial);
  EXPECT_EQ(entry["LATEST_TRANSFER"], "1234.bird");
  EXPECT_FALSE(entry["LAST_TRANSFER_DATE"].empty());
  // A later program finds the module running the new build.
  r = Update({"-D", "-t", "USB"}, bus());
  EXPECT_NE(r.out.find("40F5849A  04       00      Morlet         2.16.0 (1234)"),
            std::string::npos)
      << r.out;
}

TEST_F(UpdateUsb, UpdateFromAFileAsksNoServerAndRecordsThePath) {
  Image image;
  std::string file = dir / "given.bird";
  ASSERT_EQ(updtest::Pack(image.Manifest(), file), "");
  Store(image, kSerial, "LATEST_DOWNLOAD=1.bird\n");  // an entry for the keys to go into
  RunResult r = Update({"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial)}, bus());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Updating from Birdfile: " + file), std::string::npos) << r.out;
  ExpectFlashed(image);
  EXPECT_EQ(Entry(home(), kSerial)["LATEST_TRANSFER"], file);

  // A module found neither on USB nor over TCP/IP: no validation is tried.
  r = Update({"-u", kNoServer, "-U", "-f", file, "-d", "12345678"}, bus());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Failed to connect to module [12345678]"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("validation"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("No permission"), std::string::npos) << r.err;
}

// A device the user may not claim (access) or not even open (denied, as
// without the udev rules): the failure is followed by one line on the rules.
TEST_F(UpdateUsb, RefusedUsbAccessNamesTheUdevRulesOnce) {
  Image image;
  Store(image, kSerial, "LATEST_DOWNLOAD=1234.bird\n");
  const std::string hint =
      "No permission to open a Velmarine USB device: install the udev rules "
      "70-velmarine-updater.rules";
  for (const char* fault : {"access", "denied"}) {
    SCOPED_TRACE(fault);
    RunResult r = Update({"-u", kNoServer, "-U", "-d", Hex8(kSerial)}, bus(kSerial, fault));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed to connect to module [40F5849A]\n" + hint), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find(hint), r.err.rfind(hint)) << "said more than once: " << r.err;
    EXPECT_TRUE(Entry(home(), kSerial)["LATEST_TRANSFER"].empty());
    EXPECT_FALSE(updtest::ReadState(state()).present) << "the module was touched";

    // The listing shows what could be read and ends with the same line.
    r = Update({"-D"}, bus(kSerial, fault) + ",2181F0EE:4");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2181F0EE  04"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
  }
}

// Which build is taken when none is named, and what is said about it.
TEST_F(UpdateUsb, BuildChoiceFallsBackFromTheServerToTheLatestDownloadAndTransfer) {
  struct Case {
    const char* name;
    std::string settings;
    bool serverHasNewer;
    std::vector<std::string> extra;
    int status;
    const char* said;
  } cases[] = {
      {"latest download",
       "LATEST_DOWNLOAD=1234.bird\n",
       false,
       {},
       0,
       "Updating with the Latest Download"},
      {"latest transfer",
       "LATEST_TRANSFER=1234.bird\n",
       false,
       {},
       0,
       "Updating with the Latest Transfer"},
      {"nothing stored", "", false, {}, 1, "Could not find valid build for this device."},
      {"named build missing", "", false, {"-b", "999"}, 1, "Failed to load bird file"},
      {"server newer than the store",
       "LATEST_DOWNLOAD=1234.bird\n",
       true,
       {},
       0,
       "New firmware is available.  Updater will proceed if valid firmware is found locally."},
  };
  Image image;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::Run("/bin/rm", {"-rf", home() + "/.corvane", state(), dir / "tree"});
    std::string url = kNoServer;
    if (c.serverHasNewer) {
      Image newer = image;
      newer.build = 1300;
      testsupport::Run("/bin/mkdir", {"-p", dir / ("tree/" + Hex8(kSerial))});
      ASSERT_EQ(updtest::Pack(newer.Manifest(), dir / ("tree/" + Hex8(kSerial) + "/1300.bird")),
                "");
      url = Serve();
    }
    if (c.status == 0) Store(image, kSerial, c.settings);
    std::vector<std::string> args = {"-u", url, "-U", "-d", Hex8(kSerial), "-X", "1"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult r = Update(args, bus());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
    if (!c.serverHasNewer && c.extra.empty()) {
      EXPECT_NE(r.err.find("Error: Could not convert  to int."), std::string::npos) << r.err;
    }
    if (c.status == 0) {
      ExpectFlashed(image);
    } else {
      EXPECT_FALSE(Exists(state())) << "something reached the module";
      EXPECT_EQ(r.out.find("Transferring"), std::string::npos);
    }
    server.reset();
  }
}

TEST_F(UpdateUsb, ValidationRefusesAnotherModelOrSerialUnlessOverridden) {
  struct Case {
    const char* name;
    Image image;
    bool override;
    int status;
    std::vector<std::string> said, notSaid;
  };
  Image otherModel;
  otherModel.model = "Torvik";
  Image otherSerial;
  otherSerial.generic = false;
  otherSerial.serial = 0x12345678;
  Image ownSerial;
  ownSerial.generic = false;
  ownSerial.serial = kSerial;
  Case cases[] = {
      {"another model",
       otherModel,
       false,
       1,
       {"Connected device model and Bird file model do not match [Morlet] (0)",
        "Birdfile failed validation"},
       {"Transferring"}},
      {"another model with -OVERRIDE", otherModel, true, 0, {"Update time"}, {"Birdfile failed"}},
      {"an image of another serial number",
       otherSerial,
       false,
       1,
       {"Birdfile failed validation"},
       {"do not match", "Transferring"}},
      {"an image of this serial number", ownSerial, false, 0, {"Update time"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(state().c_str());
    std::string file = dir / "image.bird";
    ASSERT_EQ(updtest::Pack(c.image.Manifest(), file), "");
    std::vector<std::string> args = {"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial)};
    if (c.override) args.push_back("-OVERRIDE");
    RunResult r = Update(args, bus());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& s : c.said)
      EXPECT_NE((r.out + r.err).find(s), std::string::npos) << s << "\n" << r.out << r.err;
    for (const std::string& s : c.notSaid)
      EXPECT_EQ((r.out + r.err).find(s), std::string::npos) << s << "\n" << r.out << r.err;
    if (c.status == 0) ExpectFlashed(c.image);
  }
}

TEST_F(UpdateUsb, DamagedImagesAreRefusedBeforeAnythingIsSent) {
  Image good;
  std::string whole = dir / "whole.bird";
  ASSERT_EQ(updtest::Pack(good.Manifest(), whole), "");
  std::string bytes = testsupport::ReadFile(whole);
  // Content whose last block claims more bytes than there are.
  std::string overrun = std::string("\0\0\0\1", 4) + "\x01" + std::string("\0\0\x10\0", 4) +
                        std::string(100, '\0') + std::string(4, '\0');
  struct Case {
    const char* name;
    std::string file;
    const char* said;
  } cases[] = {
      {"truncated file", bytes.substr(0, bytes.size() / 2), "Failed to load bird file"},
      {"a block past the end", updtest::RawBird(overrun), "truncated or damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "bad.bird";
    testsupport::WriteFile(file, c.file);
    RunResult r = Update({"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial)}, bus());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("Transferring"), std::string::npos) << r.out;
  }
  struct Made {
    const char* name;
    std::string section;
    const char* said;
  } made[] = {
      {"a firmware block shorter than its address", "[block]\ntype = 1\nhex = 00 01\n",
       "a firmware block is shorter than its address"},
      {"an empty loader block", "[block]\ntype = 0\n", "a loader block holds no loader"},
  };
  for (const Made& m : made) {
    SCOPED_TRACE(m.name);
    Image image;
    image.extra = m.section;
    std::string file = dir / "bad.bird";
    ASSERT_EQ(updtest::Pack(image.Manifest(), file), "");
    RunResult r = Update({"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial)}, bus());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(m.said), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("Transferring"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(Exists(state())) << "something reached the module";
}

// Each fault of the module's loader ends as it should; a failed update leaves
// the store entry alone, and the next run without the fault completes.
TEST_F(UpdateUsb, LoaderFaultsEndInACompletedUpdateOrAClearFailureThatARerunMends) {
  struct Case {
    const char* fault;
    int status;
    const char* said;
  } cases[] = {
      {"data-short=3", 0, "Invalid upgrade transfer response [20 != 26]"},
      {"sum-off=2", 0, "  Retry 1"},
      {"load-mute", 0, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err."},
      {"load-drop", 0, "NETWORK: Loader validated start (Reconnect)"},
      {"never-back", 0, "Update time"},
      {"prepare-fail=2", 1, "Firmware update of module [40F5849A] failed [29, vErrInvalidOption]"},
      {"drop-in-block=5", 1, "Firmware update of module [40F5849A] failed"},
      {"data-short=3:data-short-repeat=1000", 1, "Data packet not accepted after 16 sends"},
      {"block-size=0", 1, "Loader announced a block size of 0"},
      {"init-short", 1, "Error starting loader [24, vErrPacket]."},
  };
  Image image;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    testsupport::Run("/bin/rm", {"-rf", home() + "/.corvane", state()});
    Store(image, kSerial, "LATEST_DOWNLOAD=1234.bird\n");
    RunResult r = Update({"-u", kNoServer, "-U", "-b", "1234", "-d", Hex8(kSerial), "-X", "0x501"},
                         bus(kSerial, c.fault));
    EXPECT_EQ(r.status, c.status) << r.out
                                  << r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out;
    if (c.status == 0) {
      ExpectFlashed(image);
      EXPECT_EQ(Entry(home(), kSerial)["LATEST_TRANSFER"], "1234.bird");
      continue;
    }
    EXPECT_TRUE(Entry(home(), kSerial)["LATEST_TRANSFER"].empty());
    r = Update({"-u", kNoServer, "-U", "-b", "1234", "-d", Hex8(kSerial)}, bus());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ExpectFlashed(image);
    EXPECT_EQ(Entry(home(), kSerial)["LATEST_TRANSFER"], "1234.bird");
  }
}

TEST_F(UpdateUsb, ChunksGoAsDataPacketsOfAtMost26BytesAndAnAddressOnlyBlockSendsNothing) {
  Image image;
  image.size = 60;
  image.generic = false;
  image.serial = kSerial;
  image.extra = "[firmware]\naddress = 0x8000\n";  // the address word only
  std::string file = dir / "small.bird";
  ASSERT_EQ(updtest::Pack(image.Manifest(), file), "");
  RunResult r = Update({"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial), "-X", "0x400"},
                       bus(kSerial, "block-size=60"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  size_t at = r.err.find("NETWORK: Firmware Transfer (addr=00000000, len=60)");
  ASSERT_NE(at, std::string::npos) << r.err;
  std::string firmware = r.err.substr(at);
  std::string expected[] = {
      "val_UPGRADE_DATA, 26}", "val_UPGRADE_DATA, 26}",  "val_UPGRADE_DATA, 8}",
      "val_UPGRADE_SUM}",      "val_UPGRADE_WRITE, 60}", "Firmware Transfer (addr=00008000, len=0)",
      "LoaderReboot"};
  size_t pos = 0;
  for (const std::string& step : expected) {
    size_t next = firmware.find(step, pos);
    ASSERT_NE(next, std::string::npos) << step << " missing after offset " << pos;
    pos = next + step.size();
  }
  EXPECT_EQ(firmware.find("val_UPGRADE_WRITE, 0}"), std::string::npos);
  ExpectFlashed(image);
}

// A run killed at any point of a transfer never leaves the store claiming it,
// keeps the store's files whole, and a second run completes the update.
TEST_F(UpdateUsb, KilledUpdatesNeverCountAsDoneAndASecondRunCompletes) {
  struct Case {
    const char* point;
    const char* pattern;  // the line that triggers the kill; "" for the reboot itself
    int nth;
  } cases[] = {
      {"after the loader", "NETWORK: Loader validated start", 1},
      {"in the middle of a block", "val_UPGRADE_DATA, 26", 40},
      {"between Write and the next Prepare", "NETWORK: Loader validated write", 1},
      {"at the reboot", "NETWORK: LoaderReboot", 1},
      {"during the reboot wait, before the store save", "", 0},
  };
  Image image;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point);
    testsupport::Run("/bin/rm", {"-rf", home() + "/.corvane", state()});
    Store(image, kSerial, "LATEST_DOWNLOAD=1234.bird\n");
    std::vector<std::string> args = {"-u", kNoServer,     "-U", "-b",   "1234",
                                     "-d", Hex8(kSerial), "-X", "0x401"};
    testsupport::RunOptions options = updtest::UsbBus(bus());
    options.env["HOME"] = home();
    bool killed;
    if (*c.pattern) {
      killed = updtest::KillAt(args, options, c.pattern, c.nth);
    } else {
      // The module writes its state file as it reboots: kill then.
      killed = updtest::KillWhen(args, options, [&] { return Exists(state()); });
    }
    EXPECT_TRUE(killed);
    auto entry = Entry(home(), kSerial);
    EXPECT_EQ(entry["LATEST_DOWNLOAD"], "1234.bird") << "the store entry was damaged";
    if (!entry["LATEST_TRANSFER"].empty()) ExpectFlashed(image);
    RunResult r = Update({"-u", kNoServer, "-U", "-b", "1234", "-d", Hex8(kSerial)}, bus());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ExpectFlashed(image);
    EXPECT_EQ(Entry(home(), kSerial)["LATEST_TRANSFER"], "1234.bird");
  }
}

TEST_F(UpdateUsb, EightUpdatersAtOnceSharingOneStoreAllSucceed) {
  Image image;
  std::vector<uint32_t> serials;
  for (uint32_t i = 0; i < 8; ++i) {
    serials.push_back(0x51000000 + i);
    Store(image, serials.back(), "LATEST_DOWNLOAD=1234.bird\n");
  }
  std::vector<RunResult> results(serials.size());
  std::vector<std::thread> runs;
  for (size_t i = 0; i < serials.size(); ++i)
    runs.emplace_back([&, i] {
      results[i] = Update({"-u", kNoServer, "-U", "-d", Hex8(serials[i])}, bus(serials[i]));
    });
  for (auto& t : runs) t.join();
  for (size_t i = 0; i < serials.size(); ++i) {
    SCOPED_TRACE(Hex8(serials[i]));
    EXPECT_EQ(results[i].status, 0) << results[i].out << results[i].err;
    ExpectFlashed(image, serials[i]);
    auto entry = Entry(home(), serials[i]);
    EXPECT_EQ(entry["LATEST_DOWNLOAD"], "1234.bird");
    EXPECT_EQ(entry["LATEST_TRANSFER"], "1234.bird");
  }
}

TEST_F(UpdateUsb, TwoUpdatersOfOneModuleTheSecondIsRefusedClearly) {
  Image image;
  image.size = 30000;  // long enough for the two runs to overlap
  Store(image, kSerial, "LATEST_DOWNLOAD=1234.bird\n");
  RunResult results[2];
  std::thread first([&] {
    results[0] = Update({"-u", kNoServer, "-U", "-d", Hex8(kSerial)}, bus());
  });
  // The second starts once the first holds the module, however loaded the machine.
  std::string hold = home() + "/.corvane/updater/.locks/40F5849A.lock";
  for (int i = 0; i < 3000; i++) {
    int fd = open(hold.c_str(), O_RDONLY | O_CLOEXEC);
    bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    if (held) break;
    usleep(10000);
  }
  results[1] = Update({"-u", kNoServer, "-U", "-d", Hex8(kSerial)}, bus());
  first.join();
  EXPECT_EQ(results[0].status, 0) << results[0].out << results[0].err;
  EXPECT_EQ(results[1].status, 1) << results[1].out << results[1].err;
  EXPECT_NE(results[1].err.find("Module [40F5849A] is being updated by another process"),
            std::string::npos)
      << results[1].err;
  ExpectFlashed(image);
}

TEST_F(UpdateUsb, ThroughARouterTheModuleBehindItIsFoundUpdatedAndNotWaitedFor) {
  Image image;
  std::string file = dir / "image.bird";
  ASSERT_EQ(updtest::Pack(image.Manifest(), file), "");
  std::string routed = "D272031D:13:address=4," + bus(kSerial, "address=8:router=4");
  RunResult r = Update(
      {"-u", kNoServer, "-U", "-f", file, "-d", Hex8(kSerial), "-r", "D272031D", "-X", "0x400"},
      routed);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ExpectFlashed(image);
  // The router's link stays up: the reboot wait ends after its first pause.
  size_t reboot = r.err.find("NETWORK: LoaderReboot");
  ASSERT_NE(reboot, std::string::npos);
  std::string tail = r.err.substr(reboot);
  size_t waits = 0;
  for (size_t at = tail.find("Waiting for link to drop."); at != std::string::npos;
       at = tail.find("Waiting for link to drop.", at + 1))
    ++waits;
  EXPECT_LE(waits, 1u) << tail;

  r = Update({"-u", kNoServer, "-U", "-f", file, "-d", "12345678", "-r", "D272031D"}, routed);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Module address required for indirect firmware update, could not find "
                       "serial number [0x12345678] on network"),
            std::string::npos)
      << r.err;
}

}  // namespace
