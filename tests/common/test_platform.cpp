// Platform utilities: error texts, model names, packed versions, files,
// mutexes, threads and time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "vDefs.h"
#include "vErr.h"
#include "vFile.h"
#include "vMutex.h"
#include "vVersion.h"

namespace {

TEST(Platform, ErrorTextsAndModelNames) {
  EXPECT_STREQ(vError_GetErrorText(0), "vErrNone");
  EXPECT_STREQ(vError_GetErrorText(27), "vErrShortCommand");
  EXPECT_STREQ(vError_GetErrorDescription(27), "Velmarine command to short");
  EXPECT_STREQ(vError_GetErrorText(34), "vErrUnknown");
  EXPECT_STREQ(vError_GetErrorText(35), "vErrUnknown");
  EXPECT_STREQ(vError_GetErrorText(1000), "vErrUnknown");
  EXPECT_STREQ(vError_GetErrorDescription(0xFFFFFFFF), "Unknown error");
  EXPECT_STREQ(vDefs_GetModelName(12), "Unknown");
  EXPECT_STREQ(vDefs_GetModelName(19), "Morlet");
  EXPECT_STREQ(vDefs_GetModelName(4), "Torvik");
  EXPECT_STREQ(vDefs_GetModelName(26), "Helvar");
  EXPECT_STREQ(vDefs_GetModelName(27), "Unknown");
  EXPECT_STREQ(vDefs_GetModelName(0xFFFFFFFF), "Unknown");
}

std::string VersionText(uint32_t v) {
  char buf[32];
  vVersion_ParseString(v, buf, sizeof buf);
  return buf;
}

TEST(Platform, PackedVersions) {
  EXPECT_EQ(vVersion_Pack(2, 15, 3), 0x2F020F03u);
  EXPECT_FALSE(vVersion_IsLegacyFormat(0x2F020F03u));
  EXPECT_EQ(VersionText(0x2F020F03u), "2.15.3");
  EXPECT_EQ(vVersion_Pack(2, 14, 200), 0x2E0000C8u);
  EXPECT_TRUE(vVersion_IsLegacyFormat(0x2E0000C8u));
  EXPECT_EQ(VersionText(0x2E0000C8u), "2.14.200");
  EXPECT_EQ(VersionText(vVersion_Pack(1, 20, 5)), "1.4.5");
  EXPECT_EQ(VersionText(vVersion_Pack(3, 0, 0)), "3.0.0");
  // A legacy value from a module may use the whole 24-bit patch.
  EXPECT_EQ(vVersion_ParsePatch(0x11ABCDEFu), 0xABCDEFu);
  EXPECT_EQ(VersionText(0x11ABCDEFu), "1.1.11259375");
  // Small buffers are never overrun; the formatter's count is still returned.
  char small[4];
  EXPECT_EQ(vVersion_ParseString(0x2F020F03u, small, sizeof small), 6);
  EXPECT_STREQ(small, "2.1");
}

TEST(Platform, VersionComparisonsAndFeatures) {
  EXPECT_TRUE(vVersion_IsAtLeastCompare(2, 11, 1, 2, 11, 1));
  EXPECT_FALSE(vVersion_IsAtLeastCompare(2, 11, 1, 2, 11, 2));
  EXPECT_TRUE(vVersion_IsAtLeastCompare(2, 11, 1, 1, 200, 200));
  EXPECT_TRUE(vVersion_IsAtLeast(2, 11, 0));
  EXPECT_FALSE(vVersion_IsAtLeast(2, 12, 0));
  EXPECT_STREQ(vVersion_GetString(), "2.11.1");
  EXPECT_TRUE(vVersion_HasFeature("VERSION"));
  EXPECT_FALSE(vVersion_HasFeature("version"));
  EXPECT_FALSE(vVersion_HasFeature(nullptr));
  char* list = vVersion_GetFeatureList();
  EXPECT_STREQ(list, "VERSION - Version Query API");
  vVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(Platform, FileModesAndRecords) {
  testsupport::TempDir dir;
  std::string path = dir / "f";
  EXPECT_EQ(vFile_Open("", 0), nullptr);
  EXPECT_EQ(vFile_Open(path.c_str(), 3), nullptr);
  EXPECT_EQ(vFile_Open(path.c_str(), 0), nullptr);  // missing file
  EXPECT_EQ(vFile_Open(std::string(4097, 'a').c_str(), 1), nullptr);

  vFile* w = vFile_Open(path.c_str(), 1);
  ASSERT_NE(w, nullptr);
  char buf[8];
  size_t n = 0;
  EXPECT_EQ(vFile_Read(w, buf, 1, &n), vErrMode);
  EXPECT_EQ(vFile_Write(w, "hello", 5, &n), vErrNone);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(vFile_Write(w, nullptr, 5, &n), vErrParam);
  EXPECT_EQ(vFile_Close(&w), vErrNone);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(vFile_Close(&w), vErrParam);
  EXPECT_TRUE(vFile_Exists(path.c_str()));
  EXPECT_FALSE(vFile_Exists(dir.path().c_str()));

  vFile* a = vFile_Open(path.c_str(), 2);
  ASSERT_NE(a, nullptr);
  size_t size = 0, pos = 99;
  EXPECT_EQ(vFile_GetSize(a, &size), vErrNone);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(vFile_Seek(a, 6, 0), vErrRange);
  EXPECT_EQ(vFile_Seek(a, -1, 0), vErrRange);
  EXPECT_EQ(vFile_Seek(a, 5, 0), vErrNone);
  EXPECT_EQ(vFile_GetPosition(a, &pos), vErrNone);
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(vFile_Seek(a, 0, 0), vErrNone);
  pos = 99;
  EXPECT_EQ(vFile_GetPosition(a, &pos), vErrNone);
  EXPECT_EQ(pos, 99u);  // position 0 is not stored
  EXPECT_EQ(vFile_Read(a, buf, 8, &n), vErrNone);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(vFile_Read(a, buf, 8, &n), vErrEOF);
  vFile_Close(&a);

  EXPECT_EQ(vFile_Delete(path.c_str()), vErrNone);
  EXPECT_EQ(vFile_Delete(path.c_str()), vErrNotFound);
  EXPECT_EQ(vFile_Delete(nullptr), vErrParam);
  EXPECT_EQ(vFile_Delete(std::string(4097, 'a').c_str()), vErrFileNameLength);
}

TEST(Platform, ReadLineReportsCutLines) {
  testsupport::TempDir dir;
  std::string path = dir / "lines";
  testsupport::WriteFile(path, "abcde\nxy\n");
  vFile* f = vFile_Open(path.c_str(), 0);
  ASSERT_NE(f, nullptr);
  char buf[4];
  size_t len = 0;
  EXPECT_EQ(vFile_ReadLine(f, buf, sizeof buf, &len), vErrOverrun);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(vFile_ReadLine(f, buf, sizeof buf, &len), vErrNone);  // "de\n"
  EXPECT_STREQ(buf, "de\n");
  EXPECT_EQ(vFile_ReadLine(f, buf, sizeof buf, &len), vErrNone);
  EXPECT_STREQ(buf, "xy\n");
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(vFile_ReadLine(f, buf, sizeof buf, &len), vErrEOF);
  vFile_Close(&f);
}

TEST(Platform, MutexNamesAndErrors) {
  EXPECT_EQ(vMutex_Create(std::string(256, 'n').c_str()), nullptr);
  vMutex* m = vMutex_Create(std::string(255, 'n').c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(strlen(vMutex_Identifier(m)), 255u);
  vMutex* unnamed = vMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(vMutex_Identifier(unnamed), "");
  EXPECT_EQ(vMutex_Lock(m), vErrNone);
  std::atomic<int> tryResult{-1};
  std::pair<vMutex*, std::atomic<int>*> arg(m, &tryResult);
  vThread* t = vThread_Create(
      [](void* arg) -> void* {
        auto* pair = static_cast<std::pair<vMutex*, std::atomic<int>*>*>(arg);
        pair->second->store(vMutex_TryLock(pair->first));
        return nullptr;
      },
      &arg);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(vThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(tryResult.load(), int(vErrBusy));
  EXPECT_EQ(vMutex_Unlock(m), vErrNone);
  EXPECT_EQ(vMutex_Lock(nullptr), vErrParam);
  EXPECT_EQ(vMutex_Destroy(&m), vErrNone);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(vMutex_Destroy(&m), vErrParam);
  vMutex_Destroy(&unnamed);
}

TEST(Platform, TimeMoves) {
  uint64_t before = vTime_GetMSTicks();
  EXPECT_GT(before, 1600000000000ull);
  vTime_MSSleep(0);
  vTime_MSSleep(20);
  EXPECT_GE(vTime_GetMSTicks(), before + 19);
}

}  // namespace
