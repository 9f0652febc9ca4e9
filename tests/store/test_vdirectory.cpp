// Directory utilities: path joining into bounded buffers, recursive
// creation, listing, deletion and the home directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "TestSupport.h"
#include "vDirectory.h"
#include "vFile.h"

namespace {

std::string Built(vErr* result, size_t size, const char* a, const char* b,
                  const char* c = nullptr) {
  char buf[256];
  *result = vDirectory_BuildPath(buf, size, a, b, c, nullptr);
  return buf;
}

TEST(Directory, BuildPathSeparators) {
  vErr e;
  EXPECT_EQ(Built(&e, 64, "a/", "b"), "a/b");
  EXPECT_EQ(e, vErrNone);
  EXPECT_EQ(Built(&e, 64, "a", "/b"), "a/b");
  EXPECT_EQ(Built(&e, 64, "a/", "/b"), "a//b");
  EXPECT_EQ(Built(&e, 64, "a", "b", "c"), "a/b/c");
  EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  // A null first component is the end of an empty list: nothing after it is read.
  EXPECT_EQ(BuildPath(nullptr, "x", nullptr), "");
}

TEST(Directory, BuildPathBounds) {
  char buf[64];
  strcpy(buf, "stale");
  EXPECT_EQ(vDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                 "11", nullptr),
            vErrParam);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(vDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                 nullptr),
            vErrNone);
  EXPECT_STREQ(buf, "1/2/3/4/5/6/7/8/9/10");
  EXPECT_EQ(vDirectory_BuildPath(nullptr, 8, "a", nullptr), vErrParam);
  strcpy(buf, "self");
  EXPECT_EQ(vDirectory_BuildPath(buf, sizeof buf, "x", buf + 1, nullptr), vErrParam);

  vErr e;
  // The first component must leave room for more than its terminator.
  EXPECT_EQ(Built(&e, 4, "abc", "d"), "");
  EXPECT_EQ(e, vErrOverrun);
  // A component that doesn't fit leaves what was built so far.
  EXPECT_EQ(Built(&e, 7, "ab", "cdef"), "ab/");
  EXPECT_EQ(e, vErrOverrun);
  EXPECT_EQ(Built(&e, 8, "ab", "cdef"), "ab/cdef");
  EXPECT_EQ(e, vErrNone);
}

TEST(Directory, BackwardsSearch) {
  const char* text = "a/b/c";
  EXPECT_EQ(backwards_memcmp(text, "/"), text + 3);
  EXPECT_EQ(backwards_memcmp(text, ""), text);
  EXPECT_EQ(backwards_memcmp(text, "x"), nullptr);
  EXPECT_EQ(backwards_memcmp("ab", "abc"), nullptr);
  EXPECT_EQ(backwards_memcmp(text, "a/b/c"), text);
}

TEST(Directory, EnsureCreatesEveryMissingParent) {
  testsupport::TempDir dir;
  umask(022);
  std::string deep = dir / "a/b/c";
  EXPECT_EQ(vDirectory_Ensure(deep.c_str(), 0755), vErrNone);
  EXPECT_TRUE(vDirectory_Exists((dir / "a/b").c_str()));
  EXPECT_TRUE(vDirectory_Exists(deep.c_str()));
  struct stat st;
  stat(deep.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(vDirectory_Ensure(deep.c_str(), 0755), vErrNone);
  EXPECT_EQ(vDirectory_Ensure((dir / "x//y/").c_str(), 0755), vErrNone);
  EXPECT_TRUE(vDirectory_Exists((dir / "x/y").c_str()));

  testsupport::WriteFile(dir / "file", "x");
  EXPECT_EQ(vDirectory_Ensure((dir / "file/sub").c_str(), 0755), vErrPermission);
  EXPECT_FALSE(vDirectory_Exists((dir / "file").c_str()));
  EXPECT_FALSE(vDirectory_Exists(nullptr));
}

bool Collect(vDirectoryListData* entry, void* context) {
  auto* seen = static_cast<std::set<std::string>*>(context);
  std::string path = entry->path;
  seen->insert(path.substr(path.rfind('/') + 1) + (entry->isDirectory ? "/" : "") + ":" +
               std::to_string(entry->size));
  return true;
}

TEST(Directory, ListDeleteTree) {
  testsupport::TempDir dir;
  std::string root = dir / "root";
  ASSERT_EQ(vDirectory_Ensure((root + "/sub/deeper").c_str(), 0755), vErrNone);
  testsupport::WriteFile(root + "/one.bird", "12345");
  testsupport::WriteFile(root + "/sub/two", "");
  std::set<std::string> seen;
  EXPECT_EQ(vDirectory_List(root.c_str(), Collect, &seen), vErrNone);
  EXPECT_TRUE(seen.count("one.bird:5"));
  EXPECT_EQ(seen.size(), 4u);  // ".", "..", one.bird, sub
  EXPECT_EQ(vDirectory_List((dir / "missing").c_str(), Collect, &seen), vErrNotFound);

  EXPECT_EQ(vDirectory_Delete(root.c_str()), vErrUnknown);  // not empty
  EXPECT_EQ(vDirectory_DeleteTree(root.c_str()), vErrNone);
  EXPECT_FALSE(vDirectory_Exists(root.c_str()));
  EXPECT_EQ(vDirectory_DeleteTree(root.c_str()), vErrNotFound);
}

// An entry whose full path doesn't fit the 2048-byte buffer is never handed
// over as its cut-short path (the directory itself), and a tree holding one
// is not removed; a symbolic link in a tree is removed, not followed.
TEST(Directory, ListAndDeleteTreeEdges) {
  testsupport::TempDir dir;
  std::string top = dir / "top", deep = top;
  while (deep.size() < 1850) deep += "/" + std::string(200, 'd');
  ASSERT_EQ(vDirectory_Ensure(deep.c_str(), 0755), vErrNone);
  std::string longName = std::string(240, 'n');
  testsupport::WriteFile(deep + "/" + longName, "x");
  testsupport::WriteFile(deep + "/s", "12");
  ASSERT_TRUE(vFile_Exists((deep + "/" + longName).c_str()));
  std::set<std::string> seen;
  EXPECT_EQ(vDirectory_List(deep.c_str(), Collect, &seen), vErrNone);
  EXPECT_EQ(seen.size(), 3u);  // ".", ".." and s
  EXPECT_TRUE(seen.count("s:2"));
  EXPECT_EQ(vDirectory_DeleteTree(top.c_str()), vErrUnknown);
  EXPECT_TRUE(vFile_Exists((deep + "/" + longName).c_str()));

  std::string keep = dir / "keep", tree = dir / "tree";
  ASSERT_EQ(vDirectory_Ensure(keep.c_str(), 0755), vErrNone);
  ASSERT_EQ(vDirectory_Ensure(tree.c_str(), 0755), vErrNone);
  testsupport::WriteFile(keep + "/k", "k");
  ASSERT_EQ(symlink(keep.c_str(), (tree + "/link").c_str()), 0);
  EXPECT_EQ(vDirectory_DeleteTree(tree.c_str()), vErrNone);
  EXPECT_FALSE(vDirectory_Exists(tree.c_str()));
  EXPECT_TRUE(vFile_Exists((keep + "/k").c_str()));
}

TEST(Directory, HomeAndExecutable) {
  char buf[2048];
  const char* saved = getenv("HOME");
  std::string keep = saved ? saved : "";
  setenv("HOME", "/some/where", 1);
  EXPECT_EQ(vDirectory_GetHomeDirectory(buf, sizeof buf), vErrNone);
  EXPECT_STREQ(buf, "/some/where");
  EXPECT_EQ(vDirectory_GetHomeDirectory(buf, 5), vErrOverrun);
  unsetenv("HOME");
  EXPECT_EQ(vDirectory_GetHomeDirectory(buf, sizeof buf), vErrNone);  // password database
  EXPECT_NE(buf[0], '\0');
  if (saved) setenv("HOME", keep.c_str(), 1);

  EXPECT_EQ(vDirectory_ExecutableFilePath(buf, sizeof buf), vErrNone);
  EXPECT_NE(std::string(buf).find("test_store"), std::string::npos);
  char tiny[5];
  EXPECT_EQ(vDirectory_ExecutableFilePath(tiny, sizeof tiny), vErrNone);
  EXPECT_EQ(strlen(tiny), 4u);
  EXPECT_EQ(vDirectory_CWD(tiny, 1), vErrParam);
}

}  // namespace
