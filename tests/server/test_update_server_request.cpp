// Update server requests against a scripted loopback server: the exact query
// texts, reply parsing of every operation, refusals, and version ordering.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ScriptedServer.h"
#include "UpdateServerRequest.h"

namespace {

typedef UpdateServerRequest USR;

TEST(UpdateServerRequest, QueryTexts) {
  ScriptedServer server;
  std::string url = server.Url();
  server.SetReply(200, "ok\n");
  std::string build, version, bird;
  std::map<std::string, std::string> builds;
  uint32_t fp[4] = {0x1, 0xABCDEF01, 0x20, 0xFFFFFFFF}, serial = 0, number = 0;

  EXPECT_TRUE(USR::ping(url.c_str()));
  EXPECT_TRUE(USR::QueryBuild(0x1A2B, build, version, url.c_str()));
  EXPECT_TRUE(USR::GetBuild(0x40F5849A, "2.1.7", "1234", bird, url.c_str(), false));
  EXPECT_TRUE(USR::GetBuild(0x40F5849A, "2.1.7", "1234", bird, url.c_str(), true));
  EXPECT_TRUE(USR::GetBuildList(0xABC, builds, url.c_str()));
  EXPECT_TRUE(USR::GetRecoveryInfo(fp, &serial, &number, url.c_str()));
  std::vector<std::string> expected = {
      "/cgi/u?op=hi&rv=2&",
      "/cgi/u?op=qu&sn=00001A2B&",
      "/cgi/u?bld=1234&fw=2.1.7&no_cal=false&op=bird&sn=40F5849A&",
      "/cgi/u?bld=1234&fw=2.1.7&no_cal=true&op=bird&sn=40F5849A&",
      "/cgi/u?op=builds&sn=00000ABC&",
      "/cgi/u?brief=true&fp=00000001%20ABCDEF01%2000000020%20FFFFFFFF&op=fix&"};
  EXPECT_EQ(server.Targets(), expected);
}

TEST(UpdateServerRequest, EmptyUrlIsRequestedAsGiven) {
  // Only a null URL means the default server; an empty one is a failed request.
  LogCapture log(DEBUG_ServerComm);
  EXPECT_FALSE(USR::ping(""));
  std::string text = log.Text();
  EXPECT_EQ(text.rfind("GET(?op=hi&rv=2&)\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nping ==> ["), std::string::npos) << text;
}

TEST(UpdateServerRequest, FirstLineOnlyNeedsToBeginWithOk) {
  ScriptedServer server;
  std::string url = server.Url();
  server.SetReply(200, "\n\nokay\n");
  EXPECT_TRUE(USR::ping(url.c_str()));
  for (const char* refusal : {"no\n", "", "\n\n", "o\nk\n", " ok\n"}) {
    server.SetReply(200, refusal);
    EXPECT_FALSE(USR::ping(url.c_str())) << "[" << refusal << "]";
  }
  server.SetReply(500, "ok\n");
  EXPECT_FALSE(USR::ping(url.c_str()));
}

TEST(UpdateServerRequest, QueryBuildReadsBuildAndVersion) {
  ScriptedServer server;
  std::string url = server.Url();
  std::string build = "keep", version = "keep";
  server.SetReply(200, "ok\r\n123\r\n2.1.7\r\n");
  ASSERT_TRUE(USR::QueryBuild(1, build, version, url.c_str()));
  EXPECT_EQ(build, "123");
  EXPECT_EQ(version, "2.1.7");

  build = version = "keep";
  server.SetReply(200, "ok\n77\n");  // no version line: the version is left alone
  ASSERT_TRUE(USR::QueryBuild(1, build, version, url.c_str()));
  EXPECT_EQ(build, "77");
  EXPECT_EQ(version, "keep");

  server.SetReply(404, "ok\n1\n1.0.0\n");
  EXPECT_FALSE(USR::QueryBuild(1, build, version, url.c_str()));
  EXPECT_EQ(build, "77");
}

TEST(UpdateServerRequest, GetBuildTakesTheSecondLine) {
  ScriptedServer server;
  std::string url = server.Url();
  std::string bird = "old";
  server.SetReply(200, "ok\n\nYWJj\r\nignored\n");
  ASSERT_TRUE(USR::GetBuild(1, "1.0.0", "5", bird, url.c_str(), false));
  EXPECT_EQ(bird, "YWJj");
  server.SetReply(200, "ok\n");
  bird = "old";
  ASSERT_TRUE(USR::GetBuild(1, "1.0.0", "5", bird, url.c_str(), false));
  EXPECT_EQ(bird, "");
  server.SetReply(200, "refused\nYWJj\n");
  bird = "old";
  EXPECT_FALSE(USR::GetBuild(1, "1.0.0", "5", bird, url.c_str(), false));
  EXPECT_EQ(bird, "old");
}

TEST(UpdateServerRequest, BuildListParsingAndOrder) {
  ScriptedServer server;
  std::string url = server.Url();
  std::map<std::string, std::string> builds = {{"stale", "entry"}};
  server.SetReply(200, "ok\n100;1.0.2\n101;1.0.10\r\n99;0.9.9\nx\n102\n100;9.9.9\n;1.0.0\n");
  ASSERT_TRUE(USR::GetBuildList(1, builds, url.c_str()));
  std::map<std::string, std::string> expected = {
      {"100", "1.0.2"}, {"101", "1.0.10"}, {"99", "0.9.9"}, {"102", ""}};
  EXPECT_EQ(builds, expected);

  builds.erase("102");
  auto sorted = USR::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), 3u);
  EXPECT_EQ(sorted[0].first, "101");
  EXPECT_EQ(sorted[1].first, "100");
  EXPECT_EQ(sorted[2].first, "99");

  server.SetReply(200, "no\n1;1.0.0\n");
  EXPECT_FALSE(USR::GetBuildList(1, builds, url.c_str()));
  EXPECT_TRUE(builds.empty());
}

TEST(UpdateServerRequest, RecoveryInfo) {
  ScriptedServer server;
  std::string url = server.Url();
  uint32_t fp[4] = {1, 2, 3, 4}, serial = 7, build = 7;
  server.SetReply(200, "ok\n0001A2B3\n0x10\n");
  ASSERT_TRUE(USR::GetRecoveryInfo(fp, &serial, &build, url.c_str()));
  EXPECT_EQ(serial, 0x1A2B3u);
  EXPECT_EQ(build, 16u);
  server.SetReply(200, "ok\r\n40F5849A\r\n010\r\n");  // octal, and CR LF lines
  {
    LogCapture log(DEBUG_ServerComm);
    ASSERT_TRUE(USR::GetRecoveryInfo(fp, &serial, &build, url.c_str()));
    // The log shows the three lines as they came.
    std::string text = log.Text();
    EXPECT_NE(text.find("\nGetRecoveryInfo [ok\r][40F5849A\r][010\r]\n"), std::string::npos)
        << text;
  }
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(build, 8u);
  serial = build = 7;
  server.SetReply(200, "ok\n");
  ASSERT_TRUE(USR::GetRecoveryInfo(fp, &serial, &build, url.c_str()));
  EXPECT_EQ(serial, 7u);
  EXPECT_EQ(build, 7u);
}

TEST(UpdateServerRequest, VersionComparison) {
  auto newer = [](const char* a, const char* b) { return USR::_sortVersion({"1", a}, {"2", b}); };
  EXPECT_TRUE(newer("1.0.10", "1.0.2"));
  EXPECT_FALSE(newer("1.0.2", "1.0.10"));
  EXPECT_TRUE(newer("2.0.0", "1.255.255"));
  // Parts count on their low 8 bits.
  EXPECT_FALSE(newer("1.0.256", "1.0.0"));
  EXPECT_FALSE(newer("1.0.0", "1.0.256"));
  // A version of two parts, or a part that isn't a number, is never newer nor older.
  for (const char* bad : {"1.0", "1.x.0", "", "1.0.0.0", "1..0", "99999999999.0.0"}) {
    EXPECT_FALSE(newer(bad, "1.0.0")) << bad;
    EXPECT_FALSE(newer("1.0.0", bad)) << bad;
  }
  {
    // a's parts are converted before b's: the first failure is the one logged.
    LogCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(newer("1.x.0", "1.0"));
    EXPECT_EQ(log.Text(), "_sortVersion: Exception converting version: stoi\n");
    log.Clear();
    EXPECT_FALSE(newer("", ""));  // neither has three parts: no conversion, no log
    EXPECT_EQ(log.Text(), "");
  }
  EXPECT_EQ(USR::SplitVelmarineVersion("1.2.3"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_TRUE(USR::SplitVelmarineVersion("1.2").empty());
}

TEST(UpdateServerRequest, SortKeepsUnparsableEntriesInPlace) {
  std::map<std::string, std::string> builds = {
      {"1", "1.0.0"}, {"2", "2.0.0"}, {"3", "beta"}, {"4", "3.0.0"}, {"5", "4.0.0"}};
  auto sorted = USR::SortBuildsByVersion(builds);
  std::vector<std::string> order;
  for (auto& e : sorted) order.push_back(e.first);
  // An entry that can't be compared stays where it is; the others sort around it.
  EXPECT_EQ(order, (std::vector<std::string>{"2", "1", "3", "5", "4"}));

  std::map<std::string, std::string> many;
  for (int i = 0; i < 500; ++i)
    many[std::to_string(1000 + i)] = i % 7 ? "1.0." + std::to_string(i % 200) : "x";
  EXPECT_EQ(USR::SortBuildsByVersion(many).size(), many.size());
}

}  // namespace
