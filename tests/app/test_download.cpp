// The download operations in process, against the update server: the
// fingerprint form, argument checks before any request, the spinner on the
// calling thread, _valid_build, and a store that can't be opened.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "BirdWriter.h"
#include "HTTPRequest.h"
#include "KeyValueStore.h"
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "Updater.h"

namespace {

// Records everything the operations show.
struct RecordingDisplay : UpdaterDisplayInterface {
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool active, const char* label) override {
    (active ? spinsOn : spinsOff)++;
    EXPECT_STREQ(label, "Downloading");
  }
  void info_message(const char* text) override { lines.push_back(std::string("I ") + text); }
  void error_message(const char* text) override { lines.push_back(std::string("E ") + text); }
  bool Shows(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::vector<std::string> lines;
  int spinsOn = 0, spinsOff = 0;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "tree").c_str(), 0755);
    mkdir((dir / "tree/0001A2B3").c_str(), 0755);
    for (uint32_t build : {16u, 17u}) {
      bird::BirdWriter writer;
      writer.Info(build, "1.0." + std::to_string(build), 0x1A2B3, "HUB")
          .Firmware(0, std::vector<uint8_t>(100, uint8_t(build)));
      std::string error;
      ASSERT_TRUE(writer.Write(dir / ("tree/0001A2B3/" + std::to_string(build) + ".bird"), &error));
    }
    testsupport::WriteFile(dir / "tree/fingerprints",
                           "00000001 00000002 00000003 00000004 0001A2B3 16\n");
  }

  std::string Serve(const std::vector<std::string>& extra = {}) {
    return testsupport::StartUpdateServer(server, dir / "tree", extra);
  }

  std::string Stored(const std::string& name) { return dir / ("store/0001A2B3/" + name); }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::Background> server;
  RecordingDisplay display;
};

TEST_F(DownloadTest, FingerprintGivesSerialAndBuild) {
  std::string url = Serve();
  Updater updater(url.c_str(), (dir / "store").c_str(), display);
  Fingerprint fp;
  fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
  EXPECT_EQ(updater.Download_Firmware(fp, "", false), 16u);
  EXPECT_EQ(testsupport::ReadFile(Stored("16.bird")),
            testsupport::ReadFile(dir / "tree/0001A2B3/16.bird"));
  EXPECT_GE(display.spinsOn, 1);
  EXPECT_EQ(display.spinsOff, 1);
  // A build given with the fingerprint wins over the one the server names.
  EXPECT_EQ(updater.Download_Firmware(fp, "17", false), 17u);
  EXPECT_EQ(updater.Download_Firmware(fp, "000000000017", false), 17u);

  fp.words[3] = 5;
  EXPECT_EQ(updater.Download_Firmware(fp, "", false), 0u);
  EXPECT_TRUE(
      display.Shows("E Failed to retrieve recovery information from Corvane update server"));
}

TEST_F(DownloadTest, ArgumentsAreCheckedBeforeTheServerIsAsked) {
  Updater updater("http://127.0.0.1:1/cgi/u", (dir / "store").c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "12x", false, false), 0u);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "4294967296", false, false), 0u);
  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "", false, false), 0u);
  std::vector<std::string> expected = {
      "E Build number '12x' must be an number", "E Build number '4294967296' must be an number",
      "E Serial Number must be non-zero", "E Server request failed for http://127.0.0.1:1/cgi/u",
      std::string("E ") + curl_easy_strerror(CURLE_COULDNT_CONNECT)};
  EXPECT_EQ(display.lines, expected);
}

TEST_F(DownloadTest, SpinnerTurnsWhileTheDownloadWaits) {
  HTTPLimits saved = HTTPRequest::GetLimits(), limits = saved;
  limits.stallSeconds = 1;
  HTTPRequest::SetLimits(limits);
  std::string url = Serve({"--fault", "stall:bird"});
  Updater updater(url.c_str(), (dir / "store").c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "", false, false), 0u);
  HTTPRequest::SetLimits(saved);
  EXPECT_GT(display.spinsOn, 3);
  EXPECT_EQ(display.spinsOff, 1);
  EXPECT_TRUE(display.Shows("E Download failed"));
  EXPECT_TRUE(display.Shows("E Failed to retrieve a valid BIRD file"));
}

TEST_F(DownloadTest, ValidBuildAndUnopenableStore) {
  std::string url = Serve();
  EXPECT_TRUE(_valid_build(0x1A2B3, 17, url.c_str()));
  EXPECT_FALSE(_valid_build(0x1A2B3, 18, url.c_str()));
  EXPECT_FALSE(_valid_build(0x1A2B3, 17, "http://127.0.0.1:1/cgi/u"));
  {
    // Build numbers are read as decimal numbers, leading zeros and all.
    ScriptedServer scripted;
    scripted.SetReply(200, "ok\n000000000017;1.0.17\n99999999999;1.0.0\n");
    EXPECT_TRUE(_valid_build(0x1A2B3, 17, scripted.Url().c_str()));
    EXPECT_FALSE(_valid_build(0x1A2B3, 1215752191, scripted.Url().c_str()));  // no wrap-around
  }

  testsupport::WriteFile(dir / "file", "not a directory");
  Updater updater(url.c_str(), (dir / "file").c_str(), display);
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "", false, false), 0u);
  EXPECT_TRUE(updater.Get_BuildListLocal(0x1A2B3).empty());
  ASSERT_EQ(display.lines.size(), 2u);
  EXPECT_EQ(display.lines[0].rfind(
                "E Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0),
            0u)
      << display.lines[0];
  EXPECT_EQ(display.lines[1].rfind(
                "E Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0),
            0u)
      << display.lines[1];
}

TEST_F(DownloadTest, StoreThatCannotTakeTheBuild) {
  std::string url = Serve();
  mkdir((dir / "store").c_str(), 0755);
  Updater updater(url.c_str(), (dir / "store").c_str(), display);

  // A file where the device's directory belongs: nothing is downloaded.
  testsupport::WriteFile(dir / "store/0001A2B3", "stray");
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "16", false, false), 0u);
  EXPECT_TRUE(display.Shows("E Could not create directory for storing BIRD file"));
  EXPECT_EQ(display.spinsOn, 0);

  // A build file that can't be written: reported, the download fails, and
  // the entry keeps naming no build that isn't there.
  unlink((dir / "store/0001A2B3").c_str());
  mkdir((dir / "store/0001A2B3").c_str(), 0755);
  mkdir(Stored("16.bird").c_str(), 0755);
  display.lines.clear();
  EXPECT_EQ(updater.Download_Firmware(0x1A2B3, "16", false, false), 0u);
  ASSERT_FALSE(display.lines.empty());
  EXPECT_EQ(display.lines.back().rfind("E Failed to write file with ", 0), 0u)
      << display.lines.back();
  EXPECT_EQ(testsupport::ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(DownloadTest, BuildListFailures) {
  std::string url = Serve({"--fault", "error:builds"});
  Updater updater(url.c_str(), (dir / "store").c_str(), display);
  EXPECT_TRUE(updater.Get_BuildList(0x1A2B3).empty());
  EXPECT_TRUE(display.Shows("E Failed to retrieve builds for 0001A2B3"));
}

}  // namespace

namespace {

// Makes the rename of a BIRD file's temporary file fail, as on a store whose
// directory changed under the writer; the information file is written normally.
void sLoseBirdTemporary(const char* temporaryPath) {
  if (strstr(temporaryPath, ".bird.tmp-")) unlink(temporaryPath);
}

TEST_F(DownloadTest, FailedRenameStoresNothingAndFails) {
  std::string url = Serve();
  Updater updater(url.c_str(), (dir / "store").c_str(), display);
  AtomicFileWriter::SetBeforeRenameHook(sLoseBirdTemporary);
  uint32_t stored = updater.Download_Firmware(0x1A2B3, "16", false, false);
  AtomicFileWriter::SetBeforeRenameHook(nullptr);
  EXPECT_EQ(stored, 0u);
  EXPECT_TRUE(display.Shows("E Failed to write file with " + std::to_string(int(vErrIO))));
  struct stat st;
  EXPECT_NE(stat(Stored("16.bird").c_str(), &st), 0);
  // The entry must not name a file that is not there.
  EXPECT_EQ(testsupport::ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD"), std::string::npos);
}

}  // namespace
