// KeyValueStore: the line syntax, conversions, the modified flag and time
// stamps, and saving that never leaves a damaged file under the final name.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "KeyValueStore.h"
#include "LogCapture.h"
#include "TestSupport.h"
#include "vDirectory.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

KeyValueStore Loaded(const TempDir& dir, const std::string& text) {
  WriteFile(dir / "kv", text);
  KeyValueStore kv;
  EXPECT_EQ(kv.Load((dir / "kv").c_str()), vErrNone);
  return kv;
}

std::string Value(const KeyValueStore& kv, const char* key) {
  const char* v = kv[key];
  return v ? v : "<absent>";
}

TEST(KeyValueSyntax, BlanksCommentsEqualsAndLineEnds) {
  TempDir dir;
  KeyValueStore kv = Loaded(dir,
                            " speed = 12 = a \r\n"
                            "#comment=1\n"
                            " #hash=2\n"
                            "a=\n"
                            "=\n"
                            "  =orphan\n"
                            "bare word\n"
                            "x\n"
                            "in ner key\t=\tin ner value\n"
                            "dup=1\n"
                            "dup=2\n"
                            "last=no line feed");
  EXPECT_EQ(Value(kv, "speed"), "12 = a");
  EXPECT_EQ(Value(kv, "#comment"), "<absent>");
  EXPECT_EQ(Value(kv, "#hash"), "2");
  EXPECT_EQ(Value(kv, "a"), "");
  EXPECT_EQ(Value(kv, ""), "orphan");  // "=" is too short; "  =orphan" has the empty key
  EXPECT_EQ(Value(kv, "bare word"), "");
  EXPECT_EQ(Value(kv, "x"), "<absent>");  // under 3 characters
  EXPECT_EQ(Value(kv, "in ner key"), "in ner value");
  EXPECT_EQ(Value(kv, "dup"), "2");
  EXPECT_EQ(Value(kv, "last"), "no line feed");
  EXPECT_EQ(kv.entries.size(), 8u);
  EXPECT_FALSE(kv.modified);

  // A key that trims to nothing is the empty key, kept and written back.
  std::string key = "?", value = "?";
  EXPECT_TRUE(KeyValueStore::ParseLine(" \t \n", 4, &key, &value));
  EXPECT_EQ(key, "");
  EXPECT_EQ(value, "");
  kv.Save((dir / "out").c_str());
  EXPECT_EQ(ReadFile(dir / "out").find("=orphan\n#hash=2\n"), 0u) << ReadFile(dir / "out");
}

TEST(KeyValueSyntax, OverlongLineEndsTheLoad) {
  TempDir dir;
  std::string fits = "k=" + std::string(2044, 'v');  // 2046 characters and a line feed
  KeyValueStore ok = Loaded(dir, "a=1\n" + fits + "\nb=2\n");
  EXPECT_EQ(std::string(ok["k"]).size(), 2044u);
  EXPECT_EQ(Value(ok, "b"), "2");

  KeyValueStore cut = Loaded(dir, "a=1\n" + fits + "v\nb=2\n");
  EXPECT_EQ(Value(cut, "a"), "1");
  EXPECT_EQ(Value(cut, "k"), "<absent>");
  EXPECT_EQ(Value(cut, "b"), "<absent>");

  // Parsing text in memory follows the same rules.
  std::string text = "a=1\n" + fits + "v\nb=2\n";
  KeyValueStore parsed;
  parsed.Parse(text.data(), text.size());
  EXPECT_EQ(parsed.entries.size(), 1u);
}

TEST(KeyValueConversions, NumbersHexBooleansAndDefaults) {
  KeyValueStore kv;
  kv.Add("n", "12abc");
  kv.Add("word", "abc");
  kv.Add("empty", "");
  kv.Add("neg", " -5");
  kv.Add("hex1", "0x0000BEEF");
  kv.Add("hex2", "beef");
  kv.Add("t", "true");
  kv.Add("one", "1");
  kv.Add("d", "2.5x");
  EXPECT_EQ(kv.GetInt("n", 7), 12);
  EXPECT_EQ(kv.GetInt("word", 7), 0);
  EXPECT_EQ(kv.GetInt("empty", 7), 7);
  EXPECT_EQ(kv.GetInt("neg", 7), -5);
  EXPECT_EQ(kv.GetHex("hex1", 1), 0xBEEFu);
  EXPECT_EQ(kv.GetHex("hex2", 1), 0xBEEFu);
  EXPECT_EQ(kv.GetHex("empty", 0x55), 0x55u);
  EXPECT_FALSE(kv.GetBOOL("t", true));
  EXPECT_TRUE(kv.GetBOOL("one", false));
  EXPECT_TRUE(kv.GetBOOL("empty", true));
  EXPECT_DOUBLE_EQ(kv.GetDouble("d", 9.0), 2.5);
  EXPECT_DOUBLE_EQ(kv.GetDouble("absent", 9.0), 9.0);
  EXPECT_EQ(kv.GetString("absent", "def"), "");  // GetDouble left it behind, empty
  EXPECT_EQ(kv.GetString("missing", "def"), "def");
  EXPECT_EQ(kv.GetString("absent2", nullptr), "");

  kv.Add("i", 42);
  kv.Add("f", 1.5);
  kv.AddHex("h", 0xBEEF);
  EXPECT_EQ(Value(kv, "i"), "42");
  EXPECT_EQ(Value(kv, "f"), "1.500000");
  EXPECT_EQ(Value(kv, "h"), "0x0000BEEF");
  EXPECT_EQ(Value(kv, "absent2"), "<absent>");  // GetString doesn't create keys
}

TEST(KeyValueSave, AbsentKeyReadByGetIntIsWrittenEmpty) {
  TempDir dir;
  KeyValueStore kv;
  EXPECT_EQ(kv.GetInt("LATEST", 3), 3);
  EXPECT_FALSE(kv.modified);
  kv.Add("B", "x");
  kv.Save((dir / "s").c_str());
  std::string text = ReadFile(dir / "s");
  EXPECT_EQ(text.substr(0, 12), "B=x\nLATEST=\n") << text;
  EXPECT_NE(text.find("\nUPDATED_TIME="), std::string::npos);
}

TEST(KeyValueSave, ModifiedOnlyOnChangeAndUpdatedTimeFollowsIt) {
  TempDir dir;
  std::string path = dir / "s";
  KeyValueStore kv;
  EXPECT_TRUE(kv.Add("n", 5));
  EXPECT_TRUE(kv.modified);
  kv.Save(path.c_str());
  EXPECT_FALSE(kv.modified);

  // Plant a recognisable stamp, then add the same value again: no change.
  kv.entries["UPDATED_TIME"] = "marker";
  kv.Save(path.c_str());
  kv.Add("n", 5);
  EXPECT_FALSE(kv.modified);
  kv.Save(nullptr);
  EXPECT_NE(ReadFile(path).find("UPDATED_TIME=marker\n"), std::string::npos);

  kv.Add("n", 6);
  kv.Save(nullptr);
  EXPECT_EQ(ReadFile(path).find("marker"), std::string::npos);

  KeyValueStore other;
  other.entries["n"] = "6";
  kv.Save(nullptr);
  kv.Add(other);  // merging sets modified even for an equal value
  EXPECT_TRUE(kv.modified);
  KeyValueStore copy(kv);
  EXPECT_EQ(copy.entries, kv.entries);
  EXPECT_EQ(copy.path, kv.path);
  EXPECT_TRUE(copy.Clear());
  EXPECT_TRUE(copy.entries.empty());
  EXPECT_TRUE(copy.modified);
  EXPECT_FALSE(kv.entries.empty());
}

TEST(KeyValueLoad, MissingFileIsCreatedWithTimeStamps) {
  TempDir dir;
  std::string path = dir / "new";
  KeyValueStore kv;
  EXPECT_EQ(kv.Load(path.c_str()), vErrParam);
  EXPECT_EQ(kv.path, path);
  EXPECT_FALSE(kv.modified);
  std::string text = ReadFile(path);
  ASSERT_EQ(text.compare(0, 13, "CREATED_TIME="), 0) << text;
  size_t second = text.find('\n') + 1;
  EXPECT_EQ(text.compare(second, 13, "UPDATED_TIME="), 0) << text;
  EXPECT_EQ(text.size(), 2 * (13 + 24 + 1));  // two 24-character ctime stamps
  EXPECT_EQ(kv.entries.size(), 2u);

  // A file in a directory that doesn't exist is neither loaded nor created.
  KeyValueStore none;
  EXPECT_EQ(none.Load((dir / "no/such/file").c_str()), vErrParam);
  EXPECT_FALSE(vFile_Exists((dir / "no/such/file").c_str()));
  EXPECT_EQ(none.Load(nullptr), vErrParam);
}

TEST(KeyValueLoad, LoadAndSaveLogTexts) {
  TempDir dir;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::string text;
  {
    LogCapture log(DEBUG_Attributes);
    KeyValueStore created((dir / "new").c_str());
    KeyValueStore unnamed;
    unnamed.Save(nullptr);
    KeyValueStore nowhere;
    nowhere.Save((dir / "missing/s").c_str());
    nowhere.Save("");
    KeyValueStore loaded((dir / "new").c_str());  // an existing file logs nothing
    text = log.Text();
  }
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_EQ(text, "Attibutes: Error - cannot open attributes file: '" + (dir / "new") +
                      "' (2)\n"
                      "Attibutes: no filename given for attributes, using default:[.settings]\n"
                      "Attibutes: Error - cannot open attributes file for writting: '" +
                      (dir / "missing/s") +
                      "' (2)\n"
                      "Attibutes: Error - cannot open attributes file for writting: '' (2)\n");
  // Nothing was left behind in the current directory.
  int entries = 0;
  vDirectory_List(
      dir.path().c_str(),
      [](vDirectoryListData*, void* n) {
        ++*static_cast<int*>(n);
        return true;
      },
      &entries);
  EXPECT_EQ(entries, 4);  // ".", "..", "new" and ".settings"
}

TEST(KeyValueLoad, UnreadableFileIsNotReplaced) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions don't bind root";
  TempDir dir;
  std::string path = dir / "locked";
  WriteFile(path, "keep=this\n");
  chmod(path.c_str(), 0200);
  KeyValueStore kv;
  EXPECT_EQ(kv.Load(path.c_str()), vErrParam);
  chmod(path.c_str(), 0600);
  EXPECT_EQ(ReadFile(path), "keep=this\n");
}

TEST(KeyValueSave, DefaultFileNameInTheCurrentDirectory) {
  TempDir dir;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KeyValueStore kv;
  kv.Add("k", "v");
  kv.Save(nullptr);
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_EQ(kv.path, ".settings");
  EXPECT_NE(ReadFile(dir / ".settings").find("\nk=v\n"), std::string::npos);
}

void EndProcess(const char*) { _exit(42); }

// The process dies after the new file is written and synced but before it
// replaces the old one: the old file must still be whole.
TEST(KeyValueSave, CrashBeforeRenameLeavesTheOldFileWhole) {
  TempDir dir;
  std::string path = dir / ".settings";
  KeyValueStore kv;
  kv.Add("LATEST_DOWNLOAD", "100.bird");
  kv.Save(path.c_str());
  std::string before = ReadFile(path);

  kv.Add("LATEST_DOWNLOAD", "200.bird");
  EXPECT_EXIT(
      {
        AtomicFileWriter::SetBeforeRenameHook(EndProcess);
        kv.Save(nullptr);
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EQ(ReadFile(path), before);
  KeyValueStore again(path.c_str());
  EXPECT_EQ(Value(again, "LATEST_DOWNLOAD"), "100.bird");
}

// A write that fails part way (here: the file size limit, as a full disk
// would) keeps the old file and reports through the log.
TEST(KeyValueSave, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  std::string path = dir / "s";
  KeyValueStore kv;
  kv.Add("a", "1");
  kv.Save(path.c_str());
  std::string before = ReadFile(path);
  kv.Add("big", std::string(200000, 'x'));
  EXPECT_EXIT(
      {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        kv.Save(nullptr);
        _exit(kv.modified ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(ReadFile(path), before);
  // No temporary file is left behind.
  int entries = 0;
  vDirectory_List(
      dir.path().c_str(),
      [](vDirectoryListData*, void* n) {
        ++*static_cast<int*>(n);
        return true;
      },
      &entries);
  EXPECT_EQ(entries, 3);  // ".", ".." and the file
}

TEST(KeyValueSave, UnwritableDirectoryIsOnlyLogged) {
  TempDir dir;
  KeyValueStore kv;
  kv.Add("a", "1");
  kv.Save((dir / "missing/s").c_str());
  EXPECT_TRUE(kv.modified);
  EXPECT_EQ(Value(kv, "a"), "1");
}

}  // namespace
