// End-to-end tests of -N and -U -t RECOVER on an LPC chip: the real updater
// against the LPC boot ROM simulator on a pseudo-terminal and the self-hosted
// update server, with the simulator's flash dump and event log as evidence.
#include <signal.h>

#include <chrono>
#include <thread>

#include "E2ERecover.h"

namespace recovertest {
namespace {

const std::string kKey = "0x11111111 0x22222222 0x33333333 0x44444444";

class RecoverLpcTest : public RecoverFixture {
 protected:
  // Builds 120 and 121 of the module on the server, each scrambled with the
  // chip's fingerprint, and the fingerprint's entry naming build 120.
  void ServeRecoveryBuilds() {
    LpcImage("tree/" + kSerial + "/120.bird", 120, fw120, kKey);
    LpcImage("tree/" + kSerial + "/121.bird", 121, fw121, kKey);
    Fingerprints(std::string(kLpcFingerprintWords) + " " + kSerial + " 120\n");
  }

  std::string fw120 = Firmware(9000, 120);
  std::string fw121 = Firmware(5000, 121);
};

TEST_F(RecoverLpcTest, FingerprintNeedsNeitherStoreNorServer) {
  std::string pty = StartLpc();
  RunResult r = Updater({"-N", "-s", pty, "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[ 11111111 22222222 33333333 44444444 ]\n"), std::string::npos) << r.out;
  // The store directory exists, but no device entry was made in it.
  EXPECT_EQ(testsupport::Run("/bin/ls", {"-A", Store("")}).out, "");
  // The chip stays synchronised after a run; the next one still identifies it.
  RunResult again = Updater({"-N", "-s", pty, "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("[ 11111111 22222222 33333333 44444444 ]\n"), std::string::npos);
  std::string log = ReadFile(dir / "lpc.log");
  EXPECT_NE(log.find("cmd N"), std::string::npos) << log;
  EXPECT_EQ(log.find("cmd E"), std::string::npos) << log;  // nothing erased
}

// The build comes from the server's recovery information unless -b names one;
// it is downloaded, descrambled with the chip's fingerprint and written. The
// simulated chip keeps the rate it autobauded at, as a real one does.
struct BuildChoice {
  std::vector<std::string> extra;
  unsigned build;
};
void PrintTo(const BuildChoice& choice, std::ostream* os) { *os << "build " << choice.build; }
class RecoverLpcBuildTest : public RecoverLpcTest,
                            public ::testing::WithParamInterface<BuildChoice> {};

TEST_P(RecoverLpcBuildTest, WritesTheDescrambledFirmwareInStagedChunks) {
  ServeRecoveryBuilds();
  std::string url = Serve();
  std::string pty = StartLpc({"--baud-check"});
  std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", pty, "-u", url};
  args.insert(args.end(), GetParam().extra.begin(), GetParam().extra.end());
  RunResult r = Updater(args);
  std::string flash = StopLpc();
  unsigned build = GetParam().build;
  const std::string& firmware = build == 120 ? fw120 : fw121;

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Recovering firmware with build: " + std::to_string(build)),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Transferring firmware block 1 of 1, " + std::to_string(firmware.size()) +
                       " bytes"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Rebooting Device"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
  ASSERT_EQ(flash.size(), 512u * 1024);
  EXPECT_TRUE(flash == FlashWith(firmware)) << "the flash differs from the firmware";
  EXPECT_TRUE(Exists(Store(kSerial + "/" + std::to_string(build) + ".bird")));

  std::string log = ReadFile(dir / "lpc.log");
  EXPECT_NE(log.find("cmd E 0 29"), std::string::npos) << log;
  EXPECT_NE(log.find("go 0"), std::string::npos) << log;
  // Every chunk is staged at the same RAM address and copied on from there.
  if (build == 120) {  // 9000 bytes: 4096, 4096 and 808 (copied as 1024)
    EXPECT_EQ(Count(log, "cmd W 268439552 4096"), 2u) << log;
    EXPECT_EQ(Count(log, "cmd W 268439552 1024"), 1u) << log;
    EXPECT_NE(log.find("cmd C 0 268439552 4096"), std::string::npos) << log;
    EXPECT_NE(log.find("cmd C 4096 268439552 4096"), std::string::npos) << log;
    EXPECT_NE(log.find("cmd C 8192 268439552 1024"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, RecoverLpcBuildTest,
                         ::testing::Values(BuildChoice{{}, 120}, BuildChoice{{"-b", "0"}, 120},
                                           BuildChoice{{"-b", "121"}, 121},
                                           // The chip is identified at the rate it is written at.
                                           BuildChoice{{"-o", "57600"}, 120}));

// Refusals that come before the flash is touched: the module keeps what it has.
struct Refusal {
  const char* name;
  std::string manifestExtra;  // added to the served image of build 120
  std::string fingerprints;   // the server's fingerprints file
  std::string key;            // what the image is scrambled with
  std::string message;
};
void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.name; }
class RecoverLpcRefusalTest : public RecoverLpcTest,
                              public ::testing::WithParamInterface<Refusal> {};

TEST_P(RecoverLpcRefusalTest, LeavesTheFlashUntouched) {
  const Refusal& p = GetParam();
  LpcImage("tree/" + kSerial + "/120.bird", 120, fw120, p.key, p.manifestExtra);
  Fingerprints(p.fingerprints);
  std::string url = Serve();
  std::string pty = StartLpc();
  RunResult r = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url});
  StopLpc();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(p.message), std::string::npos) << r.err;
  std::string log = ReadFile(dir / "lpc.log");
  EXPECT_EQ(log.find("cmd E"), std::string::npos) << log;
  EXPECT_EQ(log.find("cmd W"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecoverLpcRefusalTest,
    ::testing::Values(Refusal{"NoRecoveryInformation", "", "", kKey,
                              "Failed to retrieve recovery information from Corvane server"},
                      Refusal{"GenericImage", "[serial-offsets]\nserial = 0x100\n",
                              std::string(kLpcFingerprintWords) + " " + kSerial + " 120\n", kKey,
                              "Updater does not support offline recovery"},
                      Refusal{"ScrambledForAnotherChip", "",
                              std::string(kLpcFingerprintWords) + " " + kSerial + " 120\n",
                              "0x11111111 0x22222222 0x33333333 0x44444445",
                              "its vector table is not valid after descrambling"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST_F(RecoverLpcTest, OfflineImageGivenWithFile) {
  LpcImage("offline.bird", 120, fw120, kKey);
  std::string pty = StartLpc();
  RunResult r = Updater({"-U", "-t", "RECOVER", "-s", pty, "-f", dir / "offline.bird", "-u",
                         "http://127.0.0.1:1/cgi/u"});
  std::string flash = StopLpc();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Recovering from Birdfile: " + (dir / "offline.bird")), std::string::npos)
      << r.out;
  EXPECT_TRUE(flash == FlashWith(fw120)) << "the flash differs from the firmware";
}

// The chip stops answering in the middle of a chunk: the run fails, says the
// module was left erased, and a second run (after the chip's reset) recovers it.
TEST_F(RecoverLpcTest, ChipHangingMidChunkIsRecoveredByASecondRun) {
  ServeRecoveryBuilds();
  std::string url = Serve();
  std::string pty = StartLpc({"--hang-after", "6000"});
  auto start = std::chrono::steady_clock::now();
  RunResult first = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url}, {}, 60000);
  EXPECT_FALSE(first.timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(first.status, 1);
  EXPECT_NE(first.err.find("Recovery failed after the flash was erased: the module has no "
                           "firmware"),
            std::string::npos)
      << first.err;
  EXPECT_EQ(first.out.find("Rebooting Device"), std::string::npos) << first.out;

  RunResult second = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url});
  std::string flash = StopLpc();
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_TRUE(flash == FlashWith(fw120)) << "the flash differs from the firmware";
}

// A wrong checksum reply ends the run with the chip synchronised and its echo
// off; the second run takes it from there.
TEST_F(RecoverLpcTest, WrongChecksumReplyEndsTheRecovery) {
  ServeRecoveryBuilds();
  std::string url = Serve();
  std::string pty = StartLpc({"--checksum-reply", "WHAT"});
  RunResult r = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Recovery failed after the flash was erased"), std::string::npos) << r.err;
  RunResult second = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url});
  std::string flash = StopLpc();
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_TRUE(flash == FlashWith(fw120)) << "the flash differs from the firmware";
}

// A port that goes away during the transfer: a clear error, no hang.
TEST_F(RecoverLpcTest, PortDisappearingMidTransfer) {
  LpcImage("tree/" + kSerial + "/120.bird", 120, Firmware(64 * 1024, 7), kKey);
  Fingerprints(std::string(kLpcFingerprintWords) + " " + kSerial + " 120\n");
  std::string url = Serve();
  std::string pty = StartLpc({"--pace", "115200"});
  std::thread unplug([&] {
    // Gone once the first chunk was copied to flash, however loaded the machine.
    for (int i = 0; i < 3000; i++) {
      if (testsupport::ReadFile(dir / "lpc.log").find("cmd C ") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    lpc->Stop();
  });
  RunResult r = Updater({"-U", "-t", "RECOVER", "-s", pty, "-u", url}, {}, 60000);
  unplug.join();
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Recovery failed after the flash was erased"), std::string::npos) << r.err;
}

// Ports that are no terminal are named as such, before any protocol is tried.
TEST_F(RecoverLpcTest, PortsThatAreNoTerminal) {
  testsupport::WriteFile(dir / "plain", "not a port");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-N", "-s", dir / "plain"}, dir / "plain" + " is not a serial port"},
      {{"-N", "-s", "/dev/null"}, "/dev/null is not a serial port"},
      {{"-N", "-s", dir / "missing"}, "Cannot open serial port " + (dir / "missing")},
      {{"-U", "-t", "RECOVER", "-s", "/dev/null"}, "Could not get Device Identifier"},
      {{"-U", "-t", "RECOVER"}, "Must specify the serial port used for connecting"},
  };
  for (const Case& c : cases) {
    RunResult r = Updater(c.args, {}, 30000);
    EXPECT_EQ(r.status, 1) << c.args[2];
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace recovertest
