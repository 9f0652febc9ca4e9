// USB links to simulated modules: the driver program runs the link library
// with the simulated bus preloaded, and these tests read its step lines and
// the bus's event log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;   // the driver's step lines
  std::vector<std::string> events;  // the bus's event log, when the steps asked for it
  std::string err;
};

using testsupport::Exists;

std::string Shim() { return testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"); }
std::string Driver() { return testsupport::ProgramPath("sim/usb", "velmarine-usb-check"); }

// Runs the steps with the bus configured as spec. A "log" step must come last:
// every line after it is an event of the bus.
Outcome Drive(const std::string& spec, const std::vector<std::string>& steps) {
  testsupport::RunOptions options;
  testsupport::Preload(options.env, Shim());
  options.env["VELMARINE_USB_SIM"] = spec;
  options.timeoutMs = 120000;
  testsupport::RunResult r = testsupport::Run(Driver(), steps, options);
  Outcome o;
  o.status = r.status;
  o.err = r.err;
  std::istringstream in(r.out);
  std::string line;
  size_t stepLines = 0;
  size_t expected = 0;
  for (size_t i = 0; i < steps.size(); i++) {
    const std::string& s = steps[i];
    if (s == "create" || s == "again" || s == "await-status" || s == "stream" || s == "write" ||
        s == "gets" || s == "control" || s == "interrupt-after")
      i++;
    if (s != "log") expected++;
  }
  while (std::getline(in, line)) {
    if (stepLines < expected) {
      o.lines.push_back(line);
      stepLines++;
    } else {
      o.events.push_back(line);
    }
  }
  return o;
}

size_t Count(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const auto& l : lines) n += l == text;
  return n;
}

class UsbLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(Shim()) || !Exists(Driver())) {
      GTEST_SKIP() << "the simulated USB bus is not built (targets velmarine_usb_sim and "
                      "velmarine-usb-check)";
    }
  }
};

using Lines = std::vector<std::string>;

TEST_F(UsbLink, LinkByPacketsSurvivesStallsAndIsTornDown) {
  Outcome o = Drive(
      "40F5849A:19:address=6,2181F0EE:4",
      {"create", "40F5849A", "status", "probe", "model",
       // A halted IN endpoint, then a halted OUT one: each is
       // cleared and the request still gets its reply.
       "control", "40F5849A stall-in", "model", "control", "40F5849A stall-out", "model", "destroy",
       // The interface was released: the module can be claimed again.
       "create", "40F5849A", "probe", "destroy", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"create ok", "status 2", "address 6", "model 19", "control ok",
                            "model 19", "control ok", "model 19", "destroy vErrNone", "create ok",
                            "address 6", "destroy vErrNone"}));
  EXPECT_EQ(Count(o.events, "40F5849A clear-halt 82"), 1u);
  EXPECT_EQ(Count(o.events, "40F5849A clear-halt 01"), 1u);
  EXPECT_EQ(Count(o.events, "40F5849A claim"), 2u);
  EXPECT_EQ(Count(o.events, "40F5849A release"), 2u);
  EXPECT_EQ(Count(o.events, "40F5849A close"), 2u);
  // The other module on the bus was looked at but never claimed.
  EXPECT_EQ(Count(o.events, "2181F0EE claim"), 0u);
}

TEST_F(UsbLink, SecondCreateSharesTheLinkWithoutClaimingAgain) {
  Outcome o = Drive("40F5849A:19", {"create", "40F5849A", "again", "40F5849A", "drop", "status",
                                    "probe", "destroy", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"create ok", "again same", "drop vErrNone", "status 2", "address 4",
                            "destroy vErrNone"}));
  EXPECT_EQ(Count(o.events, "list 1"), 1u);
  EXPECT_EQ(Count(o.events, "40F5849A claim"), 1u);
  EXPECT_EQ(Count(o.events, "40F5849A release"), 1u);
}

TEST_F(UsbLink, TransferThatMovesPartOfARequestIsFollowedByTheRest) {
  Outcome o = Drive("40F5849A:19", {"create", "40F5849A", "probe", "control", "clear-log",
                                    "control", "40F5849A short-out 2", "model", "destroy", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"create ok", "address 4", "control ok", "control ok", "model 19",
                            "destroy vErrNone"}));
  ASSERT_GE(o.events.size(), 3u);
  EXPECT_EQ(Lines(o.events.begin(), o.events.begin() + 3),
            (Lines{"40F5849A fault short-out", "40F5849A out 5 short 2", "40F5849A out 3"}));
}

TEST_F(UsbLink, IOErrorsAndUnplugGiveStatus6) {
  Outcome o =
      Drive("40F5849A:19,2181F0EE:4",
            {"create", "40F5849A", "probe", "control", "40F5849A io-error-in", "await-status", "6",
             // A device given up on stays given up, even once healthy again.
             "control", "40F5849A heal", "probe", "status", "destroy", "create", "2181F0EE",
             "probe", "control", "2181F0EE disconnect", "await-status", "6", "destroy", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"create ok", "address 4", "control ok", "status 6", "control ok",
                            "address none", "status 6", "destroy vErrNone", "create ok",
                            "address 4", "control ok", "status 6", "destroy vErrNone"}));
  // Four I/O errors in a row are hidden; the fifth gives the device up, and
  // no transfer is tried after it.
  EXPECT_EQ(Count(o.events, "40F5849A in 800 LIBUSB_ERROR_IO"), 5u);
  EXPECT_EQ(Count(o.events, "40F5849A release"), 1u);
}

TEST_F(UsbLink, MissingBusyAndMisdescribedDevicesGiveNoLink) {
  Outcome o = Drive(
      "2181F0EE:4:busy,11111111:5:access,22222222:5:subclass=0,33333333:5:no-in,"
      "44444444:5:pid=0x8000,55555555:5:serial-text=55555556,66666666:5:vid=0x1234,"
      "77777777:5:serial-text=7777777,AAAAAAAA:5:serial-text=aaaaaaaa",
      {"create", "12345678", "create", "2181F0EE", "stream", "2181F0EE", "stream", "11111111",
       "stream", "22222222", "stream", "33333333", "stream", "44444444", "stream", "55555555",
       "stream", "66666666",
       // The serial string must be the eight upper-case digits exactly.
       "stream", "77777777", "stream", "AAAAAAAA", "stream", "0", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines,
            (Lines{"create failed", "create failed", "stream vErrBusy", "stream vErrPermission",
                   "stream vErrConfiguration", "stream vErrConfiguration", "stream vErrNotFound",
                   "stream vErrNotFound", "stream vErrNotFound", "stream vErrNotFound",
                   "stream vErrNotFound", "stream vErrParam"}));
  // A product id with bit 15 set or another maker's vendor id is never
  // opened; a different serial string is opened, read and closed again.
  EXPECT_EQ(Count(o.events, "44444444 open"), 0u);
  EXPECT_EQ(Count(o.events, "66666666 open"), 0u);
  EXPECT_GE(Count(o.events, "55555555 open"), 1u);
  EXPECT_EQ(Count(o.events, "55555555 open"), Count(o.events, "55555555 close"));
  EXPECT_EQ(Count(o.events, "55555555 claim"), 0u);
  // Every device opened during the searches was closed again.
  for (const char* serial : {"2181F0EE", "11111111", "22222222", "33333333"}) {
    EXPECT_EQ(Count(o.events, std::string(serial) + " open"),
              Count(o.events, std::string(serial) + " close"))
        << serial;
  }

  // A device that may not be opened hides its serial: a module not found
  // among the others is then reported as a permission fault, while the
  // others are still reached.
  o = Drive("88888888:5:denied,2181F0EE:4", {"stream", "88888888", "stream", "2181F0EE", "close"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"stream vErrPermission", "stream vErrNone", "close vErrNone"}));
}

TEST_F(UsbLink, WritesGoOutInChunksAndToleranceEndsAtTheFifthError) {
  Outcome o = Drive(
      "40F5849A:19",
      {"stream", "40F5849A", "control", "clear-log", "write", "120",
       // Each write fails twice and then succeeds on its next attempt.
       "control", "40F5849A io-error-out 2", "write", "3", "control", "40F5849A io-error-out 2",
       "write", "3", "control", "40F5849A io-error-out 2", "write", "3", "control",
       "40F5849A io-error-out 2", "write", "3", "control", "40F5849A io-error-out 2", "write", "3",
       // The device is given up: healthy or not, nothing goes out.
       "write", "3", "get", "close", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"stream vErrNone", "control ok", "write vErrNone", "control ok",
                            "write vErrNone", "control ok", "write vErrNone", "control ok",
                            "write vErrNone", "control ok", "write vErrNone", "control ok",
                            "write vErrIO", "write vErrIO", "get vErrIO", "close vErrNone"}));
  ASSERT_GE(o.events.size(), 3u);
  EXPECT_EQ(Lines(o.events.begin(), o.events.begin() + 3),
            (Lines{"40F5849A out 50", "40F5849A out 50", "40F5849A out 20"}));
  EXPECT_EQ(Count(o.events, "40F5849A out 3"), 5u);
}

TEST_F(UsbLink, GivenUpDeviceFailsEveryTransferForEver) {
  // Far more reads than the 8-bit error count can hold: not one of them may
  // come back as a tolerated "not ready" once the device is given up.
  Outcome o = Drive("40F5849A:19",
                    {"stream", "40F5849A", "control", "40F5849A io-error-in", "gets", "5", "gets",
                     "600", "control", "40F5849A heal", "gets", "300", "write", "3", "close"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"stream vErrNone", "control ok", "gets vErrIO=1 vErrNotReady=4",
                            "gets vErrIO=600", "control ok", "gets vErrIO=300", "write vErrIO",
                            "close vErrNone"}));
}

TEST_F(UsbLink, StallAfterAShortTransferResendsOnlyWhatWasNotTaken) {
  // The first transfer moves 10 of 50 bytes and reports success; the next one
  // stalls. After the halt is cleared only the remaining 40 bytes go out.
  Outcome o = Drive("40F5849A:19", {"stream", "40F5849A", "control", "40F5849A short-out 10",
                                    "control", "40F5849A stall-out-after 1", "control", "clear-log",
                                    "write", "50", "close", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"stream vErrNone", "control ok", "control ok", "control ok",
                            "write vErrNone", "close vErrNone"}));
  ASSERT_GE(o.events.size(), 4u);
  EXPECT_EQ(Lines(o.events.begin(), o.events.begin() + 4),
            (Lines{"40F5849A out 50 short 10", "40F5849A out 40 LIBUSB_ERROR_PIPE",
                   "40F5849A clear-halt 01", "40F5849A out 40"}));
}

TEST_F(UsbLink, StallAfterMovingPartOfATransferResendsOnlyTheRest) {
  // The endpoint halts after 10 of the 50 bytes reached the module: those
  // count as sent, and only the other 40 go out once the halt is cleared.
  Outcome o = Drive("40F5849A:19", {"stream", "40F5849A", "control", "40F5849A stall-out-moved 10",
                                    "control", "clear-log", "write", "50", "close", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"stream vErrNone", "control ok", "control ok", "write vErrNone",
                            "close vErrNone"}));
  ASSERT_GE(o.events.size(), 3u);
  EXPECT_EQ(Lines(o.events.begin(), o.events.begin() + 3),
            (Lines{"40F5849A out 50 stall after 10", "40F5849A clear-halt 01", "40F5849A out 40"}));
}

TEST_F(UsbLink, CancelledReadKeepsTheBytesThatArrived) {
  // The read's transfer takes the first byte of the answer [06 00] and then
  // waits; interrupting it from another thread ends it at once, and neither
  // byte is lost. A read interrupted twice with nothing pending ends at once,
  // empty, and only the first time.
  Outcome o = Drive("40F5849A:19:address=6", {"stream",
                                              "40F5849A",
                                              "control",
                                              "40F5849A in-partial 1",
                                              "probe-raw",
                                              "interrupt-after",
                                              "50",
                                              "read",
                                              "read",
                                              "interrupt-after",
                                              "0",
                                              "interrupt-after",
                                              "0",
                                              "get",
                                              "control",
                                              "40F5849A disconnect",
                                              "interrupt-after",
                                              "50",
                                              "read",
                                              "close",
                                              "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  // Gone while a read is cancelled: an error the tolerance hides, no hang.
  EXPECT_EQ(o.lines, (Lines{"stream vErrNone", "control ok", "probe-raw vErrNone",
                            "interrupt-after 50", "read 06", "read 00", "interrupt-after 0",
                            "interrupt-after 0", "get vErrNotReady", "control ok",
                            "interrupt-after 50", "read vErrNotReady", "close vErrNone"}));
  EXPECT_GE(Count(o.events, "40F5849A cancel in"), 1u);
}

TEST_F(UsbLink, ReadTimeOutIsNoIOErrorAndResetsTheCount) {
  Outcome o = Drive(
      "40F5849A:19",
      {"stream", "40F5849A", "control", "40F5849A io-error-in 4", "get", "get", "get", "get",
       // Silence: no byte and no error, so the count starts again.
       "get", "control", "40F5849A io-error-in 4", "get", "get", "get", "get", "get", "close"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines,
            (Lines{"stream vErrNone", "control ok", "get vErrNotReady", "get vErrNotReady",
                   "get vErrNotReady", "get vErrNotReady", "get vErrNotReady", "control ok",
                   "get vErrNotReady", "get vErrNotReady", "get vErrNotReady", "get vErrNotReady",
                   "get vErrNotReady", "close vErrNone"}));
}

TEST_F(UsbLink, DriverNodeIsUsedWithoutTouchingLibusb) {
  // Unplugged, the node fails at once: no errors are hidden on this path.
  Outcome o = Drive("22222222:6:node:address=8",
                    {"create", "22222222", "probe", "model", "control", "22222222 disconnect",
                     "await-status", "6", "destroy", "log"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.lines, (Lines{"create ok", "address 8", "model 6", "control ok", "status 6",
                            "destroy vErrNone"}));
  EXPECT_EQ(Count(o.events, "init"), 0u);
  EXPECT_GE(Count(o.events, "22222222 node"), 2u);  // tested, then opened
}

TEST_F(UsbLink, BadBusConfigurationIsRefusedClearly) {
  Outcome o = Drive("40F5849A:19:frobnicate", {"stream", "40F5849A"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.lines, (Lines{"stream vErrResource"}));
  EXPECT_NE(o.err.find("unknown option 'frobnicate'"), std::string::npos) << o.err;
}

}  // namespace
