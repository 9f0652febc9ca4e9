// End-to-end tests of -B, -G and -L: the real updater binary against the
// self-hosted update server on a free loopback port, with HOME in a
// temporary directory. BIRD files are made with the birdfile tool.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <iostream>

#include "TestSupport.h"

namespace {

using testsupport::Background;
using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TempDir;

const std::string kSerial = "40F5849A";

using testsupport::Exists;

class BuildsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "tree").c_str(), 0755);
    mkdir((dir / "home").c_str(), 0755);
    Device(kSerial);
    Bird("tree/" + kSerial + "/100.bird", 100, "1.0.2");
    Bird("tree/" + kSerial + "/101.bird", 101, "1.0.10");
    Bird("tree/" + kSerial + "/99.bird", 99, "0.9.9");
    Bird("tree/" + kSerial + "/unlisted/500.bird", 500, "2.0.0");
  }

  void Device(const std::string& serial) {
    mkdir((dir / ("tree/" + serial)).c_str(), 0755);
    mkdir((dir / ("tree/" + serial + "/unlisted")).c_str(), 0755);
  }

  // Packs a BIRD file with an identity block and a firmware block of `size` bytes.
  void Bird(const std::string& relative, unsigned build, const std::string& version,
            unsigned size = 2000) {
    std::string manifest = dir / "manifest.txt";
    testsupport::WriteFile(
        manifest, "[info]\nbuild = " + std::to_string(build) + "\nversion = " + version +
                      "\nserial = " + kSerial +
                      "\nmodel = HUB\n[firmware]\naddress = 0\nsize = " + std::to_string(size) +
                      "\nfill = 0x" + std::to_string(build % 90 + 10) + "\n");
    RunResult r = testsupport::Run(testsupport::ProgramPath("tools/birdfile", "birdfile"),
                                   {"pack", manifest, dir / relative});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Starts the update server with extra options and returns its URL.
  std::string Serve(const std::vector<std::string>& extra = {}) {
    std::string url = testsupport::StartUpdateServer(server, dir / "tree", extra);
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << "the update server did not start";
    return url;
  }

  RunResult Updater(const std::vector<std::string>& args, int timeoutMs = 60000,
                    testsupport::RunOptions options = {}) {
    options.timeoutMs = timeoutMs;
    return testsupport::RunUpdater(args, dir / "home", options);
  }

  // Runs the updater against a server that stalls. The preload library built
  // with the server tests shortens the stall time-out the updater sets, so
  // this takes seconds; without that library it takes the full time-out.
  RunResult UpdaterWithStalledServer(const std::vector<std::string>& args) {
    testsupport::RunOptions options;
    std::string shim = testsupport::BinaryDir() + "/tests/libcurl_stall_shim.so";
    if (Exists(shim)) {
      testsupport::Preload(options.env, shim);
    } else {
      std::cerr << "note: " << shim << " is not built; waiting for the full stall time-out\n";
    }
    auto start = std::chrono::steady_clock::now();
    RunResult r = Updater(args, 120000, options);
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    if (Exists(shim)) {
      EXPECT_LT(seconds, 20) << "the stall time-out was not shortened";
    }
    return r;
  }

  std::string Stored(const std::string& name) {
    return dir / ("home/.corvane/updater/" + kSerial + "/" + name);
  }

  TempDir dir;
  std::unique_ptr<Background> server;
};

TEST_F(BuildsTest, ListBuildsNewestFirst) {
  std::string url = Serve();
  RunResult r = Updater({"-u", url, "-B", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Build List for device [40F5849A]:\n"), std::string::npos) << r.out;
  std::string expected =
      "Build          \tVersion        \n"
      "101            \t1.0.10         \n"
      "100            \t1.0.2          \n"
      "99             \t0.9.9          \n";
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("500"), std::string::npos);  // unlisted builds stay unlisted
}

TEST_F(BuildsTest, ListBuildsWithServerDown) {
  std::string url = Serve();
  server.reset();  // the port is closed now
  RunResult r = Updater({"-u", url, "-B", "-d", kSerial});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Server request failed for " + url), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("No builds found for device [40F5849A]"), std::string::npos) << r.out;
}

TEST_F(BuildsTest, GetLatestStoresTheServedFile) {
  std::string url = Serve();
  RunResult r = Updater({"-u", url, "-G", "-d", kSerial, "-X", "0x10000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Retrieving build 101"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Build 101 is valid"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Could not find device in our update history."), std::string::npos);
  ASSERT_TRUE(Exists(Stored("101.bird")));
  EXPECT_EQ(ReadFile(Stored("101.bird")), ReadFile(dir / ("tree/" + kSerial + "/101.bird")));
  std::string settings = ReadFile(Stored(".settings"));
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=101.bird\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;

  // A second download of an older build into the existing entry.
  r = Updater({"-u", url, "-G", "-b", "99", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(Stored("99.bird")), ReadFile(dir / ("tree/" + kSerial + "/99.bird")));
  EXPECT_NE(ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD=99.bird\n"), std::string::npos);
}

TEST_F(BuildsTest, GetBuildMissingFromTheListIsRefusedUnlessOverridden) {
  std::string url = Serve();
  RunResult r = Updater({"-u", url, "-G", "-b", "500", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No valid build 500"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(Stored("500.bird")));
  EXPECT_EQ(ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD"), std::string::npos);

  r = Updater({"-u", url, "-G", "-b", "500", "-OVERRIDE", "-d", kSerial});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Override specified, skipping validation of build 500"), std::string::npos);
  EXPECT_EQ(ReadFile(Stored("500.bird")),
            ReadFile(dir / ("tree/" + kSerial + "/unlisted/500.bird")));

  // A build the server doesn't have at all: the download fails.
  r = Updater({"-u", url, "-G", "-b", "777", "-OVERRIDE", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Download failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Failed to retrieve a valid BIRD file"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(Stored("777.bird")));
}

TEST_F(BuildsTest, DamagedBase64WritesNothing) {
  std::string url = Serve({"--fault", "bad-base64"});
  RunResult r = Updater({"-u", url, "-G", "-d", kSerial});
  // Nothing stored is a failed download, and the user is told so.
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nothing was stored"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(Stored("101.bird")));
  EXPECT_EQ(ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(BuildsTest, GetForUnknownDeviceOrRefusingServer) {
  std::string url = Serve({"--fault", "refuse:qu"});
  RunResult r = Updater({"-u", url, "-G", "-d", kSerial});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No build information for device"), std::string::npos) << r.err;
  r = Updater({"-u", url, "-G", "-d", kSerial, "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Server request failed for http://127.0.0.1:1/cgi/u"), std::string::npos);
}

TEST_F(BuildsTest, ListLocalBuildsWithVersionsFromTheirFiles) {
  std::string url = Serve();
  ASSERT_EQ(Updater({"-u", url, "-G", "-b", "100", "-d", kSerial}).status, 0);
  ASSERT_EQ(Updater({"-u", url, "-G", "-b", "101", "-d", kSerial}).status, 0);
  // 101 is damaged inside while its header still looks right; "notes" is no BIRD file.
  std::string damaged = ReadFile(Stored("101.bird")).substr(0, 6) + "garbage";
  testsupport::WriteFile(Stored("101.bird"), damaged);
  testsupport::WriteFile(Stored("notes"), "text");
  RunResult r = Updater({"-L", "-d", kSerial, "-X", "0x1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("100            \t1.0.2          \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("101            \t               \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("notes          \t               \n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Could NOT file VERSION in birdfile: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Found VERSION in birdfile: "), std::string::npos) << r.err;

  r = Updater({"-L", "-d", "12345678"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("No builds found for device [12345678]"), std::string::npos) << r.out;
}

TEST_F(BuildsTest, SilentServerEndsWithAnErrorWithinTheTimeout) {
  // Accepts connections (the kernel completes them) and never answers.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/cgi/u";
  RunResult r = UpdaterWithStalledServer({"-u", url, "-B", "-d", kSerial});
  close(fd);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Server request failed for " + url), std::string::npos) << r.err;
}

TEST_F(BuildsTest, DownloadThatStallsFailsWithinTheTimeout) {
  std::string url = Serve({"--fault", "stall:bird"});
  RunResult r = UpdaterWithStalledServer({"-u", url, "-G", "-d", kSerial});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Download failed"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(Stored("101.bird")));
}

}  // namespace
