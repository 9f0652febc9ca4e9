// The self-hosted update server's answers, read from a real tree of BIRD
// files: choice of the newest build, unlisted builds, damaged files, the
// fingerprints file, malformed queries and injected faults.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Base64.h"
#include "BirdVersion.h"
#include "BirdWriter.h"
#include "ServedTree.h"
#include "TestSupport.h"

namespace {

class ServedTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "40F5849A").c_str(), 0755);
    mkdir((dir / "40F5849A/unlisted").c_str(), 0755);
  }

  // Writes SERIAL/NAME as a BIRD file with the given identity.
  std::string Bird(const std::string& name, uint32_t build, const std::string& version) {
    bird::BirdWriter writer;
    writer.Info(build, version, 0x40F5849A, "HUB").Firmware(0, std::vector<uint8_t>(64, 0x5A));
    std::string error, path = dir / ("40F5849A/" + name);
    EXPECT_TRUE(writer.Write(path, &error)) << error;
    return path;
  }

  ServerReply Ask(const ServedTree::Query& query) { return tree.Handle(query); }

  testsupport::TempDir dir;
  std::vector<std::string> logged;
  ServedTree tree{dir.path(), ReadBirdVersion,
                  [this](const std::string& l) { logged.push_back(l); }};
};

TEST_F(ServedTreeTest, NewestByVersionAndListing) {
  Bird("100.bird", 100, "1.0.2");
  Bird("101.bird", 101, "1.0.10");
  Bird("99.bird", 99, "0.9.9");
  Bird("150.bird", 150, "1.0.10");  // same version as 101: the higher build wins
  Bird("unlisted/500.bird", 500, "9.0.0");
  Bird("notes.txt", 1, "9.9.9");
  testsupport::WriteFile(dir / "40F5849A/200.bird", "bird\x01\x01 damaged");

  EXPECT_EQ(Ask({{"op", "hi"}, {"rv", "2"}}).body, "ok\n");
  ServerReply qu = Ask({{"op", "qu"}, {"sn", "40f5849a"}});
  EXPECT_EQ(qu.body, "ok\n150\n1.0.10\n");
  ServerReply list = Ask({{"op", "builds"}, {"sn", "40F5849A"}});
  EXPECT_EQ(list.body, "ok\n99;0.9.9\n100;1.0.2\n101;1.0.10\n150;1.0.10\n");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("200.bird"), std::string::npos);
  // A serial without builds lists nothing and has no current build.
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "1"}}).body, "ok\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "1"}}).status, 404);
}

TEST_F(ServedTreeTest, BirdServesListedUnlistedAndNewest) {
  std::string listed = Bird("100.bird", 100, "1.0.2");
  std::string unlisted = Bird("unlisted/7.bird", 7, "0.0.1");
  auto fetch = [&](const std::string& bld) {
    ServerReply r = Ask(
        {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", bld}, {"fw", "3.0.0"}, {"no_cal", "false"}});
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body.compare(0, 3, "ok\n"), 0);
    std::string text = r.body.substr(3, r.body.size() - 4);
    size_t n = 0;
    char* bytes = base64_decode(text.data(), text.size(), &n);
    std::string out = bytes ? std::string(bytes, n) : "(not base64)";
    free(bytes);
    return out;
  };
  EXPECT_EQ(fetch("100"), testsupport::ReadFile(listed));
  EXPECT_EQ(fetch("7"), testsupport::ReadFile(unlisted));
  EXPECT_EQ(fetch(""), testsupport::ReadFile(listed));
  EXPECT_EQ(fetch("0"), testsupport::ReadFile(listed));
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "8"}}).status, 404);

  tree.AddFault(ServerFault::BadBase64, "");
  ServerReply cut = Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "100"}});
  EXPECT_EQ((cut.body.size() - 4) % 4, 3u);
  EXPECT_EQ(Ask({{"op", "hi"}}).body, "ok\n");  // the Base64 fault touches only "bird"
}

TEST_F(ServedTreeTest, MalformedQueriesAreRefused) {
  Bird("100.bird", 100, "1.0.2");
  const ServedTree::Query bad[] = {
      {},
      {{"op", "zz"}},
      {{"op", "qu"}},
      {{"op", "qu"}, {"sn", "../40F5849A"}},
      {{"op", "qu"}, {"sn", "123456789"}},
      {{"op", "builds"}, {"sn", "4 0"}},
      {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "../100"}},
      {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "4294967296"}},
      {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "100"}, {"no_cal", "maybe"}},
      {{"op", "fix"}, {"fp", "1 2 3 4"}},
      {{"op", "fix"}, {"fp", "00000001 00000002 00000003"}},
  };
  for (const auto& query : bad) {
    ServerReply r = Ask(query);
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_EQ(r.body.compare(0, 7, "error: "), 0) << r.body;
  }
}

TEST_F(ServedTreeTest, FingerprintsFile) {
  Bird("100.bird", 100, "1.0.2");
  Bird("101.bird", 101, "1.0.3");
  auto fix = [&](const std::string& fp) {
    return Ask({{"op", "fix"}, {"fp", fp}, {"brief", "true"}});
  };
  EXPECT_EQ(fix("00000001 00000002 00000003 00000004").status, 404);  // no file yet
  testsupport::WriteFile(dir / "fingerprints",
                         "# words                              serial    build\n"
                         "00000001 00000002 00000003 00000004  40F5849A  100\n"
                         "0000000A 0000000B 0000000C 0000000D  40F5849A   # newest\n"
                         "0000000A 0000000B 0000000C\n"
                         "AAAAAAAA BBBBBBBB CCCCCCCC DDDDDDDD  00001234\n");
  EXPECT_EQ(fix("00000001 00000002 00000003 00000004").body, "ok\n40F5849A\n100\n");
  EXPECT_EQ(fix("0000000a 0000000b 0000000c 0000000d").body, "ok\n40F5849A\n101\n");
  EXPECT_EQ(fix("AAAAAAAA BBBBBBBB CCCCCCCC DDDDDDDD").status, 404);  // no builds to name
  EXPECT_EQ(fix("00000009 00000002 00000003 00000004").status, 404);
  EXPECT_EQ(logged.size(), 2u);  // the short line, once per lookup that read past it
}

TEST_F(ServedTreeTest, FaultsApplyToTheirOperation) {
  Bird("100.bird", 100, "1.0.2");
  tree.AddFault(ServerFault::Refuse, "qu");
  tree.AddFault(ServerFault::Error, "builds");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "40F5849A"}}).body, "no\n");
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "40F5849A"}}).status, 500);
  EXPECT_EQ(Ask({{"op", "hi"}}).body, "ok\n");
  ServerFault fault;
  std::string op;
  EXPECT_TRUE(ParseServerFault("stall:bird", fault, op));
  EXPECT_EQ(fault, ServerFault::Stall);
  EXPECT_EQ(op, "bird");
  EXPECT_FALSE(ParseServerFault("explode", fault, op));
}

// Links inside the tree are served (modules may share one copy); a link that
// resolves outside the root, to a file or a directory, is refused and logged.
TEST_F(ServedTreeTest, LinksOutOfTheRootAreRefused) {
  Bird("unlisted/7.bird", 7, "0.0.1");
  testsupport::TempDir outside;
  mkdir((outside / "40F5849A").c_str(), 0755);
  bird::BirdWriter writer;
  writer.Info(300, "3.0.0", 0x40F5849A, "HUB").Firmware(0, std::vector<uint8_t>(64, 0x11));
  std::string error;
  ASSERT_TRUE(writer.Write(outside / "40F5849A/300.bird", &error)) << error;
  testsupport::WriteFile(outside / "fingerprints",
                         "00000001 00000002 00000003 00000004  40F5849A  300\n");
  ASSERT_EQ(symlink("unlisted/7.bird", (dir / "40F5849A/8.bird").c_str()), 0);
  ASSERT_EQ(symlink((outside / "40F5849A/300.bird").c_str(), (dir / "40F5849A/300.bird").c_str()),
            0);
  ASSERT_EQ(symlink((outside / "40F5849A").c_str(), (dir / "0000BEEF").c_str()), 0);
  ASSERT_EQ(
      symlink(("../../../../../../../../../../../../../" + (outside / "fingerprints")).c_str(),
              (dir / "fingerprints").c_str()),
      0);

  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "40F5849A"}}).body, "ok\n8;0.0.1\n");
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "300"}}).status, 404);
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "8"}}).status, 200);
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "0000BEEF"}}).body, "ok\n");
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "0000BEEF"}, {"bld", "300"}}).status, 404);
  EXPECT_EQ(Ask({{"op", "fix"}, {"fp", "00000001 00000002 00000003 00000004"}}).status, 404);
  ASSERT_EQ(logged.size(), 5u);
  for (const std::string& line : logged) EXPECT_NE(line.find("outside"), std::string::npos) << line;
}

TEST(ServedTreeHelpers, IndependentBase64AgreesWithTheClient) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += char(i * 37 + 11);
  for (size_t len : {0, 1, 2, 3, 4, 5, 999, 1000}) {
    std::string in = bytes.substr(0, len);
    size_t n = 0;
    char* ours = base64_encode(in.data(), in.size(), &n);
    EXPECT_EQ(EncodeBase64(in), std::string(ours, n));
    free(ours);
  }
  uint32_t v[3];
  EXPECT_TRUE(ParseVersion("1.0.256", v));
  EXPECT_EQ(v[2], 256u);
  EXPECT_FALSE(ParseVersion("1.0", v));
  EXPECT_FALSE(ParseVersion("1.0.0 ", v));
  EXPECT_FALSE(ParseVersion("1.0.99999999999", v));
}

}  // namespace
