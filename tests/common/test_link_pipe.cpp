// The reader's handling of bytes, driven step by step on a record outside
// the registry: framing, the probe handshake, heartbeats, the user filter
// and read errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "vLinkPipe.h"

namespace {

class ReaderSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    record_ = vLink_CreateDetachedRecord(source_.Make());
    ASSERT_NE(record_, nullptr);
    record_->status = kLinkRunning;
  }
  void TearDown() override { vLink_DestroyDetachedRecord(&record_); }

  void Bytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) vLinkPipe_HandleRead(record_, vErrNone, b);
  }
  // Wire bytes of every packet queued on a queue, emptying it.
  static std::vector<std::vector<uint8_t>> Take(uint64_t queue) {
    std::vector<std::vector<uint8_t>> all;
    while (vPacket* p = vPacketFifo_Get(queue)) {
      std::vector<uint8_t> wire = {p->address, p->length};
      wire.insert(wire.end(), p->data, p->data + p->length);
      all.push_back(wire);
      vPacket_Destroy(&p);
    }
    return all;
  }
  static std::vector<std::vector<uint8_t>> Probes(int n) {
    return std::vector<std::vector<uint8_t>>(size_t(n), std::vector<uint8_t>{0xAD, 0x00});
  }

  linktest::ScriptedStream source_;
  linkRecord* record_ = nullptr;
};

TEST_F(ReaderSteps, QueuesPacketsAndAnswersHeartbeats) {
  Bytes({0x04, 0x00});
  EXPECT_EQ(Take(record_->inQueue), (std::vector<std::vector<uint8_t>>{{0x04, 0x00}}));

  Bytes({0x04, 0x02, 0x00, 0x01});  // heartbeat down
  EXPECT_TRUE(Take(record_->inQueue).empty());
  EXPECT_EQ(Take(record_->outQueue), (std::vector<std::vector<uint8_t>>{{0x04, 0x02, 0x00, 0x03}}));
  Bytes({0x06, 0x02, 0x00, 0x00});  // heartbeat up
  EXPECT_EQ(Take(record_->outQueue), (std::vector<std::vector<uint8_t>>{{0x06, 0x02, 0x00, 0x02}}));

  Bytes({0x04, 0x02, 0x01, 0x00});  // not a heartbeat
  EXPECT_EQ(Take(record_->inQueue), (std::vector<std::vector<uint8_t>>{{0x04, 0x02, 0x01, 0x00}}));
  EXPECT_EQ(record_->status, uint32_t(kLinkRunning));
}

TEST_F(ReaderSteps, BrokenFramingStartsTheHandshakeUntilTwoProbeAnswers) {
  Bytes({0x05});  // odd address
  EXPECT_EQ(record_->status, uint32_t(kLinkSyncing));
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateByte1));
  EXPECT_EQ(Take(record_->outQueue), Probes(6));
  Bytes({0x04, 0x00, 0x04});
  EXPECT_EQ(record_->status, uint32_t(kLinkSyncing));
  Bytes({0x00});
  EXPECT_EQ(record_->status, uint32_t(kLinkRunning));
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateIdle));
  EXPECT_EQ(record_->syncAddress, 0x04);
  // The surplus answers then arrive as ordinary packets.
  Bytes({0x04, 0x00});
  EXPECT_EQ(Take(record_->inQueue), (std::vector<std::vector<uint8_t>>{{0x04, 0x00}}));
  EXPECT_TRUE(Take(record_->outQueue).empty());

  // Length over 28 and a packet past 30 bytes break framing too.
  Bytes({0x02, 29});
  EXPECT_EQ(record_->status, uint32_t(kLinkSyncing));
}

TEST_F(ReaderSteps, MismatchedAnswersRestartTheHandshake) {
  ASSERT_EQ(vLinkPipe_StartSync(record_), vErrNone);
  Take(record_->outQueue);
  Bytes({0x04, 0x00, 0x06});  // a different address in state 4
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateStart));
  EXPECT_TRUE(Take(record_->outQueue).empty());
  Bytes({0x00});  // any byte in state 1 sends six new probes
  EXPECT_EQ(Take(record_->outQueue), Probes(6));
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateByte1));

  Bytes({0x04, 0x03});  // non-zero length in state 3
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateStart));
  Bytes({0x04});
  Take(record_->outQueue);
  Bytes({0x04, 0x00, 0x04, 0x07});  // non-zero in state 5
  EXPECT_EQ(record_->syncState, uint32_t(kSyncStateStart));
  EXPECT_EQ(record_->status, uint32_t(kLinkSyncing));
}

TEST_F(ReaderSteps, EmptyReadsResendProbesOnlyWhileSyncing) {
  EXPECT_EQ(vLinkPipe_HandleRead(record_, vErrNotReady, 0), vLinkPipeEmpty);
  EXPECT_TRUE(Take(record_->outQueue).empty());
  record_->status = kLinkSyncing;
  vLinkPipe_HandleRead(record_, vErrNotReady, 0);
  vLinkPipe_HandleRead(record_, vErrNotReady, 0);
  EXPECT_EQ(Take(record_->outQueue), Probes(12));
}

TEST_F(ReaderSteps, ReadErrorsMarkTheLinkUntilTheNextHandshake) {
  EXPECT_EQ(vLinkPipe_HandleRead(record_, vErrIO, 0), vLinkPipeError);
  EXPECT_EQ(record_->status, uint32_t(kLinkIOError));
  Bytes({0x04, 0x00});  // bytes after a recovered stream are still packets
  EXPECT_EQ(Take(record_->inQueue).size(), 1u);
  EXPECT_EQ(record_->status, uint32_t(kLinkIOError));
  vLinkPipe_StartSync(record_);
  Bytes({0x04, 0x00, 0x04, 0x00});
  EXPECT_EQ(record_->status, uint32_t(kLinkRunning));
}

TEST_F(ReaderSteps, QueueingFailureMarksAFault) {
  vPacketFifo_Destroy(&record_->inQueue);
  Bytes({0x04, 0x00});
  EXPECT_EQ(record_->status, uint32_t(kLinkFault));
}

uint8_t TakeAll(const vPacket*, const void* ref) {
  ++*static_cast<int*>(const_cast<void*>(ref));
  return 1;
}
uint8_t ReturnsTwo(const vPacket*, const void*) { return 2; }

TEST_F(ReaderSteps, UserFilterConsumesOnlyOnExactlyOne) {
  int seen = 0;
  record_->userFilter = TakeAll;
  record_->userFilterRef = &seen;
  Bytes({0x04, 0x01, 0x09, 0x04, 0x02, 0x00, 0x00});
  EXPECT_EQ(seen, 2);
  EXPECT_TRUE(Take(record_->inQueue).empty());
  EXPECT_TRUE(Take(record_->outQueue).empty());  // the heartbeat was swallowed too

  record_->userFilter = ReturnsTwo;
  Bytes({0x04, 0x01, 0x09});
  EXPECT_EQ(Take(record_->inQueue).size(), 1u);
}

TEST_F(ReaderSteps, TrafficIsRecordedInThePacketLog) {
  record_->logMutex = vMutex_Create("test log");
  record_->log = vPacketLog_Create(256);
  record_->log.load()->logMark = 1;
  Bytes({0x04, 0x01, 0x09});
  vPacket* out = vPacket_CreateWithData(0x04, 0, reinterpret_cast<const uint8_t*>(""));
  EXPECT_EQ(vLinkPipe_WritePacket(record_, out, true), vErrNone);
  vPacket_Destroy(&out);
  EXPECT_EQ(source_.written, (std::vector<uint8_t>{0x04, 0x00}));
  uint8_t type, length = 30, bytes[30];
  ASSERT_EQ(vPacketLog_Get(record_->log, &type, &length, bytes), vErrNone);
  EXPECT_EQ(type, vPacketLogReceived);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + length), (std::vector<uint8_t>{0x04, 0x01, 0x09}));
  length = 30;
  ASSERT_EQ(vPacketLog_Get(record_->log, &type, &length, bytes), vErrNone);
  EXPECT_EQ(type, vPacketLogSent);
  EXPECT_EQ(length, 2);
}

vErr FailingWrite(const uint8_t*, size_t, void*) { return vErrIO; }

// The trace lines are the exact texts, one per line, when tracing is on.
TEST_F(ReaderSteps, TracesHeartbeatsLostFramingAndWriteErrors) {
  vVelmarineDebuggingEnable = 1;
  vVelmarineDebuggingLevel = vLINK_TRACE_LIFECYCLE | vLINK_TRACE_PACKETS;
  testing::internal::CaptureStdout();
  Bytes({0x04, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01, 0x05});
  record_->stream->writeProc = FailingWrite;
  vPacket* out = vPacket_CreateWithData(0x04, 0, reinterpret_cast<const uint8_t*>(""));
  EXPECT_EQ(vLinkPipe_WritePacket(record_, out, true), vErrIO);
  vPacket_Destroy(&out);
  std::string trace = testing::internal::GetCapturedStdout();
  vVelmarineDebuggingEnable = 0;
  vVelmarineDebuggingLevel = 0;
  EXPECT_EQ(trace.find("sending HB UP\nsending HB DOWN\nOut of sync\n"), 0u) << trace;
  EXPECT_NE(trace.find("kSyncStateStart"), std::string::npos) << trace;
  EXPECT_NE(trace.find("\nsOutPipeProcess error writing: 6\n"), std::string::npos) << trace;
}

}  // namespace
