// SDPLoader against a scripted transport: the exact command and data packets,
// the status handshake's five attempts, the writeLoader results, the result
// word extraction of both transports and the log lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "HID_SDPLoader.h"
#include "Log.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Command(std::initializer_list<uint8_t> head) {
  Bytes b(head);
  b.resize(17, 0);
  return b;
}

// A serial-style reply: security status then a little-endian word.
Bytes Reply(uint32_t word) {
  return {0x56,
          0x78,
          0x78,
          0x56,
          uint8_t(word),
          uint8_t(word >> 8),
          uint8_t(word >> 16),
          uint8_t(word >> 24)};
}

// What the test sees of the transport after SDPLoader has taken it.
struct Script {
  bool initOk = true;
  std::vector<Bytes> written;
  std::deque<Bytes> replies;  // handed out by reads that wait
  int strayAtPoll = -1;       // the poll (wait 0) that finds a byte, counted from 0
  int polls = 0;
  int failWriteAt = -1;  // the write (counted from 0) that fails
};

class ScriptedTransport : public SDPLoader_Interface {
 public:
  explicit ScriptedTransport(std::shared_ptr<Script> s) : s_(std::move(s)) {}
  bool init() override { return s_->initOk; }
  ssize_t writeData(const Bytes& bytes) override {
    if (int(s_->written.size()) == s_->failWriteAt) {
      s_->written.push_back({});
      return -1;
    }
    s_->written.push_back(bytes);
    return ssize_t(bytes.size());
  }
  ssize_t readData(Bytes& bytes, int timeoutMs) override {
    if (timeoutMs == 0) {
      if (s_->polls++ != s_->strayAtPoll) return 0;
      bytes.push_back(0x42);
      return 1;
    }
    if (s_->replies.empty()) return 0;
    Bytes r = s_->replies.front();
    s_->replies.pop_front();
    bytes.insert(bytes.end(), r.begin(), r.end());
    return ssize_t(r.size());
  }
  bool getDataFromBuffer(const Bytes& bytes, size_t offset, uint32_t& value) override {
    return layout_.getDataFromBuffer(bytes, offset, value);
  }

 private:
  std::shared_ptr<Script> s_;
  Serial_SDPLoader layout_{""};  // never opened: used for its reply layout only
};

struct Rig {
  std::shared_ptr<Script> script = std::make_shared<Script>();
  SDPLoader loader;
  Rig() { EXPECT_TRUE(loader.setLoader(new ScriptedTransport(script))); }
};

Bytes Image(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + 7);
  return b;
}

const Bytes kStatusPacket = Command({0x01, 0x05, 0x05});
}  // namespace

TEST(SdpPackets, WriteFileOf1500BytesGoesOutAsCommandAndTwoDataPackets) {
  Rig rig;
  rig.script->replies = {Reply(0xF0F0F0F0), Reply(0x88888888)};
  Bytes image = Image(1500);
  EXPECT_EQ(rig.loader.writeLoader(image, 0x20000000), 0);
  const auto& w = rig.script->written;
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[0], kStatusPacket);
  EXPECT_EQ(w[1],
            Command({0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x05, 0xDC}));
  ASSERT_EQ(w[2].size(), 1025u);
  ASSERT_EQ(w[3].size(), 477u);
  EXPECT_EQ(w[2][0], 2);
  EXPECT_EQ(w[3][0], 2);
  Bytes sent(w[2].begin() + 1, w[2].end());
  sent.insert(sent.end(), w[3].begin() + 1, w[3].end());
  EXPECT_EQ(sent, image);
}

TEST(SdpPackets, FingerprintReadsLowThenHighFuseWord) {
  Rig rig;
  rig.script->replies = {Reply(0xF0F0F0F0), Reply(0x11223344), Reply(0xAABBCCDD)};
  uint64_t value = 0;
  EXPECT_EQ(rig.loader.getFingerprint(value), vErrNone);
  EXPECT_EQ(value, 0xAABBCCDD11223344ull);
  const auto& w = rig.script->written;
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[1],
            Command({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04}));
  EXPECT_EQ(w[2],
            Command({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0x00, 0x00, 0x00, 0x04}));

  // A fuse word without its result is an error, not a half fingerprint.
  Rig shortReply;
  shortReply.script->replies = {Reply(0xF0F0F0F0), Reply(0x11223344), Bytes{0x56, 0x78, 0x78}};
  value = 0;
  EXPECT_EQ(shortReply.loader.getFingerprint(value), vErrMode);
}

TEST(SdpPackets, JumpPacketAndNoReplyNeeded) {
  Rig rig;
  rig.loader.startLoader(0x20000400);
  ASSERT_EQ(rig.script->written.size(), 1u);
  EXPECT_EQ(rig.script->written[0], Command({0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}));
}

TEST(SdpPackets, TransportOwnershipAndInit) {
  SDPLoader none;
  EXPECT_EQ(none.init(), 1);
  EXPECT_FALSE(none.setLoader(nullptr));
  uint64_t value = 0;
  EXPECT_EQ(none.getFingerprint(value), vErrParam);
  EXPECT_EQ(none.writeLoader(Image(4), 0), 2);
  none.startLoader(0);  // nothing to send through; must not crash

  // The first transport stays; the second is refused and remains the caller's.
  auto good = std::make_shared<Script>();
  auto bad = std::make_shared<Script>();
  bad->initOk = false;
  SDPLoader loader;
  EXPECT_TRUE(loader.setLoader(new ScriptedTransport(good)));
  auto* second = new ScriptedTransport(bad);
  EXPECT_FALSE(loader.setLoader(second));
  delete second;
  EXPECT_EQ(loader.init(), vErrNone);

  SDPLoader failing;
  failing.setLoader(new ScriptedTransport(bad));
  EXPECT_EQ(failing.init(), vErrIO);
}

TEST(SdpPackets, SilentDeviceGetsFiveStatusRequestsAndNothingElse) {
  Rig rig;
  EXPECT_EQ(rig.loader.writeLoader(Image(100), 0x20000000), 2);
  EXPECT_EQ(rig.script->written, std::vector<Bytes>(5, kStatusPacket));

  Rig fingerprint;
  uint64_t value = 0;
  EXPECT_EQ(fingerprint.loader.getFingerprint(value), vErrParam);
  EXPECT_EQ(fingerprint.script->written, std::vector<Bytes>(5, kStatusPacket));

  // An answer to the fifth request is still in time; any readable word will do.
  Rig late;
  late.script->replies = {{}, {}, {}, {}, Reply(0x12345678), Reply(0x88888888)};
  EXPECT_EQ(late.loader.writeLoader(Image(10), 0x20000000), 0);
}

namespace {
// One writeLoader against a scripted transport: what the transport answers
// or fails, the result and how many packets went out before it ended.
struct TransferCase {
  const char* name;
  std::vector<Bytes> replies;
  int strayAtPoll;  // -1: no stray byte
  int failWriteAt;  // -1: every write goes out
  size_t imageSize;
  int result;
  size_t written = 0;  // 0: not checked
};

// The status handshake passes and the completion word comes.
const std::vector<Bytes> kCompletes = {Reply(0xF0F0F0F0), Reply(0x88888888)};

// Shown by name in test listings and failures.
void PrintTo(const TransferCase& c, std::ostream* out) { *out << c.name; }

class SdpTransfer : public ::testing::TestWithParam<TransferCase> {};

TEST_P(SdpTransfer, EndsWithItsResult) {
  const TransferCase& c = GetParam();
  Rig rig;
  rig.script->replies.assign(c.replies.begin(), c.replies.end());
  rig.script->strayAtPoll = c.strayAtPoll;
  rig.script->failWriteAt = c.failWriteAt;
  EXPECT_EQ(rig.loader.writeLoader(Image(c.imageSize), 0x20000000), c.result);
  if (c.written) {
    EXPECT_EQ(rig.script->written.size(), c.written);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SdpPackets, SdpTransfer,
    ::testing::Values(
        // A byte arriving before the second data packet stops the transfer
        // there: status, command, first data packet.
        TransferCase{"StrayByteStopsTheData", {Reply(0xF0F0F0F0)}, 1, -1, 3000, 3, 3},
        TransferCase{"WrongCompletionWord", {kCompletes[0], Reply(0x33CC33CC)}, -1, -1, 10, 4},
        TransferCase{"NoCompletionWord", {kCompletes[0], {0x56, 0x78, 0x78, 0x56}}, -1, -1, 10, 4},
        // The image must not follow a command that didn't go out: the ROM
        // would take image bytes for commands.
        TransferCase{"LostCommandSendsNoImage", kCompletes, -1, 1, 3000, 4, 2},
        // A lost data packet ends the transfer as failed, even if a
        // completion word came.
        TransferCase{"LostDataPacketFails", kCompletes, -1, 2, 3000, 4, 3},
        // An empty image is announced with a count of 0 and completes.
        TransferCase{"EmptyImageCompletes", kCompletes, -1, -1, 0, 0, 2}),
    [](const ::testing::TestParamInfo<TransferCase>& info) { return info.param.name; });
}  // namespace

TEST(SdpPackets, ResultWordOfHidAndSerialReplies) {
  HID_SDPLoader hid(0x1FC9, 0x0130);
  Bytes reply(70, 0);
  reply[0] = 3;
  reply[5] = 4;
  reply[6] = 0x88;
  reply[7] = 0x77;
  reply[8] = 0x66;
  reply[9] = 0x55;
  uint32_t value = 0x01;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, 0x55667789u);  // ORed into what the caller had
  value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 15, value));
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, value));
  Bytes shortReply(reply.begin(), reply.begin() + 69);
  EXPECT_FALSE(hid.getDataFromBuffer(shortReply, 0, value));
  reply.push_back(0);
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 0, value));

  Serial_SDPLoader serial("");
  value = 0;
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(7, 0), 0, value));
  EXPECT_TRUE(serial.getDataFromBuffer(Reply(0xCAFEF00D), 0, value));
  EXPECT_EQ(value, 0xCAFEF00Du);
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(11, 0), 1, value));
  EXPECT_TRUE(serial.getDataFromBuffer(Bytes(12, 0), 1, value));
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(200, 0), 16, value));

  // Unopened transports refuse to move bytes.
  Bytes got;
  EXPECT_EQ(hid.writeData(kStatusPacket), -1);
  EXPECT_EQ(hid.readData(got, 0), -1);
  EXPECT_EQ(serial.writeData(kStatusPacket), -1);
  EXPECT_EQ(serial.readData(got, 0), -1);
  EXPECT_FALSE(serial.init());
}

TEST(SdpPackets, LogLinesOfATransfer) {
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  Log::SetOutput(out);
  Log::ActivatePackage(DEBUG_iMXSerial);
  {
    Rig rig;
    rig.script->replies = {Reply(0xF0F0F0F0), Reply(0x88888888)};
    EXPECT_EQ(rig.loader.writeLoader(Image(1500), 0x20000000), 0);
    Rig silent;
    silent.loader.writeLoader(Image(1), 0);
  }
  Log::DeactivatePackage(DEBUG_iMXSerial);
  Log::SetOutput(nullptr);
  std::string text;
  rewind(out);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
  fclose(out);
  EXPECT_NE(text.find("bytesWritten: 17\n1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \nRead Data: 8\n"
                      "56 78 78 56 F0 F0 F0 F0 \n"),
            std::string::npos);
  EXPECT_NE(text.find("Write Res: 17\n1 4 4 20 0 0 0 20 0 0 5 DC 0 0 0 0 0 \n"), std::string::npos);
  EXPECT_NE(text.find("Write Res: 1025 , Total: 1025, Loop: 0, tell: 1024, size: 1025\n"
                      "Write Res: 477 , Total: 1502, Loop: 1, tell: 1500, size: 477\n"
                      "Written Bytes: 1502\nData Read: \n56 78 78 56 88 88 88 88 \n"
                      "Loader Transfer Successful\n"),
            std::string::npos);
  EXPECT_NE(text.find("Read Data: 0\n\nError: No ack from iMX device\n"), std::string::npos);
}
