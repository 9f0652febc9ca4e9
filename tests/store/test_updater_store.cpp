// UpdaterStore and its items: device directories, finding devices and
// builds, and reading and writing BIRD files without ever losing one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"
#include "UpdaterStore.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::vector<uint8_t> Image(uint32_t build) {
  bird::BirdWriter w;
  w.Info(build, "1.2.3", 0, "Torvik").Firmware(0, std::vector<uint8_t>(512, uint8_t(build)));
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(w.Build(&bytes, &error)) << error;
  return bytes;
}

std::string ErrorOf(void (*f)(const std::string&), const std::string& arg) {
  try {
    f(arg);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

bool IsDir(const std::string& p) { return vDirectory_Exists(p.c_str()); }

TEST(UpdaterStoreDevices, AddDeviceCreatesDirectoryAndSettings) {
  TempDir dir;
  std::string root = dir / "a/b/store";
  UpdaterStore store(root.c_str());
  EXPECT_TRUE(IsDir(root));
  EXPECT_STREQ(store.BasePath(), root.c_str());

  UpdaterStoreItem item = store.AddDevice(0x1A2B);
  EXPECT_TRUE(IsDir(root + "/00001A2B"));
  EXPECT_EQ(item.basePath, root);
  EXPECT_EQ(item.name, "00001A2B");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  std::string settings = ReadFile(root + "/00001A2B/.settings");
  EXPECT_EQ(settings.find("CREATED_TIME="), 0u) << settings;
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;

  // The item's information file is written back where it came from.
  item.info.Add("LATEST_DOWNLOAD", "100.bird");
  item.info.Save(nullptr);
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x1A2B, &found));
  EXPECT_EQ(found.info.GetInt("LATEST_DOWNLOAD", 0), 100);
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
  EXPECT_EQ(UpdaterStoreItem().kind, STORE_ITEM_NONE);
}

TEST(UpdaterStoreDevices, EnsureDirectoryErrors) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  EXPECT_EQ(ErrorOf([](const std::string& p) { _ensure_directory(p.c_str()); }, dir / "file"),
            "UpdaterStore: " + (dir / "file") + " exists and is a file");
  EXPECT_EQ(ErrorOf([](const std::string& p) { UpdaterStore s(p.c_str()); }, dir / "file/sub"),
            "UpdaterStore: Could not create directory " + (dir / "file/sub") + " error 12");
  UpdaterStore store(dir.path().c_str());
  EXPECT_EQ(
      ErrorOf([](const std::string& p) { UpdaterStore(p.c_str()).AddDevice("file"); }, dir.path()),
      "UpdaterStore: " + (dir / "file") + " exists and is a file");
}

TEST(UpdaterStoreDevices, FindDeviceMatchesNamesNotRootPaths) {
  TempDir dir;
  {
    UpdaterStore store(dir.path().c_str());
    Log::SetOutput(tmpfile());
    EXPECT_FALSE(store.FindDevice(0x1A2B));

    // A stray file only partly matching the name stands in for a missing device...
    WriteFile(dir / "00001A2B.txt", "stray");
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x1A2B, &item));
    EXPECT_EQ(item.name, "00001A2B.txt");
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    // ...but never hides the device's own directory.
    store.AddDevice(0x1A2B);
    ASSERT_TRUE(store.FindDevice(0x1A2B, &item));
    EXPECT_EQ(item.name, "00001A2B");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    Log::SetOutput(nullptr);
  }
  // A root whose own path holds the serial text matches nothing by that alone.
  std::string root = dir / "00002222";
  UpdaterStore store(root.c_str());
  store.AddDevice(0x1111);
  EXPECT_FALSE(store.FindDevice(0x2222));
  EXPECT_FALSE(store.FindDevice(""));
}

TEST(UpdaterStoreDevices, LogTexts) {
  TempDir dir;
  std::string root = dir / "store";
  std::string text;
  {
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(root.c_str());
    UpdaterStore again(root.c_str());
    EXPECT_FALSE(store.FindDevice(0x1A2B));
    EXPECT_FALSE(store.FindDevice(""));  // listed, but the empty name matches nothing
    text = log.Text();
  }
  EXPECT_EQ(text.find("UpdaterStore: Created directory [" + root + "].\n"), 0u) << text;
  EXPECT_NE(text.find("UpdaterStore: [" + root + "] already exists.\n"), std::string::npos);
  EXPECT_NE(text.find("_find_item([" + root + "/.], 1, "), std::string::npos) << text;
  EXPECT_NE(text.find(") searching for 00001A2B\n"), std::string::npos) << text;
  EXPECT_NE(text.find("UpdaterStore: FindDevice Not Found 00001A2B.\n"), std::string::npos);
  EXPECT_NE(text.find(") searching for \nUpdaterStore: FindDevice Not Found .\n"),
            std::string::npos)
      << text;

  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x1A2B);
  ASSERT_EQ(device.WriteFile("100.bird", Image(100).data(), 7), vErrNone);
  std::string build = root + "/00001A2B/100.bird";
  std::vector<UpdaterStoreItem> items;
  {
    LogCapture log(DEBUG_Updater | DEBUG_Attributes);
    store.FindLocalBuilds(0x1A2B, items);
    EXPECT_TRUE(device.FileExists("100.bird"));
    text = log.Text();
  }
  EXPECT_NE(text.find("UpdaterStore: FindDevice Found 00001A2B.\n"), std::string::npos) << text;
  // A build file's information file can't be read or created: two errors.
  EXPECT_NE(text.find("_find_items([" + build +
                      "], 0, 7)\n"
                      "Attibutes: Error - cannot open attributes file: '" +
                      build +
                      "/.settings' (20)\n"
                      "Attibutes: Error - cannot open attributes file for writting: '" +
                      build + "/.settings' (20)\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("_find_item([" + build +
                      "], 0, 7) searching for 100.bird\n"
                      "UpdaterStore: FindDevice Found 100.bird.\n"),
            std::string::npos)
      << text;
}

TEST(UpdaterStoreBuilds, LocalBuildsSkipHiddenEntries) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  EXPECT_EQ(device.WriteFile("100.bird", Image(100).data(), Image(100).size()), vErrNone);
  EXPECT_EQ(device.WriteFile("200.bird", Image(200).data(), Image(200).size()), vErrNone);
  WriteFile(dir / "40F5849A/.200.bird.tmp-abcdef", "left by a crash");

  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
  std::vector<std::string> names;
  for (const auto& i : items) {
    names.push_back(i.name);
    EXPECT_EQ(i.kind, STORE_ITEM_FILE);
    EXPECT_EQ(i.basePath, dir / "40F5849A");
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "200.bird"}));
  EXPECT_FALSE(vFile_Exists((dir / "40F5849A/100.bird/.settings").c_str()));

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x12345678, none));
  EXPECT_TRUE(none.empty());

  EXPECT_TRUE(device.FileExists("200.bird"));
  EXPECT_FALSE(device.FileExists("300.bird"));
}

TEST(UpdaterStoreBuilds, ReadBirdFile) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x1A2B);
  auto image = Image(321);
  ASSERT_EQ(device.WriteFile("321.bird", image.data(), image.size()), vErrNone);
  BirdFile b = device.ReadBirdFile("321.bird");
  EXPECT_EQ(b.GetBuild(), 321u);
  EXPECT_EQ(b.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);

  auto errorOf = [&](const char* file) {
    try {
      device.ReadBirdFile(file);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  WriteFile(dir / "00001A2B/bad.bird", "BIRD\x01\x01");
  EXPECT_EQ(errorOf("bad.bird"), "Invalid bird " + (dir / "00001A2B/bad.bird"));
  EXPECT_EQ(errorOf("none.bird"), "Invalid bird " + (dir / "00001A2B/none.bird"));
  WriteFile(dir / "00001A2B/junk.bird", "bird\x01\x01 not compressed");
  EXPECT_EQ(errorOf("junk.bird"), "Failed to load bird data");
}

TEST(UpdaterStoreWrite, RefusesWhatItMustNotWrite) {
  TempDir dir;
  UpdaterStore store((dir / "store").c_str());
  UpdaterStoreItem device = store.AddDevice(0x1A2B);
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(device.WriteFile("a.bird", nullptr, 3), vErrNotFound);
  EXPECT_FALSE(vFile_Exists((dir / "store/00001A2B/a.bird").c_str()));
  // Names from a server reply must stay inside the device's directory.
  EXPECT_EQ(device.WriteFile("../../escape.bird", bytes, 3), vErrParam);
  EXPECT_EQ(device.WriteFile("..", bytes, 3), vErrParam);
  EXPECT_EQ(device.WriteFile("", bytes, 3), vErrParam);
  EXPECT_FALSE(vFile_Exists((dir / "escape.bird").c_str()));
  // The device directory is never created by a write.
  UpdaterStoreItem ghost = device;
  ghost.name = "00009999";
  EXPECT_EQ(ghost.WriteFile("a.bird", bytes, 3), vErrNotFound);
  EXPECT_FALSE(IsDir(dir / "store/00009999"));
  // Replacing keeps the file's permissions.
  ASSERT_EQ(device.WriteFile("a.bird", bytes, 3), vErrNone);
  chmod((dir / "store/00001A2B/a.bird").c_str(), 0640);
  ASSERT_EQ(device.WriteFile("a.bird", bytes, 2), vErrNone);
  struct stat st;
  ASSERT_EQ(stat((dir / "store/00001A2B/a.bird").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(ReadFile(dir / "store/00001A2B/a.bird"), "\x01\x02");
}

void EndProcess(const char*) { _exit(42); }

TEST(UpdaterStoreWrite, CrashOrFullDiskLeavesTheOldBuildWhole) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x1A2B);
  auto old = Image(100);
  ASSERT_EQ(device.WriteFile("100.bird", old.data(), old.size()), vErrNone);
  std::vector<uint8_t> big(300000, 0x5A);
  std::string path = dir / "00001A2B/100.bird";

  EXPECT_EXIT(
      {
        AtomicFileWriter::SetBeforeRenameHook(EndProcess);
        device.WriteFile("100.bird", big.data(), big.size());
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EQ(ReadFile(path), std::string(old.begin(), old.end()));
  EXPECT_EQ(device.ReadBirdFile("100.bird").GetBuild(), 100u);

  // A write cut short (the file size limit stands in for a full disk) is
  // reported, and neither the old file nor a temporary one is touched or left.
  EXPECT_EXIT(
      {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 65536;
        setrlimit(RLIMIT_FSIZE, &limit);
        vErr e = device.WriteFile("100.bird", big.data(), big.size());
        _exit(e == vErrWrite ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(ReadFile(path), std::string(old.begin(), old.end()));
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0x1A2B, items);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "100.bird");
}

}  // namespace
