// The command line end to end: the real updater binary with HOME in a
// temporary directory; standard output, standard error and the exit status
// are checked separately.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"

using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::RunUpdater;
using testsupport::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.11.1 Nov  8 2024)\n";

std::string Golden(const std::string& name) {
  return ReadFile(testsupport::SourceDir() + "/tests/golden/" + name);
}
std::string ShortUsage() { return Golden("usage_short.txt"); }
std::string FullUsage(bool extended) {
  return ShortUsage() + Golden("usage_parameters.txt") +
         (extended ? Golden("usage_extended.txt") : "") + Golden("usage_sample.txt");
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override { umask(022); }
  RunResult Run(const std::vector<std::string>& args) { return RunUpdater(args, home.path()); }
  // Version line, then the copyright line, on standard output.
  static void ExpectBanner(const RunResult& r) {
    ASSERT_EQ(r.out.compare(0, kVersion.size(), kVersion), 0) << r.out;
    std::string rest = r.out.substr(kVersion.size());
    EXPECT_EQ(rest.front(), '(');
    EXPECT_EQ(rest.substr(rest.size() - 2), ")\n");
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 1);
  }
  TempDir home;
};

TEST_F(Cli, NoArgumentsShowsShortUsage) {
  RunResult r = Run({});
  EXPECT_EQ(r.status, 0);
  ExpectBanner(r);
  EXPECT_EQ(r.err, ShortUsage());
}

TEST_F(Cli, HelpTextsAndWhenTheExtendedTextAppears) {
  for (const char* help : {"-h", "-H", "--help", "--he", "--"}) {
    RunResult r = Run({help});
    EXPECT_EQ(r.status, 0) << help;
    ExpectBanner(r);
    EXPECT_EQ(r.err, FullUsage(false)) << help;
  }
  RunResult extended = Run({"-X", "1", "-h"});
  EXPECT_EQ(extended.status, 0);
  EXPECT_EQ(extended.err, FullUsage(true));
  // Parsing stops at the help option, so a later -X is never read.
  RunResult stopped = Run({"-h", "-X", "1"});
  EXPECT_EQ(stopped.err, FullUsage(false));
  // A help option after a handler error still shows the usage with status 0.
  RunResult afterError = Run({"-Y", "-h"});
  EXPECT_EQ(afterError.status, 0);
  EXPECT_EQ(afterError.err, "Unhandled command: [-Y]\n" + FullUsage(false));
}

TEST_F(Cli, HandlerErrorsPrintTheirMessageThenTheShortUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-Y"}, "Unhandled command: [-Y]\n"},
      {{"-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]\n"},
      {{"-d", "0x0"}, "Invalid serial number obtained from argument [0]\n"},
      {{"-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]\n"},
      {{"-t", "tcpip", "-D"},
       "Invalid transport type:[tcpip]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
      // Several handler errors are all reported.
      {{"-Y", "-d", "XYZ"},
       "Unhandled command: [-Y]\nInvalid serial number obtained from argument [XYZ]\n"},
  };
  for (const Case& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    ExpectBanner(r);
    EXPECT_EQ(r.err, c.message + ShortUsage()) << c.args[0];
  }
}

TEST_F(Cli, ScannerErrorsAreSkippedSilently) {
  // Clumped, unknown, ambiguous, unexpected or missing arguments: no message,
  // no command, so the short usage with status 0.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-DU"}, {"-D=1"}, {"-Q"}, {"-"}, {"---help"}, {"-OVERRIDE=yes"}, {"-X"},
           {"-d"}, {"word", "another"}, {""}, {"-b", "-O"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.err, ShortUsage()) << args[0];
  }
}

TEST_F(Cli, CommandsWithoutTheirRequiredArguments) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
      {{"-U"}, "Must specify the specific device to be updated\n"},
      {{"-e", "-U"}, "Must specify the specific device to be updated\n"},
      {{"-B"}, "Error must supply a serial number for the List Builds command\n" + ShortUsage()},
      {{"-L"},
       "Error must supply a serial number for the List Local Builds command\n" + ShortUsage()},
      {{"-N"}, "Must specify the serial port used for connecting\n"},
      {{"-N", "-d", "1"}, "Must specify the serial port used for connecting\n"},
  };
  for (const Case& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.out, kVersion) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
}

TEST_F(Cli, CommandsWithoutActionPrintOnlyTheVersion) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-I"}, {"-C"}, {"-Z", "anything"}, {"-Z=1"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, kVersion) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
}

TEST_F(Cli, StoreDirectoryIsCreatedUnderHome) {
  RunResult r = Run({"-I"});
  ASSERT_EQ(r.status, 0);
  struct stat st;
  std::string store = home / ".corvane/updater";
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Cli, StoreDirectoryOption) {
  RunResult r = Run({"-I", "-i", home / "custom/deep"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st;
  EXPECT_EQ(stat((home / "custom/deep/updater").c_str(), &st), 0);
  // Nothing was made in the default place.
  EXPECT_NE(stat((home / ".corvane").c_str(), &st), 0);

  testsupport::WriteFile(home / "plain", "x");
  RunResult bad = Run({"-I", "-i", home / "plain/sub"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, kVersion);
  EXPECT_EQ(bad.err, "Could not find updater directory at " + home / "plain/sub/updater" + "\n");
}

TEST_F(Cli, LogMaskSelectsDiagnosticLines) {
  RunResult quiet = Run({"-I", "-d", "0x40F5849A"});
  EXPECT_EQ(quiet.err, "");
  RunResult logged = Run({"-X", "0x1", "-I", "-d", "0x40F5849A"});
  EXPECT_EQ(logged.status, 0);
  EXPECT_NE(logged.err.find("Discarding '0x' serial number prefix\n"), std::string::npos);
  RunResult app = Run({"-X", "65536", "-I"});
  EXPECT_NE(app.err.find("\nApplication parameters:[updater]\n"), std::string::npos);
  EXPECT_NE(app.err.find("\t[65536]\n\t[-I]\n"), std::string::npos);
  // Unprocessed characters: the message, the mask not applied, status unchanged.
  RunResult bad = Run({"-X", "12abc", "-I"});
  EXPECT_EQ(bad.status, 0);
  EXPECT_EQ(bad.err,
            "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n");
}

TEST_F(Cli, UpdateWithNothingToInstallFailsLoudly) {
  RunResult r = Run({"-U", "-d", "40F5849A", "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Could not find valid build for this device."), std::string::npos)
      << r.err;
}

TEST_F(Cli, DiscoveryHeadersFollowTheTransport) {
  RunResult router = Run({"-D", "-r", "D272031D"});
  EXPECT_EQ(router.status, 0);
  EXPECT_EQ(router.out, kVersion +
                            "Searching for Velmarine Network devices connected to D272031D\n"
                            "Discovered Devices: (Unknown)\n"
                            "    No devices found.\n");
  RunResult recover = Run({"-D", "-t", "RECOVER"});
  EXPECT_EQ(recover.status, 0);
  EXPECT_NE(recover.out.find("Searching for Velmarine devices\nDiscovered Devices: (USB)\n"),
            std::string::npos);
  RunResult tcp = Run({"-D", "-t", "TCP"});
  EXPECT_NE(tcp.out.find("Discovered Devices: (TCPIP)\n"), std::string::npos);
  // -D runs before -U and ends the run.
  RunResult both = Run({"-U", "-D", "-d", "1"});
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.err.find("Update_Firmware"), std::string::npos);
}

TEST_F(Cli, CommandsRunInTheirFixedOrder) {
  // -N first (its failure only sets the status), then -G (likewise), then -U.
  RunResult r = Run({"-U", "-G", "-N", "-s", "/dev/null", "-d", "1A2B", "-u",
                     "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.status, 1);
  size_t fingerprint = r.err.find("Got no response from chip");
  size_t download = r.out.find("Retrieving firmware for device with serial number 00001A2B");
  size_t update = r.err.find("Could not find valid build for this device.");
  ASSERT_NE(fingerprint, std::string::npos) << r.err;
  ASSERT_NE(download, std::string::npos) << r.out;
  ASSERT_NE(update, std::string::npos) << r.err;
  EXPECT_LT(fingerprint, update);
  // A failed -N or -G with no later command leaves status 1.
  RunResult alone = Run({"-N", "-s", "/dev/null"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_EQ(alone.out, kVersion);
}

TEST_F(Cli, HostileArgumentsNeverCrash) {
  std::string huge(100000, 'G');
  RunResult r = Run({"-d", huge});
  EXPECT_EQ(r.status, 1);
  // The message is cut at 2047 characters.
  std::string firstLine = r.err.substr(0, r.err.find('\n'));
  EXPECT_EQ(firstLine.size(), 2047u);

  RunResult hexHuge = Run({"-I", "-d", std::string(100000, 'A'), "-b", std::string(100000, '9')});
  EXPECT_EQ(hexHuge.status, 0);

  RunResult bytes = Run({"-I", "-f", "\xff\xfe\x80", "-t", "\xc3\x28", "-X", "\x80"});
  EXPECT_EQ(bytes.status, 1);  // invalid transport
  EXPECT_NE(bytes.err.find("Invalid transport type:[\xc3\x28]"), std::string::npos);

  std::vector<std::string> many;
  for (int i = 0; i < 5000; ++i) {
    many.push_back("-X");
    many.push_back("0");
    many.push_back("-Q" + std::to_string(i));
    many.push_back("");
  }
  many.push_back("-I");
  RunResult lots = Run(many);
  EXPECT_EQ(lots.status, 0);
  EXPECT_EQ(lots.out, kVersion);
  EXPECT_FALSE(lots.timedOut);
}

}  // namespace
