// The option scanner and its handlers, through the fields they set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"

namespace {

struct Parsed {
  Parameters params;
  int result;
};

Parsed Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/local/bin/updater");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  CLI_Display display;
  display.mute_messages(true);
  Parsed p;
  p.result = _get_params(display, int(words.size()), argv.data(), &p.params);
  return p;
}

TEST(Params, DefaultsAndAppName) {
  Parsed p = Parse({});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.appName, "updater");
  EXPECT_EQ(p.params.transport, uint32_t(linkTypeUSB));
  EXPECT_EQ(p.params.baudRate, 115200u);
  EXPECT_EQ(p.params.logFile, "Updater.log");
  EXPECT_EQ(p.params.serverUrl.substr(p.params.serverUrl.size() - 6), "/cgi/u");
  EXPECT_EQ(p.params.commands.Value(), 0u);
}

TEST(Params, PrefixesSelectOneEntry) {
  EXPECT_TRUE(Parse({"-O"}).params.override);
  EXPECT_TRUE(Parse({"-OVER"}).params.override);
  EXPECT_TRUE(Parse({"-OVERRIDE"}).params.override);
  EXPECT_FALSE(Parse({"-OVERRIDEX"}).params.override);
  EXPECT_FALSE(Parse({"-o"}).params.override);  // case-sensitive: -o wants a baud rate
  EXPECT_TRUE(Parse({"--he"}).params.helpRequested);
  Parsed clumped = Parse({"-DU"});
  EXPECT_EQ(clumped.params.commands.Value(), 0u);
  EXPECT_EQ(clumped.result, 0);
}

TEST(Params, SerialNumbers) {
  EXPECT_EQ(Parse({"-d", "0x40F5849A"}).params.serial, 0x40F5849Au);
  EXPECT_EQ(Parse({"-d", "40f5849a"}).params.serial, 0x40F5849Au);
  EXPECT_EQ(Parse({"-d=40F5849A"}).params.serial, 0x40F5849Au);
  EXPECT_EQ(Parse({"-r", "0XD272031D"}).params.routerSerial, 0xD272031Du);
  // More than eight digits keep the low 32 bits.
  EXPECT_EQ(Parse({"-d", "1234567890"}).params.serial, 0x34567890u);
  Parsed bad = Parse({"-d", "40F5849G"});
  EXPECT_EQ(bad.result, 1);
  EXPECT_EQ(bad.params.serial, 0u);
  EXPECT_EQ(Parse({"-d", ""}).result, 1);  // "-d=" reads as 0
  EXPECT_EQ(Parse({"-d="}).result, 1);
}

TEST(Params, ArgumentsAreTakenFromTheNextWordUnlessItIsAnOption) {
  Parsed p = Parse({"-e", "-U"});
  EXPECT_FALSE(p.params.echo);
  EXPECT_TRUE(p.params.commands.IsSet(CMD_UPDATE));
  Parsed q = Parse({"-e", "on", "-n"});
  EXPECT_TRUE(q.params.echo);
  EXPECT_TRUE(q.params.networkFlag);
  // An attached argument may itself begin with "-".
  EXPECT_EQ(Parse({"-f=-odd-name"}).params.birdFile, "-odd-name");
  // A later occurrence replaces an earlier one.
  EXPECT_EQ(Parse({"-s", "/dev/a", "-s", "/dev/b"}).params.serialPort, "/dev/b");
  EXPECT_EQ(Parse({"-D=1"}).params.commands.Value(), 0u);
}

TEST(Params, NumbersAndTransports) {
  EXPECT_EQ(Parse({"-b", "abc"}).params.build, "0");
  EXPECT_EQ(Parse({"-b", "0099"}).params.build, "99");
  EXPECT_EQ(Parse({"-o", "9600"}).params.baudRate, 9600u);
  EXPECT_EQ(Parse({"-o", "96k"}).params.baudRate, 0u);
  EXPECT_EQ(Parse({"-t", "TCP"}).params.transport, uint32_t(linkTypeTCPIP));
  EXPECT_EQ(Parse({"-t", "TCPIP"}).params.transport, uint32_t(linkTypeTCPIP));
  EXPECT_EQ(Parse({"-t", "USBX"}).params.transport, uint32_t(linkTypeUSB));
  EXPECT_EQ(Parse({"-t", "RECOVER"}).params.transport, 255u);
  Parsed bad = Parse({"-t", "tcpip"});
  EXPECT_EQ(bad.result, 1);
  EXPECT_EQ(bad.params.transport, 0u);
  EXPECT_TRUE(bad.params.transportGiven);
}

TEST(Params, LogMasksAccumulate) {
  Log::DeactivatePackage(0xFFFFFFFF);
  Parsed p = Parse({"-X", "0x400", "-X", "3", "-X", "9z"});
  EXPECT_EQ(p.result, 0);
  EXPECT_TRUE(p.params.logMaskGiven);
  EXPECT_EQ(Log::ActiveMask(), 0x403u);
  Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(Params, HelpStopsTheScan) {
  Parsed p = Parse({"-B", "-h", "-Y", "-D"});
  EXPECT_EQ(p.result, 0);
  EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
  EXPECT_TRUE(p.params.commands.IsSet(CMD_LIST_BUILDS));
  EXPECT_FALSE(p.params.commands.IsSet(CMD_DISCOVER));
}

// Every command option sets its own bit and no other, and every value option
// lands in its own field: a row wired to the wrong bit or field fails here.
TEST(Params, EachOptionSetsItsOwnCommandOrField) {
  const struct {
    const char* option;
    uint32_t command;
  } commands[] = {
      {"-B", CMD_LIST_BUILDS}, {"-L", CMD_LIST_LOCAL_BUILDS},
      {"-D", CMD_DISCOVER},    {"-G", CMD_GET_BUILD},
      {"-I", CMD_INFO},        {"-U", CMD_UPDATE},
      {"-N", CMD_FINGERPRINT}, {"-C", CMD_CHECK},
      {"-Z=1", CMD_OPTION_Z},  {"-H", CMD_HELP},
      {"--help", CMD_HELP},
  };
  for (const auto& c : commands) {
    Parsed p = Parse({c.option});
    EXPECT_EQ(p.result, 0) << c.option;
    EXPECT_EQ(p.params.commands.Value(), c.command) << c.option;
  }
  Parsed values = Parse({"-i", "store", "-k", "my.log", "-l", "note", "-f", "a.bird"});
  EXPECT_EQ(values.params.storeDirectory, "store");
  EXPECT_EQ(values.params.logFile, "my.log");
  EXPECT_EQ(values.params.logMessage, "note");
  EXPECT_EQ(values.params.birdFile, "a.bird");
  EXPECT_EQ(values.params.commands.Value(), 0u);
  // -Y is known but not handled: an error that does not stop the scan.
  Parsed unhandled = Parse({"-Y", "-G"});
  EXPECT_EQ(unhandled.result, 1);
  EXPECT_TRUE(unhandled.params.commands.IsSet(CMD_GET_BUILD));
}

TEST(Params, CommandMaskCoversEveryCommandButHelp) {
  CommandsClass c;
  for (uint32_t bit : {CMD_DISCOVER, CMD_UPDATE, CMD_LIST_BUILDS, CMD_GET_BUILD, CMD_INFO,
                       CMD_CHECK, CMD_FINGERPRINT, CMD_OPTION_Z, CMD_LIST_LOCAL_BUILDS}) {
    CommandsClass one;
    one.Set(bit);
    EXPECT_TRUE(one.IsSet(CMD_ANY_COMMAND)) << bit;
  }
  c.Set(CMD_HELP);
  EXPECT_FALSE(c.IsSet(CMD_ANY_COMMAND));
}

TEST(Params, DigitReaders) {
  char* end = nullptr;
  const char* text = "1aF";
  EXPECT_EQ(_get_hex_arg(text, &end), 0x1AFu);
  EXPECT_EQ(end, text + 3);
  char* untouched = nullptr;
  EXPECT_EQ(_get_hex_arg("12 ", &untouched), 0u);
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(_get_hex_arg("", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("4294967297", nullptr), 1u);
  EXPECT_EQ(_get_int_arg("-1", nullptr), 0u);
}

}  // namespace

namespace {

// -u: the documented host:port form gets the default URL's scheme and path;
// a value with a scheme is used exactly as given.
TEST(ParamsServerUrl, HostPortGetsTheDefaultSchemeAndPath) {
  const std::string defaults = Parameters().serverUrl;
  const std::string scheme = defaults.substr(0, defaults.find("://") + 3);
  const struct {
    const char* value;
    std::string expected;
  } cases[] = {
      {"127.0.0.1:8080", scheme + "127.0.0.1:8080/cgi/u"},
      {"updates.example.net", scheme + "updates.example.net/cgi/u"},
      {"127.0.0.1:8080/other/path", scheme + "127.0.0.1:8080/other/path"},
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/"},
      {"https://mirror.example.net:8443/cgi/u", "https://mirror.example.net:8443/cgi/u"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse({"-u", c.value}).params.serverUrl, c.expected) << c.value;
    EXPECT_EQ(Parse({std::string("-u=") + c.value}).params.serverUrl, c.expected) << c.value;
  }
}

}  // namespace
