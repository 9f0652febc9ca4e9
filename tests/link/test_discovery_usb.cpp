// USB discovery through the simulated bus: the driver program enumerates and
// finds modules with the bus preloaded, and these tests read its step lines.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// Runs the driver's steps on a bus configured as spec; returns its output lines.
std::vector<std::string> Discover(const std::string& spec, std::vector<std::string> steps) {
  testsupport::RunOptions options;
  testsupport::Preload(options.env, testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"));
  options.env["VELMARINE_USB_SIM"] = spec;
  options.timeoutMs = 60000;
  steps.push_back("control");
  steps.push_back("stop");
  testsupport::RunResult r =
      testsupport::Run(testsupport::ProgramPath("sim/usb", "velmarine-usb-check"), steps, options);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line))
    if (line != "control ok") lines.push_back(line);
  return lines;
}

// Two modules among devices that are not modules or carry no usable serial string.
const char kMixedBus[] =
    "40F5849A:19,"
    "11111111:5:vid=0x1234,"             // another vendor
    "44444444:8:pid=0x8001,"             // the maker's, but not a module
    "22222222:6:serial-text=2222222,"    // 7 characters
    "33333333:7:serial-text=333333333,"  // 9 characters
    "55555555:9:serial-text=5555555G,"   // not hexadecimal
    "2181F0EE:4";

TEST(UsbDiscovery, ReportsEveryModuleWithItsSerialAndModelAndNothingElse) {
  std::vector<std::string> lines = Discover(kMixedBus, {"enumerate", "0"});
  ASSERT_EQ(lines.size(), 1u);
  // Serial, model (the product id's low byte) and whether usbId holds the serial.
  EXPECT_EQ(lines[0], "enumerate 40F5849A/19/1 2181F0EE/4/1 count 2");
}

TEST(UsbDiscovery, CallbackThatAsksToStopEndsTheSearch) {
  std::vector<std::string> lines =
      Discover("40F5849A:19,2181F0EE:4,12345678:6", {"enumerate", "1", "enumerate", "2"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "enumerate 40F5849A/19/1 count 1");
  EXPECT_EQ(lines[1], "enumerate 40F5849A/19/1 2181F0EE/4/1 count 2");
}

TEST(UsbDiscovery, EmptyOrUnpluggedBusFindsNothing) {
  EXPECT_EQ(Discover("", {"enumerate", "0"}), std::vector<std::string>{"enumerate count 0"});
  EXPECT_EQ(Discover("40F5849A:19:gone", {"enumerate", "0", "find-first"}),
            (std::vector<std::string>{"enumerate count 0", "find-first none"}));
}

TEST(UsbDiscovery, FindModuleBySerialNumber) {
  std::vector<std::string> lines = Discover(
      kMixedBus, {"find", "2181F0EE", "find", "40F5849A", "find", "12345678", "find", "22222222"});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "find 2181F0EE model 4 type 1");
  EXPECT_EQ(lines[1], "find 40F5849A model 19 type 1");
  EXPECT_EQ(lines[2], "find none");
  // Its serial string has 7 characters: not a module that can be found.
  EXPECT_EQ(lines[3], "find none");
}

TEST(UsbDiscovery, FindFirstSkipsAModuleReportingSerialZero) {
  std::vector<std::string> lines =
      Discover("55555555:9:serial-text=00000000,2181F0EE:4", {"find-first", "find", "00000000"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "find-first 2181F0EE model 4 type 1");
  EXPECT_EQ(lines[1], "find 00000000 model 9 type 1");
}

}  // namespace
