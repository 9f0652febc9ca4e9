// End-to-end tests of -N and -U -t RECOVER on an i.MX chip: the real updater
// with the boot ROM behind the preloaded hidapi stand-in (port "USB") or on
// the simulator's pseudo-terminal, the started loader's module on the
// preloaded simulated USB bus, and the self-hosted update server.
#include "E2ERecover.h"

namespace recovertest {
namespace {

const std::string kImxFingerprint = "A1A1A1A1.B2B2B2B2.C3C3C3C3.D4D4D4D4";
const std::string kImxFingerprintWords = "A1A1A1A1 B2B2B2B2 C3C3C3C3 D4D4D4D4";

class RecoverImxTest : public RecoverFixture {
 protected:
  void SetUp() override {
    RecoverFixture::SetUp();
    loader = Firmware(3000, 1);
    testsupport::WriteFile(dir / "loader.bin", loader);
    // The default recovery loader, kept under the default serial number.
    Pack("tree/DEADDEAD/1.bird",
         "[info]\nbuild = 1\nversion = 1.0.1\nserial = DEADDEAD\nmodel = HUB\n"
         "[loader]\naddress = 0x20000000\nfile = loader.bin\n"
         "[start-address]\naddress = 0x20000400\n");
    // The module's recovery build, whose identity the module takes when it restarts.
    firmware = Firmware(2000, 2) + "VLMID build=120 version=1.2.120;" + Firmware(3000, 3);
    testsupport::WriteFile(dir / "fw.bin", firmware);
    Pack("tree/" + kSerial + "/120.bird",
         "[info]\nbuild = 120\nversion = 1.2.120\nserial = " + kSerial +
             "\nmodel = HUB\n[firmware]\naddress = 0x60002000\nfile = fw.bin\n");
    Fingerprints(kImxFingerprintWords + " " + kSerial + " 120\n");
  }

  // What the started loader brings up on the USB bus: the loader's module
  // under the default serial number, answering with the chip's fingerprint.
  std::string Plug(const std::string& extra = "") {
    return "--plug DEADDEAD:19:fingerprint=" + kImxFingerprint + ":state=" + (dir / "module") +
           extra;
  }

  std::string loader;
  std::string firmware;
};

TEST_F(RecoverImxTest, FingerprintThroughHidAfterTheLpcAttemptFails) {
  std::string url = Serve();
  RunResult r = Updater({"-N", "-s", "USB", "-u", url, "-X", "0x10000"}, Preloaded(Plug(), true));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[ " + kImxFingerprintWords + " ]\n"), std::string::npos) << r.out;
  // The port named USB is tried as an LPC serial port first.
  EXPECT_NE(r.err.find("==> Could not open serial port"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Existing loader device not found. Downloading."), std::string::npos);
  std::string rom = ReadFile(dir / "rom.log");
  EXPECT_NE(rom.find("loaded 0x20000000 3000"), std::string::npos) << rom;
  EXPECT_NE(rom.find("jump 0x20000400"), std::string::npos) << rom;
  EXPECT_TRUE(Exists(Store("DEADDEAD/1.bird")));
}

// Over the serial line the simulator announces the jump by a file, which the
// stand-in in the updater watches to bring up the loader's module.
TEST_F(RecoverImxTest, FingerprintThroughTheSerialLine) {
  std::string url = Serve();
  std::string pty = StartImx({"--jump-file", dir / "jumped"});
  RunResult r = Updater({"-N", "-s", pty, "-u", url},
                        Preloaded(Plug() + " --watch " + (dir / "jumped"), true));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[ " + kImxFingerprintWords + " ]\n"), std::string::npos) << r.out;
  std::string rom = ReadFile(dir / "rom.log");
  EXPECT_NE(rom.find("loaded 0x20000000 3000"), std::string::npos) << rom;
  EXPECT_NE(rom.find("jump 0x20000400"), std::string::npos) << rom;
}

TEST_F(RecoverImxTest, FingerprintWithAFileNeedsASerialNumber) {
  std::string pty = StartImx();
  RunResult r = Updater({"-N", "-s", pty, "-f", dir / "tree/DEADDEAD/1.bird"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Add serial number or remove the bird filename to use a default recovery "
                       "image.\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir / "rom.log").find("write-file"), std::string::npos);
}

// The whole recovery, over HID and over the serial line: the loader is
// written and started, the fingerprint read from its module names the module
// and its build on the server, and the firmware goes to the loader's module.
// The loader's module takes the firmware at once, as a module whose upgrade
// loader already runs (the plug option "loader").
class RecoverImxTransportTest : public RecoverImxTest,
                                public ::testing::WithParamInterface<bool> {};

TEST_P(RecoverImxTransportTest, RecoversTheModule) {
  bool serialLine = GetParam();
  std::string url = Serve();
  std::string port = "USB";
  std::string romOptions = Plug(":loader");
  if (serialLine) {
    port = StartImx({"--jump-file", dir / "jumped"});
    romOptions += " --watch " + (dir / "jumped");
  }
  RunResult r =
      Updater({"-U", "-t", "RECOVER", "-s", port, "-u", url}, Preloaded(romOptions, true));
  std::string rom = ReadFile(dir / "rom.log");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Recovering firmware with build: 120"), std::string::npos) << r.out;
  EXPECT_NE(rom.find("jump 0x20000400"), std::string::npos) << rom;
  std::string module = ReadFile(dir / "module");
  EXPECT_NE(module.find("build 120\n"), std::string::npos);
  EXPECT_NE(module.find(firmware), std::string::npos) << "the module's flash lacks the firmware";
}

INSTANTIATE_TEST_SUITE_P(Transports, RecoverImxTransportTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "SerialLine" : "Hid";
                         });

// A module that refuses the firmware: the failure says what the module runs.
TEST_F(RecoverImxTest, ModuleRefusingTheFirmware) {
  std::string url = Serve();
  RunResult r = Updater({"-U", "-t", "RECOVER", "-s", "USB", "-u", url}, Preloaded(Plug(), true));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Recovering firmware with build: 120"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Failed to transfer firmware\nThe module runs its recovery loader without "
                       "complete firmware; run the recovery again"),
            std::string::npos)
      << r.err;
}

// Loader faults, each refused with a message that says where the module is.
struct LoaderFault {
  const char* name;
  std::string loaderManifest;  // replaces the served default loader when not empty
  std::string romOptions;
  bool usbBus;
  std::string message;
  std::string romLog;  // a line the boot ROM must have logged ("" for none)
};
void PrintTo(const LoaderFault& fault, std::ostream* os) { *os << fault.name; }
class RecoverImxFaultTest : public RecoverImxTest,
                            public ::testing::WithParamInterface<LoaderFault> {};

TEST_P(RecoverImxFaultTest, FailsWithTheModuleState) {
  const LoaderFault& p = GetParam();
  if (!p.loaderManifest.empty()) Pack("tree/DEADDEAD/1.bird", p.loaderManifest);
  std::string url = Serve();
  RunResult r =
      Updater({"-U", "-t", "RECOVER", "-s", "USB", "-u", url}, Preloaded(p.romOptions, p.usbBus));
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(p.message), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Could not get Device Identifier"), std::string::npos) << r.err;
  std::string rom = ReadFile(dir / "rom.log");
  if (p.romLog.empty())
    EXPECT_EQ(rom.find("write-file"), std::string::npos) << rom;
  else
    EXPECT_NE(rom.find(p.romLog), std::string::npos) << rom;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecoverImxFaultTest,
    ::testing::Values(
        // A loader block too short for its address word: nothing is sent.
        LoaderFault{"ShortLoaderBlock",
                    "[info]\nbuild = 1\nversion = 1.0.1\nserial = DEADDEAD\n[block]\ntype = 0\nhex "
                    "= 20 00\n",
                    "", false, "Loader block 0 is 2 bytes long, too short for its load address",
                    ""},
        LoaderFault{"NoLoaderBlock", "[info]\nbuild = 1\nversion = 1.0.1\nserial = DEADDEAD\n", "",
                    false, "The recovery image holds no loader block", ""},
        LoaderFault{"NoBootRom", "", "--no-device", false,
                    "No i.MX boot ROM could be opened on USB", ""},
        LoaderFault{"NoCompletionReply", "", "--no-complete", false,
                    "Writing the recovery loader failed (4): the module is still in its boot ROM",
                    "loaded 0x20000000 3000"},
        // The loader starts, but no module ever shows up on USB (15 tries, a second apart).
        LoaderFault{"NoModuleAfterTheJump", "", "", true,
                    "The recovery loader was started but no module answered on USB",
                    "jump 0x20000400"}),
    [](const ::testing::TestParamInfo<LoaderFault>& info) { return info.param.name; });

}  // namespace
}  // namespace recovertest
