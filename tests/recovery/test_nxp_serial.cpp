// LPC ISP client against the simulated boot ROM over a pseudo-terminal:
// handshake, identity, the flash programming sequence, checksum retries and
// the faults a chip can show, plus the client's static codecs and tables.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Log.h"
#include "LogCapture.h"
#include "LpcIspSim.h"
#include "NXPSerialClass.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    out[i] = uint8_t(seed >> 16);
  }
  return out;
}

int Count(const std::vector<std::string>& events, const std::string& prefix) {
  int n = 0;
  for (const auto& e : events) n += e.rfind(prefix, 0) == 0;
  return n;
}

// A simulated chip and a client connected to it.
class Chip {
 public:
  explicit Chip(const lpcsim::Options& options = {}) : sim(options) {
    std::string error;
    started = sim.Start(error);
    EXPECT_TRUE(started) << error;
  }
  vErr Connect() { return isp.Connect(sim.PtyPath().c_str(), 115200); }
  // Connect, synchronise and unlock.
  void Ready() {
    ASSERT_EQ(Connect(), vErrNone);
    ASSERT_EQ(isp.Sync(), vErrNone);
    ASSERT_EQ(isp.Unlock(), vErrNone);
  }
  // Stages data at the RAM buffer and copies it to flash, as a recovery does.
  vErr Program(uint32_t flash, const std::vector<uint8_t>& data) {
    for (size_t offset = 0; offset < data.size(); offset += 4096) {
      uint32_t chunk = uint32_t(std::min<size_t>(4096, data.size() - offset));
      vErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, chunk, data.data() + offset);
      if (err != vErrNone) return err;
      uint32_t at = flash + uint32_t(offset);
      err = isp.Prepare(NXPSerialClass::SectorFromAddress(at),
                        NXPSerialClass::SectorFromAddress(at + chunk - 1));
      if (err != vErrNone) return err;
      err = isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(chunk));
      if (err != vErrNone) return err;
    }
    return vErrNone;
  }

  lpcsim::Simulator sim;
  NXPSerialClass isp;
  bool started = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Tables and codecs

TEST(NXPSerialStatic, SectorMapEdges) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0000), 0u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0FFF), 0u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x1000), 1u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x17FFF), 16u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x18000), 17u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFFFFFF), 30u);
}

TEST(NXPSerialStatic, CopyLengthRoundsUpAndRefusesOversize) {
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(256), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(300), 512u);
  EXPECT_EQ(NXPSerialClass::CopyLength(808), 1024u);
  EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);
  EXPECT_EQ(log.Text(), "Copy length is too large. 5000 > 4096.\n");
  // The unrounded length is then refused before anything is sent.
  NXPSerialClass isp;
  EXPECT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 5000), vErrParam);
}

TEST(NXPSerialStatic, ErrorTexts) {
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0\r\n"), "CMD_SUCCESS");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("19"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0x0A"), "COMPARE_ERROR");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("20"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("25"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText(nullptr), "Unknown error");
  // The return code is the number that ends a reply line.
  EXPECT_EQ(NXPSerialClass::GetErrorIndex("0\r\n", 3), 0);
  EXPECT_EQ(NXPSerialClass::GetErrorIndex("C 0 1 256\r10\r\n", 14), 10);
  EXPECT_EQ(NXPSerialClass::GetErrorIndex("OK\r\n", 4), -1);
  EXPECT_EQ(NXPSerialClass::GetErrorIndex("", 0), -1);
  EXPECT_EQ(NXPSerialClass::GetErrorIndex("99999999999\r\n", 13), -1);
}

TEST(NXPSerialStatic, UuencodeLines) {
  char line[NXPSerialClass::UU_LINE_SIZE];
  EXPECT_EQ(NXPSerialClass::uuencode(line, reinterpret_cast<const uint8_t*>("Cat"), 3), 3u);
  EXPECT_STREQ(line, "#0V%T");
  // Zero fields are written as the back quote, never as a space.
  const uint8_t zeros[4] = {0, 0, 0, 0};
  NXPSerialClass::uuencode(line, zeros, 4);
  EXPECT_STREQ(line, "$````````");
  // At most one line's worth is consumed.
  std::vector<uint8_t> data = Pattern(100, 7);
  EXPECT_EQ(NXPSerialClass::uuencode(line, data.data(), 100), 45u);
  EXPECT_EQ(strlen(line), 61u);
  EXPECT_EQ(line[0], 'M');

  std::vector<uint8_t> back(45, 0xEE);
  EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 45, line), 45u);
  EXPECT_EQ(back, std::vector<uint8_t>(data.begin(), data.begin() + 45));
  EXPECT_EQ(NXPSerialClass::sum(data.data(), 3), uint32_t(data[0]) + data[1] + data[2]);
}

TEST(NXPSerialStatic, UudecodeNeverWritesPastItsRoom) {
  char line[NXPSerialClass::UU_LINE_SIZE];
  std::vector<uint8_t> data = Pattern(10, 3);
  NXPSerialClass::uuencode(line, data.data(), 10);
  uint8_t out[16];
  memset(out, 0xAA, sizeof out);
  EXPECT_EQ(NXPSerialClass::uudecode(out, 9, line), 0u);
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(NXPSerialClass::uudecode(out, 10, line), 10u);
  EXPECT_EQ(out[10], 0xAA);
  EXPECT_EQ(memcmp(out, data.data(), 10), 0);

  // A line cut short stops at its end and says so.
  LogCapture log(DEBUG_NXPSerial);
  memset(out, 0xAA, sizeof out);
  EXPECT_EQ(NXPSerialClass::uudecode(out, 16, "-ABCD\r\n"), 13u);
  EXPECT_EQ(log.Text(), "Error buffer overrun\n");
  EXPECT_EQ(out[13], 0xAA);
}

// ---------------------------------------------------------------------------
// Connection and arguments

TEST(NXPSerialConnect, PicksTheFirstListedRateAtOrAboveTheRequest) {
  Chip chip;
  LogCapture log(DEBUG_NXPSerial);
  ASSERT_EQ(chip.isp.Connect(chip.sim.PtyPath().c_str(), 100000), vErrNone);
  EXPECT_EQ(chip.isp.baudRate, 115200u);
  ASSERT_EQ(chip.isp.Connect(chip.sim.PtyPath().c_str(), 1000000), vErrNone);
  EXPECT_EQ(chip.isp.baudRate, 9600u);
  ASSERT_EQ(chip.isp.Connect(chip.sim.PtyPath().c_str(), 2400), vErrNone);
  EXPECT_EQ(chip.isp.baudRate, 2400u);
  EXPECT_STREQ(chip.isp.portName, chip.sim.PtyPath().c_str());
  std::string p = chip.sim.PtyPath();
  EXPECT_EQ(log.Text(), "Creating serial connection: [" + p + "] stream baud:6(115200)\n" +
                            "Creating serial connection: [" + p + "] stream baud:2(9600)\n" +
                            "Creating serial connection: [" + p + "] stream baud:0(2400)\n");
}

TEST(NXPSerialConnect, MissingPortAndNoConnection) {
  NXPSerialClass isp;
  {
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(isp.Connect("/nonexistent/ttyLPC", 115200), vErrNotFound);
    EXPECT_NE(log.Text().find("Error Creating Serial [/nonexistent/ttyLPC] ==> vErrNotFound"),
              std::string::npos);
  }
  EXPECT_EQ(isp.stream, nullptr);
  EXPECT_EQ(isp.Connect(nullptr, 115200), vErrParam);
  // Without a port every exchange fails at once instead of waiting for bytes.
  EXPECT_NE(isp.Sync(), vErrNone);
  EXPECT_NE(isp.Unlock(), vErrNone);
  EXPECT_NE(isp.GetDeviceID(), vErrNone);
  EXPECT_EQ(isp.Disconnect(), vErrNone);
}

TEST(NXPSerialConnect, ArgumentsRefusedBeforeAnythingIsSent) {
  Chip chip;
  ASSERT_EQ(chip.Connect(), vErrNone);
  ASSERT_EQ(chip.isp.Sync(), vErrNone);
  uint8_t buffer[16] = {};
  EXPECT_EQ(chip.isp.Prepare(5, 4), vErrParam);
  EXPECT_EQ(chip.isp.Erase(5, 4), vErrParam);
  EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, buffer), vErrParam);
  EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, buffer), vErrParam);
  EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 8, nullptr), vErrParam);
  EXPECT_EQ(chip.isp.Read(0, 0, buffer), vErrParam);
  EXPECT_EQ(chip.isp.Read(0, 10, buffer), vErrParam);
  EXPECT_EQ(chip.isp.CopyToFlash(0x100 + 4, NXPSerialClass::WRITE_ADDRESS, 256), vErrParam);
  EXPECT_EQ(chip.isp.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 300), vErrParam);
  uint8_t major, minor;
  EXPECT_EQ(chip.isp.GetBootLoaderVersion(nullptr, &minor), vErrParam);
  EXPECT_EQ(chip.isp.GetBootLoaderVersion(&major, nullptr), vErrParam);
  EXPECT_EQ(chip.isp.GetPartNumber(nullptr), vErrParam);
  EXPECT_EQ(chip.sim.Events(), std::vector<std::string>{"synchronized 14746"});
}

// ---------------------------------------------------------------------------
// Handshake and identity

TEST(NXPSerialChip, SyncAndIdentity) {
  lpcsim::Options options;
  options.serial[0] = 0xDEADBEEF;
  options.serial[1] = 1;
  options.serial[2] = 0;
  options.serial[3] = 0xFFFFFFFF;
  options.bootMajor = 8;
  options.bootMinor = 3;
  Chip chip(options);
  ASSERT_EQ(chip.Connect(), vErrNone);
  ASSERT_EQ(chip.isp.Sync(), vErrNone);
  EXPECT_EQ(chip.sim.Events().front(), "synchronized 14746");

  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    ASSERT_EQ(chip.isp.SetEcho(echo), vErrNone);
    EXPECT_EQ(chip.isp.echo, echo);
    EXPECT_EQ(chip.sim.Echo(), echo);
    memset(chip.isp.deviceId, 0, sizeof chip.isp.deviceId);
    ASSERT_EQ(chip.isp.GetDeviceID(), vErrNone);
    EXPECT_EQ(chip.isp.deviceId[0], 0xDEADBEEFu);
    EXPECT_EQ(chip.isp.deviceId[1], 1u);
    EXPECT_EQ(chip.isp.deviceId[2], 0u);
    EXPECT_EQ(chip.isp.deviceId[3], 0xFFFFFFFFu);
    int64_t part = 0;
    ASSERT_EQ(chip.isp.GetPartNumber(&part), vErrNone);
    EXPECT_EQ(part, 0x26013F37);
    uint8_t major = 0, minor = 0;
    ASSERT_EQ(chip.isp.GetBootLoaderVersion(&major, &minor), vErrNone);
    EXPECT_EQ(major, 8);
    EXPECT_EQ(minor, 3);
    EXPECT_EQ(chip.isp.SetBaudRate(115200), vErrNone);
    EXPECT_EQ(chip.isp.SetBaudRate(1234), vErrParam);
  }
}

TEST(NXPSerialChip, SilentChipFailsTheSync) {
  lpcsim::Options options;
  options.silent = true;
  Chip chip(options);
  ASSERT_EQ(chip.Connect(), vErrNone);
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(chip.isp.Sync(), vErrNotReady);
  EXPECT_EQ(log.Text(),
            "Did not receive correct response to opening sync command: [Synchronized\r\n]. "
            "Response: []\n");
}

TEST(NXPSerialChip, UnansweredCommandLeavesTheIdentifierAlone) {
  lpcsim::Options options;
  options.muteCommands = "N";
  Chip chip(options);
  ASSERT_EQ(chip.Connect(), vErrNone);
  ASSERT_EQ(chip.isp.Sync(), vErrNone);
  chip.isp.deviceId[0] = 77;
  EXPECT_EQ(chip.isp.GetDeviceID(), vErrNotReady);
  EXPECT_EQ(chip.isp.deviceId[0], 77u);
}

TEST(NXPSerialChip, WrongEchoIsAFailure) {
  lpcsim::Options options;
  options.wrongEcho = true;
  Chip chip(options);
  ASSERT_EQ(chip.Connect(), vErrNone);
  ASSERT_EQ(chip.isp.Sync(), vErrNone);
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_NE(chip.isp.Unlock(), vErrNone);
  EXPECT_NE(log.Text().find("Error SendCommand() bad echo [0!=9]\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Flash programming

TEST(NXPSerialChip, ProgramsFlashThroughRamAndStartsTheChip) {
  for (bool echo : {false, true}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    Chip chip;
    chip.Ready();
    ASSERT_EQ(chip.isp.Prepare(0, 29), vErrNone);
    ASSERT_EQ(chip.isp.Erase(0, 29), vErrNone);
    ASSERT_EQ(chip.isp.SetEcho(echo), vErrNone);
    // 9000 bytes go as 4096 + 4096 + 808, the last copied as 1024; the part
    // past 0x10000 lands in the first 32 KB sector.
    std::vector<uint8_t> image = Pattern(9000, 11);
    ASSERT_EQ(chip.Program(0xE000, image), vErrNone);
    std::vector<uint8_t> flash = chip.sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0xE000));
    EXPECT_EQ(flash[0xDFFF], 0xFF);

    // What landed reads back, in several checksum blocks.
    std::vector<uint8_t> back(9000);
    ASSERT_EQ(chip.isp.Read(0xE000, 9000, back.data()), vErrNone);
    EXPECT_EQ(back, image);

    ASSERT_EQ(chip.isp.SetEcho(true), vErrNone);
    EXPECT_EQ(chip.isp.ExecuteFrom(0), vErrNone);
    uint32_t address = 1;
    for (int i = 0; i < 1000 && !chip.sim.Started(&address); i++) usleep(10000);
    EXPECT_TRUE(chip.sim.Started(&address));
    EXPECT_EQ(address, 0u);
  }
}

TEST(NXPSerialChip, SectorRulesOfTheChipAreReported) {
  Chip chip;
  ASSERT_EQ(chip.Connect(), vErrNone);
  ASSERT_EQ(chip.isp.Sync(), vErrNone);
  LogCapture log(DEBUG_NXPSerial);
  ASSERT_EQ(chip.isp.Prepare(0, 0), vErrNone);
  EXPECT_EQ(chip.isp.Erase(0, 0), vErrParam);  // still locked
  ASSERT_EQ(chip.isp.Unlock(), vErrNone);
  EXPECT_EQ(chip.isp.Erase(1, 1), vErrParam);  // not prepared
  EXPECT_EQ(chip.isp.Prepare(0, 30), vErrParam);
  EXPECT_EQ(log.Text(),
            "Error response ==>[CMD_LOCKED]\n"
            "Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"
            "Error response ==>[INVALID_SECTOR]\n");
}

TEST(NXPSerialChip, CompareErrorFailsWithAndWithoutEcho) {
  lpcsim::Options options;
  options.forcedCodes['C'] = 10;
  Chip chip(options);
  chip.Ready();
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    ASSERT_EQ(chip.isp.SetEcho(echo), vErrNone);
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(chip.isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), vErrParam);
    EXPECT_EQ(log.Text(), "Error response ==>[COMPARE_ERROR]\n");
  }
}

TEST(NXPSerialChip, WriteSendsChecksumsAfterEveryTwentyLinesAndAtTheEnd) {
  Chip chip;
  chip.Ready();
  ASSERT_EQ(chip.isp.SetEcho(false), vErrNone);
  std::vector<uint8_t> data = Pattern(1000, 5);
  ASSERT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data()), vErrNone);

  std::vector<std::string> events = chip.sim.Events();
  std::vector<std::string> transfer;
  for (const auto& e : events)
    if (e.rfind("data ", 0) == 0 || e.rfind("checksum ", 0) == 0) transfer.push_back(e);
  ASSERT_EQ(transfer.size(), 25u);
  for (int i = 0; i < 20; i++) EXPECT_EQ(transfer[i], "data 45") << i;
  uint32_t first = NXPSerialClass::sum(data.data(), 900);
  uint32_t second = NXPSerialClass::sum(data.data() + 900, 100);
  EXPECT_EQ(transfer[20], "checksum " + std::to_string(first) + " OK");
  EXPECT_EQ(transfer[21], "data 45");
  EXPECT_EQ(transfer[22], "data 45");
  EXPECT_EQ(transfer[23], "data 10");
  EXPECT_EQ(transfer[24], "checksum " + std::to_string(second) + " OK");
}

TEST(NXPSerialChip, TwoResendsAreAnsweredTheThirdEndsTheWrite) {
  std::vector<uint8_t> data = Pattern(2000, 9);
  for (bool echo : {false, true}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    {
      lpcsim::Options options;
      options.resendCount = 2;
      Chip chip(options);
      chip.Ready();
      ASSERT_EQ(chip.isp.SetEcho(echo), vErrNone);
      ASSERT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()), vErrNone);
      EXPECT_EQ(Count(chip.sim.Events(), "data "), 20 * 3 + 20 + 5);
      std::vector<uint8_t> back(2000);
      ASSERT_EQ(chip.isp.Read(NXPSerialClass::WRITE_ADDRESS, 2000, back.data()), vErrNone);
      EXPECT_EQ(back, data);
    }
    {
      lpcsim::Options options;
      options.resendCount = 3;
      Chip chip(options);
      chip.Ready();
      ASSERT_EQ(chip.isp.SetEcho(echo), vErrNone);
      LogCapture log(DEBUG_NXPSerial);
      EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()), vErrTimeout);
      EXPECT_NE(log.Text().find("Write() exceeded retries\n"), std::string::npos);
      EXPECT_EQ(Count(chip.sim.Events(), "checksum "), 3);
    }
  }
}

TEST(NXPSerialChip, UnexpectedChecksumReplyIsAnIOError) {
  lpcsim::Options options;
  options.checksumReply = "HUH";
  Chip chip(options);
  chip.Ready();
  ASSERT_EQ(chip.isp.SetEcho(false), vErrNone);
  std::vector<uint8_t> data = Pattern(64, 1);
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 64, data.data()), vErrIO);
  EXPECT_NE(log.Text().find("Write() unexpected response [HUH\r\n]\n"), std::string::npos);
}

TEST(NXPSerialChip, ReadRetriesABadChecksumTwice) {
  std::vector<uint8_t> image = Pattern(4000, 21);
  for (uint32_t bad : {2u, 3u}) {
    lpcsim::Options options;
    options.badReadChecksums = bad;
    Chip chip(options);
    chip.sim.LoadFlash(image);
    ASSERT_EQ(chip.Connect(), vErrNone);
    ASSERT_EQ(chip.isp.Sync(), vErrNone);
    std::vector<uint8_t> back(4000);
    vErr err = chip.isp.Read(0, 4000, back.data());
    if (bad == 2) {
      EXPECT_EQ(err, vErrNone);
      EXPECT_EQ(back, image);
    } else {
      EXPECT_EQ(err, vErrTimeout);
    }
  }
}

// A peer that answers a read with lines carrying no data must not keep the
// reader acknowledging empty blocks for ever.
TEST(NXPSerialPeer, EmptyReadBlocksEndTheRead) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(name, 115200), vErrNone);
  isp.echo = false;
  std::string script = "0\r\n";
  for (int i = 0; i < 20; i++) script += "`\r\n";
  script += "0\r\n";
  ASSERT_EQ(write(master, script.data(), script.size()), ssize_t(script.size()));
  uint8_t buffer[8];
  EXPECT_EQ(isp.Read(0, 8, buffer), vErrIO);
  isp.Disconnect();
  close(slave);
  close(master);
}

namespace {
// A client on one side of a pseudo-terminal whose other side the test writes
// the chip's replies into, ahead of the exchange.
class ScriptedPeer {
 public:
  ScriptedPeer() {
    char name[256];
    EXPECT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    EXPECT_EQ(isp.Connect(name, 115200), vErrNone);
  }
  ~ScriptedPeer() {
    isp.Disconnect();
    close(slave_);
    close(master_);
  }
  void Script(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  NXPSerialClass isp;

 private:
  int master_ = -1, slave_ = -1;
};
}  // namespace

TEST(NXPSerialPeer, CommandTraceTexts) {
  ScriptedPeer peer;
  peer.isp.echo = false;
  peer.Script("0\r\n");
  LogCapture log(DEBUG_NXPSerial_SR);
  EXPECT_EQ(peer.isp.Unlock(), vErrNone);
  EXPECT_EQ(log.Text(),
            "Sending:[55 20 32 33 31 33 30 0D 0A] [U 23130  ]\n"
            "GetLine() Received: [30 0D 0A] [0  ] 3 term [vErrNone]\n");
}

TEST(NXPSerialPeer, SyncGoesOnAfterAnOddGreetingButNotAfterARefusal) {
  {
    ScriptedPeer peer;
    peer.Script("Hello\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n");
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(peer.isp.Sync(), vErrNone);
    EXPECT_NE(log.Text().find("Did not receive correct response [Synchronized\r\n]\n"),
              std::string::npos);
  }
  {
    ScriptedPeer peer;
    peer.Script("Synchronized\r\nSynchronized\r\nFAIL\r\n14746\r\nOK\r\n");
    LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(peer.isp.Sync(), vErrIO);
    EXPECT_NE(log.Text().find("Did not receive correct response [FAIL] != [OK\r\n]\n"),
              std::string::npos)
        << log.Text();
  }
}

// Addresses at and above 2^31 are sent as unsigned numbers, so the chip sees
// the address asked for instead of a negative one.
TEST(NXPSerialPeer, HighAddressesAreSentUnsigned) {
  ScriptedPeer peer;
  peer.isp.echo = false;
  peer.Script("14\r\n");
  LogCapture log(DEBUG_NXPSerial | DEBUG_NXPSerial_SR);
  uint8_t buffer[4];
  EXPECT_EQ(peer.isp.Read(0x80000000u, 4, buffer), vErrParam);
  EXPECT_NE(log.Text().find("[R 2147483648 4  ]"), std::string::npos) << log.Text();
  EXPECT_NE(log.Text().find("Error response ==>[ADDR_NOT_MAPPED]\n"), std::string::npos);
}
