// Fault campaign of the server and store paths: the real updater binary with
// -G, -B and -L against the self-hosted update server or a fake one that
// injects one fault. Every case must end within its bound, say what went
// wrong, fail where the operation failed, and leave the store files whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <iostream>

#include "TestSupport.h"
#include "E2EFaults.h"

namespace {

using testsupport::Background;
using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string kSerial = "40F5849A";

using testsupport::Exists;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir.path().c_str(), 0755);  // the unprivileged cases must reach inside
    mkdir((dir / "tree").c_str(), 0755);
    mkdir((dir / ("tree/" + kSerial)).c_str(), 0755);
    mkdir((dir / "home").c_str(), 0755);
    for (unsigned build : {99u, 100u, 101u}) Bird(build, build == 101 ? 60000 : 2000);
  }

  // Packs build N into the served tree.
  void Bird(unsigned build, unsigned size) {
    std::string manifest = dir / "manifest.txt";
    testsupport::WriteFile(
        manifest, "[info]\nbuild = " + std::to_string(build) + "\nversion = 1.0." +
                      std::to_string(build) + "\nserial = " + kSerial +
                      "\nmodel = HUB\n[firmware]\naddress = 0\nsize = " + std::to_string(size) +
                      "\nfill = 0x5A\n");
    RunResult r = testsupport::Run(testsupport::ProgramPath("tools/birdfile", "birdfile"),
                                   {"pack", manifest, Served(build)});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Served(unsigned build) {
    return dir / ("tree/" + kSerial + "/" + std::to_string(build) + ".bird");
  }

  std::string Serve(const std::vector<std::string>& extra = {}) {
    std::string url = testsupport::StartUpdateServer(server, dir / "tree", extra);
    EXPECT_EQ(url.rfind("http", 0), 0u) << "the update server did not start";
    return url;
  }

  // Runs the updater with the test preload that shortens its stall and
  // connect time-outs, when it is built.
  RunResult Updater(const std::vector<std::string>& args, bool shortTimeouts = false) {
    testsupport::RunOptions options;
    options.timeoutMs = 90000;
    std::string shim = testsupport::BinaryDir() + "/tests/libcurl_stall_shim.so";
    if (shortTimeouts && Exists(shim)) testsupport::Preload(options.env, shim);
    RunResult r = testsupport::RunUpdater(args, dir / "home", options);
    EXPECT_FALSE(r.timedOut) << "the updater hung";
    return r;
  }

  std::string Stored(const std::string& name) {
    return dir / ("home/.corvane/updater/" + kSerial + "/" + name);
  }
  std::string Device() { return dir / ("home/.corvane/updater/" + kSerial); }

  // The store entry after a failed download: no build, no leftover temporary
  // file, and a settings file (when there is one) that doesn't name a download.
  void ExpectNothingStored() {
    for (const std::string& name : faults::Entries(Device()))
      EXPECT_EQ(name, ".settings") << "left in the store: " << name;
    if (Exists(Stored(".settings"))) {
      EXPECT_FALSE(Contains(ReadFile(Stored(".settings")), "LATEST_DOWNLOAD"));
    }
  }

  TempDir dir;
  std::unique_ptr<Background> server;
};

// ---------------------------------------------------------------------------
// Update server faults

struct ServerFaultCase {
  const char* name;
  faults::BirdFault fault;
  const char* message;  // an error line the user must see
};

class ServerFaults : public FaultsTest, public ::testing::WithParamInterface<ServerFaultCase> {};

TEST_P(ServerFaults, DownloadFailsClearlyAndStoresNothing) {
  const ServerFaultCase& c = GetParam();
  faults::FakeServer fake(ReadFile(Served(101)), c.fault);
  auto start = std::chrono::steady_clock::now();
  RunResult r = Updater({"-u", fake.Url(), "-G", "-d", kSerial}, true);
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
  EXPECT_LT(seconds, 40);
  ExpectNothingStored();
  EXPECT_LT(fake.Requests(), 10) << "the updater followed a redirect loop";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerFaults,
    ::testing::Values(
        ServerFaultCase{"StallMidBody", faults::BirdFault::StallMidBody, "Download failed\n"},
        ServerFaultCase{"Truncated", faults::BirdFault::Truncated, "Download failed\n"},
        ServerFaultCase{"WrongContent", faults::BirdFault::WrongContent,
                        "Build 101 arrived damaged (not a BIRD file); nothing was stored"},
        ServerFaultCase{"RedirectLoop", faults::BirdFault::RedirectLoop,
                        "the server answered with HTTP status 302"}),
    [](const ::testing::TestParamInfo<ServerFaultCase>& info) { return info.param.name; });

TEST_F(FaultsTest, RefusedConnectionSaysWhy) {
  std::string url = faults::RefusingUrl();
  RunResult r = Updater({"-u", url, "-G", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  // The message, then libcurl's reason on a line of its own.
  EXPECT_TRUE(
      Contains(r.err, "Server request failed for " + url + "\nCouldn't connect to server\n"))
      << r.err;
  EXPECT_FALSE(Exists(Device()));

  // -u in its documented host:port form reaches the server on the default path.
  std::string served = Serve();
  std::string hostPort = served.substr(strlen("http://"));
  hostPort.resize(hostPort.find('/'));
  r = Updater({"-u", hostPort, "-B", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "101            \t1.0.101")) << r.out << r.err;
}

TEST_F(FaultsTest, UnconnectableServerGivesUpWithinTheConnectTimeout) {
  faults::UnconnectablePort port;
  if (!port.full()) GTEST_SKIP() << "this kernel completes every loopback connection";
  // The preload scales the connect time-out down tenfold: 15 s become 1.5 s.
  auto start = std::chrono::steady_clock::now();
  RunResult r = Updater({"-u", port.Url(), "-G", "-d", kSerial}, true);
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Server request failed for " + port.Url() + "\nTimeout was reached"))
      << r.err;
  if (Exists(testsupport::BinaryDir() + "/tests/libcurl_stall_shim.so")) {
    EXPECT_LT(seconds, 8) << "the connect time-out is longer than 15 s";
  }
}

TEST_F(FaultsTest, CertificateMismatchIsRefused) {
  // A self-signed certificate for another name: neither trusted nor matching.
  RunResult made =
      testsupport::Run("/usr/bin/openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                            "-days", "2", "-subj", "/CN=elsewhere.example",
                                            "-keyout", dir / "key.pem", "-out", dir / "cert.pem"});
  if (made.status != 0) GTEST_SKIP() << "openssl could not make a certificate: " << made.err;
  std::string url = Serve({"--cert", dir / "cert.pem", "--key", dir / "key.pem"});
  ASSERT_EQ(url.rfind("https://", 0), 0u) << url;
  RunResult r = Updater({"-u", url, "-G", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Server request failed for " + url + "\n")) << r.err;
  EXPECT_TRUE(Contains(r.err, "certificate") || Contains(r.err, "SSL")) << r.err;
  EXPECT_FALSE(Exists(Device()));
}

TEST_F(FaultsTest, BuildBelowEveryListedOneIsRefused) {
  std::string url = Serve();
  RunResult r = Updater({"-u", url, "-G", "-b", "98", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "No valid build 98")) << r.err;
  ExpectNothingStored();
}

// ---------------------------------------------------------------------------
// Store faults

TEST_F(FaultsTest, ReadOnlyStoreDirectory) {
  std::string url = Serve();
  std::string store = dir / "home/.corvane/updater";
  ASSERT_EQ(std::system(("mkdir -p '" + store + "'").c_str()), 0);
  faults::GiveTree(dir / "home");
  chmod(store.c_str(), 0555);
  RunResult r = faults::RunAs({}, {"-u", url, "-G", "-d", kSerial}, dir / "home");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Could not create directory for storing BIRD file")) << r.err;
  EXPECT_FALSE(Exists(Device()));

  // A device entry that exists but can't be written: the old entry stays as it was.
  chmod(store.c_str(), 0755);
  ASSERT_EQ(Updater({"-u", url, "-G", "-b", "99", "-d", kSerial}).status, 0);
  faults::GiveTree(dir / "home");
  std::string before = ReadFile(Stored(".settings"));
  chmod(Device().c_str(), 0555);
  r = faults::RunAs({}, {"-u", url, "-G", "-d", kSerial}, dir / "home");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "Failed to write file with")) << r.err;
  EXPECT_FALSE(Exists(Stored("101.bird")));
  EXPECT_EQ(ReadFile(Stored(".settings")), before);
  chmod(Device().c_str(), 0755);
}

TEST_F(FaultsTest, FullDiskLeavesTheEntryWhole) {
  std::string url = Serve();
  ASSERT_EQ(Updater({"-u", url, "-G", "-b", "99", "-d", kSerial}).status, 0);
  faults::GiveTree(dir / "home");
  std::string before = ReadFile(Stored(".settings"));
  // Build 101 is far larger than the file-size limit; the settings file is not.
  // The signal a write past the limit raises is delivered as in a login shell
  // (a test runner may have it ignored, which would hide the fault).
  struct sigaction saved, deflt = {};
  deflt.sa_handler = SIG_DFL;
  sigaction(SIGXFSZ, &deflt, &saved);
  RunResult r = faults::RunAs({"/usr/bin/prlimit", "--fsize=20000"},
                              {"-u", url, "-G", "-d", kSerial}, dir / "home");
  sigaction(SIGXFSZ, &saved, nullptr);
  EXPECT_LT(r.status, 128) << "killed by signal " << r.status - 128;
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "Failed to write file with")) << r.err;
  EXPECT_FALSE(Exists(Stored("101.bird")));
  EXPECT_EQ(ReadFile(Stored("99.bird")), ReadFile(Served(99)));
  EXPECT_EQ(ReadFile(Stored(".settings")), before);
  for (const std::string& name : faults::Entries(Device()))
    EXPECT_TRUE(name == ".settings" || name == "99.bird") << "left in the store: " << name;
}

TEST_F(FaultsTest, DamagedSettingsAndBirdFilesAreReplacedWhole) {
  std::string url = Serve();
  ASSERT_EQ(Updater({"-u", url, "-G", "-b", "100", "-d", kSerial}).status, 0);
  // A settings file of binary noise, an over-long line and no final line feed,
  // and a stored build cut short.
  std::string noise("\x00\x01\xff=\x7f\n#x\n", 9);
  noise += std::string(5000, 'k') + "\nLATEST_TRANSFER=77.bird";
  testsupport::WriteFile(Stored(".settings"), noise);
  testsupport::WriteFile(Stored("100.bird"), ReadFile(Served(100)).substr(0, 40));

  RunResult r = Updater({"-L", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "100            \t               \n")) << r.out;

  r = Updater({"-u", url, "-G", "-b", "100", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(Stored("100.bird")), ReadFile(Served(100)));
  std::string settings = ReadFile(Stored(".settings"));
  EXPECT_TRUE(Contains(settings, "LATEST_DOWNLOAD=100.bird\n")) << settings;
  EXPECT_EQ(settings.back(), '\n');
  r = Updater({"-L", "-d", kSerial});
  EXPECT_TRUE(Contains(r.out, "100            \t1.0.100")) << r.out;
}

TEST_F(FaultsTest, TwoProcessesDownloadingTheSameBuild) {
  std::string url = Serve();
  RunResult results[2];
  std::thread other([&] { results[1] = Updater({"-u", url, "-G", "-d", kSerial}); });
  results[0] = Updater({"-u", url, "-G", "-d", kSerial});
  other.join();
  for (const RunResult& r : results) EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(Stored("101.bird")), ReadFile(Served(101)));
  std::string settings = ReadFile(Stored(".settings"));
  EXPECT_TRUE(Contains(settings, "LATEST_DOWNLOAD=101.bird\n")) << settings;
  for (const std::string& name : faults::Entries(Device()))
    EXPECT_TRUE(name == ".settings" || name == "101.bird") << "left in the store: " << name;
}

// ---------------------------------------------------------------------------
// Closed standard streams, missing or unwritable HOME

TEST_F(FaultsTest, ClosedStandardStreamsNeverReachTheStore) {
  std::string url = Serve();
  for (int fd = 0; fd <= 2; ++fd) {
    SCOPED_TRACE("closed descriptor " + std::to_string(fd));
    EXPECT_EQ(faults::RunWithClosedStream(fd, {"-h"}, dir / "home"), 0);
    EXPECT_EQ(faults::RunWithClosedStream(fd, {"-u", url, "-G", "-d", kSerial, "-X", "0x25"},
                                          dir / "home"),
              0);
    EXPECT_EQ(faults::RunWithClosedStream(fd, {"-u", url, "-B", "-d", kSerial}, dir / "home"), 0);
    EXPECT_EQ(faults::RunWithClosedStream(fd, {"-L", "-d", kSerial}, dir / "home"), 0);
    // Messages and diagnostic lines went nowhere near the stored files.
    std::string settings = ReadFile(Stored(".settings"));
    EXPECT_FALSE(Contains(settings, "Retrieving")) << settings;
    EXPECT_FALSE(Contains(settings, "GET(")) << settings;
    EXPECT_EQ(ReadFile(Stored("101.bird")), ReadFile(Served(101)));
  }
}

TEST_F(FaultsTest, MissingOrUnwritableHome) {
  std::string url = Serve();
  testsupport::RunOptions options;
  options.timeoutMs = 30000;
  // HOME names a directory that doesn't exist under one that can't be written.
  mkdir((dir / "locked").c_str(), 0555);
  for (const std::string& home : {dir / "locked/missing", dir / "locked"}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-u", url, "-G", "-d", kSerial},
          std::vector<std::string>{"-L", "-d", kSerial},
          std::vector<std::string>{"-u", url, "-B", "-d", kSerial}}) {
      RunResult r = faults::RunAs({}, args, home, options);
      EXPECT_EQ(r.status, 1) << home << ": " << r.err;
      EXPECT_TRUE(
          Contains(r.err, "Could not find updater directory at " + home + "/.corvane/updater"))
          << r.err;
    }
    // Help needs no store.
    EXPECT_EQ(faults::RunAs({}, {"-h"}, home, options).status, 0);
  }
}

}  // namespace
