// The discover command end to end: the real updater with the simulated USB
// bus preloaded (modules on the bus, and modules behind a router module on
// its device network), and over TCP/IP across a veth pair between network
// namespaces. Standard output, standard error and the status are checked apart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "NetNamespaces.h"
#include "TestSupport.h"
#include "VelmarineSim.h"

using testsupport::RunResult;
using testsupport::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.11.1 Nov  8 2024)\n";
const std::string kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)\n";
const std::string kNetHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";

std::string Shim() { return testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class DiscoverCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(Shim().c_str(), F_OK) != 0)
      GTEST_SKIP() << "the simulated USB bus is not built (target velmarine_usb_sim)";
  }

  // The updater with the bus described by spec; the bus's events go to bus.log,
  // which BusLog() reads.
  RunResult Run(const std::string& spec, const std::vector<std::string>& args) {
    testsupport::RunOptions options;
    options.env["HOME"] = home.path();
    testsupport::Preload(options.env, Shim());
    options.env["VELMARINE_USB_SIM"] = spec;
    options.env["VELMARINE_USB_SIM_LOG"] = home / "bus.log";
    options.timeoutMs = 120000;
    return testsupport::Run(testsupport::UpdaterPath(), args, options);
  }
  std::vector<std::string> BusLog() { return Lines(testsupport::ReadFile(home / "bus.log")); }

  TempDir home;
};

TEST_F(DiscoverCommand, ListsUsbModulesAndWhyOneCouldNotBeRead) {
  RunResult r = Run(
      "40F5849A:19:build=1234:version=2.15.3,"
      "2181F0EE:4:address=6:busy,"          // held by another process
      "22222222:13:address=8:mute=0x49,"    // the build query is never answered
      "33333333:5:address=10:mute=3/1",     // the module-address read is never answered
      {"-D"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kVersion + "Searching for Velmarine devices\n"
                              "Discovered Devices: (USB)\n" +
                       kUsbHeader +
                       "    40F5849A  04       00      Morlet         2.15.3 (1234)\n"
                       "    2181F0EE  [Error (25): Is someone else connected to this device?]\n"
                       "    22222222  08       00      Brisal         2.15.3 (0)\n"
                       "    33333333  [Error (18): Is someone else connected to this device?]\n");
  // Each module was let go before the next one was opened, and none stays open.
  std::vector<std::string> log = BusLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "40F5849A claim"),
            std::count(log.begin(), log.end(), "40F5849A release"));
  EXPECT_EQ(std::count(log.begin(), log.end(), "2181F0EE claim LIBUSB_ERROR_BUSY"), 1);
}

TEST_F(DiscoverCommand, EmptyBusAndExplicitTransport) {
  RunResult r = Run("", {"-D", "-t", "USB"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kVersion +
                       "Searching for Velmarine devices\n"
                       "Discovered Devices: (USB)\n"
                       "    No devices found.\n");
}

// A router at address 4 with three modules behind it; the one whose serial
// number can't be read is left out.
const char kRouterBus[] =
    "D272031D:19:address=4,"
    "11111111:13:address=6:router=4:build=77:version=3.1.4,"
    "12121212:5:address=20:router=4,"
    "13131313:5:address=22:router=4:mute=3/9";

TEST_F(DiscoverCommand, ScansEveryNetworkAddressBehindTheRouter) {
  RunResult r = Run(kRouterBus, {"-D", "-r", "D272031D", "-t", "USB"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kVersion +
                       "Searching for Velmarine Network devices connected to D272031D\n"
                       "Discovered Devices: (USB)\n" +
                       kUsbHeader +
                       "    11111111  06       04      Brisal         3.1.4 (77)\n"
                       "    12121212  14       04      Quenla         2.15.3 (1)\n");

  // Every even address from 2 to 252 is probed once, in order, except the
  // router's own; "route to me" is on for the whole scan and off after it.
  std::vector<std::string> log = BusLog();
  std::vector<std::string> probes, expected;
  size_t routeOn = log.size(), routeOff = 0, firstProbe = log.size(), lastProbe = 0;
  for (size_t i = 0; i < log.size(); i++) {
    if (log[i].rfind("D272031D i2c-write ", 0) == 0) {
      probes.push_back(log[i].substr(19, 2));
      firstProbe = std::min(firstProbe, i);
      lastProbe = i;
    }
    if (log[i] == "D272031D route 1") routeOn = std::min(routeOn, i);
    if (log[i] == "D272031D route 0") routeOff = i;
  }
  for (unsigned a = 2; a <= 252; a += 2) {
    char text[4];
    snprintf(text, sizeof text, "%02X", a);
    if (a != 4) expected.push_back(text);
  }
  EXPECT_EQ(probes, expected);
  EXPECT_LT(routeOn, firstProbe);
  EXPECT_GT(routeOff, lastProbe);
  EXPECT_EQ(std::count(log.begin(), log.end(), "D272031D i2c-write 06 ack"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "D272031D claim"),
            std::count(log.begin(), log.end(), "D272031D release"));
}

TEST_F(DiscoverCommand, RouterTransportIsFoundWhenNotGiven) {
  RunResult r = Run(kRouterBus, {"-D", "-r", "D272031D", "-X", "0x101"});
  EXPECT_EQ(r.status, 0);
  // The listing keeps the header of an unnamed transport.
  EXPECT_EQ(Lines(r.out).at(2), "Discovered Devices: (Unknown)");
  EXPECT_EQ(Lines(r.out).at(3) + "\n", kNetHeader);
  EXPECT_EQ(Lines(r.out).size(), 6u);
  EXPECT_NE(r.err.find("NETWORK: Found device [D272031D] via link type [1]\n"), std::string::npos);
  EXPECT_NE(r.err.find("Got Serial [0x12121212]\n"), std::string::npos);
  EXPECT_EQ(r.err.find("Got Serial [0x13131313]"), std::string::npos);
  EXPECT_EQ(r.err.find("Searching Address 0x04"), std::string::npos);
  EXPECT_EQ(r.err.find("Searching Address 0xfe"), std::string::npos);
}

TEST_F(DiscoverCommand, UnknownRouterListsNothing) {
  RunResult r = Run(kRouterBus, {"-D", "-r", "0BADBEEF", "-t", "USB"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kVersion +
                       "Searching for Velmarine Network devices connected to 0BADBEEF\n"
                       "Discovered Devices: (USB)\n"
                       "    No devices found.\n");
}

TEST_F(DiscoverCommand, RouterThatCannotBeOpenedOrRoutedIsReported) {
  RunResult busy = Run("D272031D:19:address=4:busy", {"-D", "-r", "D272031D", "-t", "USB"});
  EXPECT_EQ(busy.status, 0);
  EXPECT_EQ(busy.err, "Error 25 on connectFromSpec\n");
  EXPECT_NE(busy.out.find("    No devices found.\n"), std::string::npos);
  RunResult deaf = Run("D272031D:19:address=4:mute=3/20", {"-D", "-r", "D272031D", "-t", "USB"});
  EXPECT_EQ(deaf.status, 0);
  EXPECT_EQ(deaf.err, "Error 18 on route to me\n");
  // Nothing is probed once "route to me" failed.
  std::vector<std::string> log = BusLog();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.find("i2c-write") != l.npos; }),
            0);
}

// Over TCP/IP: the updater in namespace A, simulated modules in namespace B.
class DiscoverTcpip : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = hosts.Create("vdtcp");
    if (!why.empty()) GTEST_SKIP() << why << ": TCP/IP discovery tests skipped";
  }
  testsupport::NetNamespaces hosts;
  TempDir home;
};

TEST_F(DiscoverTcpip, ListsModulesDespiteMalformedFloodedAndRefusingReplies) {
  const std::string B = testsupport::NetNamespaces::kAddressB;
  testsupport::Background sim(
      hosts.IpProgram(),
      hosts.ExecArgs(hosts.b, testsupport::ProgramPath("sim/module", "velmarine-sim"),
                     {"--module", "serial=40F5849A,model=19,address=4,build=4321", "--tcp",
                      B + ":0", "--module", "serial=2181F0EE,model=13,address=6,version=2.14.7",
                      "--tcp", B + ":0"}));
  std::vector<uint16_t> ports;
  for (int i = 0; i < 2; i++) {
    std::string line = sim.ReadLine();
    ASSERT_FALSE(line.empty());
    ports.push_back(uint16_t(std::stoi(line.substr(line.rfind(':') + 1))));
  }
  // The answers come from a responder of the test's own: both modules, a
  // module whose port refuses connections, malformed replies first and every
  // reply twice, and a flood of copies of one reply.
  ASSERT_TRUE(hosts.StartIn(hosts.b, [&](const std::function<void()>& ready) {
    velsim::DiscoveryOptions options;
    options.interfaceAddress = B;
    options.malformed = true;
    options.duplicate = true;
    velsim::DiscoveryResponder responder(
        {{0x40F5849A, 19, 4, ports[0]}, {0x2181F0EE, 13, 6, ports[1]}, {0x0BADBEEF, 5, 8, 9}},
        options);
    responder.Start();  // it has joined its group
    ready();
    for (;;) pause();
  }));
  ASSERT_TRUE(hosts.StartIn(hosts.b, [&](const std::function<void()>& ready) {
    // Copies of the first module's reply, straight at the searcher's reply port.
    std::array<uint8_t, 16> reply = velsim::DiscoveryReply({0x40F5849A, 19, 4, ports[0]});
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9889);
    inet_pton(AF_INET, testsupport::NetNamespaces::kAddressA, &to.sin_addr);
    ready();
    for (;;) {
      sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      usleep(1000);
    }
  }));

  testsupport::RunOptions options;
  options.env["HOME"] = home.path();
  options.timeoutMs = 60000;
  auto start = std::chrono::steady_clock::now();
  RunResult r = hosts.RunIn(hosts.a, testsupport::UpdaterPath(), {"-D", "-t", "TCPIP"}, options);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  char first[160], second[160], third[160];
  snprintf(first, sizeof first,
           "    40F5849A  04       00      Morlet         2.15.3 (4321) [%s]", B.c_str());
  snprintf(second, sizeof second,
           "    2181F0EE  06       00      Brisal         2.14.7 (1) [%s]", B.c_str());
  snprintf(third, sizeof third,
           "    0BADBEEF  08       08      Quenla         0.0.0 (0) [%s]", B.c_str());
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(lines[3] + "\n", kNetHeader);
  EXPECT_EQ(lines[4], first);
  EXPECT_EQ(lines[5], second);
  // A module that refused the connection keeps what its reply said.
  EXPECT_EQ(lines[6], third);
  // The 2 s listen and three connects, not one per copy of a reply.
  EXPECT_LT(seconds, 30.0);
}

}  // namespace
