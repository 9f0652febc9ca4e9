// The velmarine-sim program: its endpoint lines, clean stop on SIGTERM, refusal
// of bad command lines, and the module and fault descriptions it parses.
#include <gtest/gtest.h>

#include <sstream>

#include "RawLink.h"
#include "TestSupport.h"
#include "VelmarineSim.h"

using simtest::Bytes;
using simtest::RawLink;
using testsupport::Background;
using testsupport::ProgramPath;

namespace {

std::string SimPath() { return ProgramPath("sim/module", "velmarine-sim"); }

TEST(SimProgram, PrintsOneLinePerEndpointAndServesUntilTerminated) {
  Background sim(SimPath(),
                 {"--module", "serial=40F5849A,model=19,address=4,version=2.15.3,build=77", "--tcp",
                  "0", "--pty", "--module", "serial=1234ABCD,address=8", "--tcp", "127.0.0.1:0"});
  std::string tcp = sim.ReadLine(), pty = sim.ReadLine(), tcp2 = sim.ReadLine();
  std::istringstream a(tcp), b(pty), c(tcp2);
  std::string kind, where, serial;
  a >> kind >> where >> serial;
  EXPECT_EQ(kind, "tcp");
  EXPECT_EQ(serial, "40F5849A");
  ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u);
  uint16_t port = uint16_t(std::stoi(where.substr(10)));
  b >> kind >> where >> serial;
  EXPECT_EQ(kind, "pty");
  EXPECT_EQ(where.rfind("/dev/pts/", 0), 0u);
  c >> kind >> where >> serial;
  EXPECT_EQ(serial, "1234ABCD");

  RawLink link = RawLink::Tcp(port);
  ASSERT_TRUE(link.ok());
  link.Send({0x04, 2, 0x49, 0xFF});
  EXPECT_EQ(link.Packet(), (Bytes{0x04, 6, 0x49, 0xFF, 0, 0, 0, 77}));
  link.Send({0x04, 3, 0x03, 0x47, 0x20});
  EXPECT_EQ(link.Packet(), (Bytes{0x04, 7, 0x03, 0x07, 0x00, 0x2F, 0x02, 0x0F, 0x03}));

  kill(sim.pid(), SIGTERM);
  int status = 0;
  for (int i = 0; i < 300 && waitpid(sim.pid(), &status, WNOHANG) == 0; ++i) usleep(10000);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, FaultsFromTheCommandLine) {
  Background sim(SimPath(), {"--module", "serial=40F5849A", "--fault", "mute=0xAD", "--fault",
                             "delay=200:0x17", "--tcp", "0"});
  std::istringstream line(sim.ReadLine());
  std::string kind, where;
  line >> kind >> where;
  ASSERT_EQ(kind, "tcp");
  RawLink link = RawLink::Tcp(uint16_t(std::stoi(where.substr(where.find(':') + 1))));
  ASSERT_TRUE(link.ok());
  link.Send({0xAD, 0x00});
  EXPECT_TRUE(link.Packets(1, 300).empty());
  link.Send({0x04, 2, 0x17, 9});
  EXPECT_TRUE(link.Packets(1, 100).empty());
  EXPECT_EQ(link.Packet(), (Bytes{0x04, 2, 0x17, 9}));
}

TEST(SimProgram, HelpAndBadCommandLines) {
  auto help = testsupport::Run(SimPath(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--fault"), std::string::npos);
  EXPECT_NE(help.out.find("drop-after"), std::string::npos);

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--tcp", "0"},
      {"--module", "serial=1,address=5", "--tcp", "0"},
      {"--module", "serial=1,colour=red", "--tcp", "0"},
      {"--module", "serial=1", "--tcp", "70000"},
      {"--module", "serial=1"},
      {"--module", "serial=1", "--tcp", "0", "--fault", "mute=300"},
      {"--module", "serial=1", "--module", "serial=1", "--tcp", "0"},
      {"--bogus"},
  };
  for (const auto& args : bad) {
    auto r = testsupport::Run(SimPath(), args, {{}, "", 10000, ""});
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("velmarine-sim: "), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(SimSpecs, ModuleDescriptions) {
  velsim::ModuleConfig c = velsim::ParseModuleSpec(
      "serial=0x40f5849a,model=0x13,address=10,router=4,version=2.14.200,build=123456,hb=500,name="
      "Deck");
  EXPECT_EQ(c.serial, 0x40F5849Au);
  EXPECT_EQ(c.model, 19);
  EXPECT_EQ(c.address, 10);
  EXPECT_EQ(c.router, 4);
  EXPECT_EQ(c.version, 0x2E0000C8u);  // legacy layout below 2.15
  EXPECT_EQ(velsim::ParseModuleSpec("version=2.15.3").version, 0x2F020F03u);
  EXPECT_EQ(velsim::ParseModuleSpec("version=0x10000005").version, 0x10000005u);
  EXPECT_EQ(c.build, 123456u);
  EXPECT_EQ(c.heartbeatMs, 500u);
  EXPECT_EQ(c.name, "Deck");
  for (const char* bad :
       {"serial=0", "serial=123456789", "serial=xyz", "address=0", "address=7", "address=256",
        "router=3", "version=2.15", "version=1.2.300", "model=-1", "build=", "hb=30000"})
    EXPECT_THROW(velsim::ParseModuleSpec(bad), std::invalid_argument) << bad;
}

TEST(SimSpecs, FaultDescriptions) {
  velsim::FaultConfig f;
  velsim::ParseFaultSpec(
      "garbage=01 ff,garbage-after=3,drop-after=2,refuse-after-drop,drop-close,mute=0xAD,"
      "mute=3:9,delay=250:0x49,split=5,split-gap=7,hb-timeout=400,flaky=3",
      f);
  EXPECT_EQ(f.garbage, (std::vector<uint8_t>{0x01, 0xFF}));
  EXPECT_EQ(f.garbageAfter, 3);
  EXPECT_EQ(f.dropAfter, 2);
  EXPECT_TRUE(f.refuseAfterDrop);
  EXPECT_TRUE(f.dropClose);
  ASSERT_EQ(f.mute.size(), 2u);
  EXPECT_EQ(f.mute[0].command, 0xAD);
  EXPECT_EQ(f.mute[0].option, -1);
  EXPECT_EQ(f.mute[1].option, 9);
  EXPECT_EQ(f.delayMs, 250u);
  EXPECT_EQ(f.delayCommand, 0x49);
  EXPECT_EQ(f.splitBytes, 5u);
  EXPECT_EQ(f.splitGapMs, 7u);
  EXPECT_EQ(f.heartbeatTimeoutMs, 400u);
  EXPECT_EQ(f.flakyEvery, 3u);
  for (const char* bad : {"garbage=1", "garbage=zz", "mute=3:64", "delay=x", "refuse-after-drop=1",
                          "hb-timeout=0", "explode=1", "flaky=1", "flaky=x"}) {
    velsim::FaultConfig g;
    EXPECT_THROW(velsim::ParseFaultSpec(bad, g), std::invalid_argument) << bad;
  }
}

}  // namespace
