// The packet log ring (records dropped oldest first, one byte kept free) and
// the logger thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "vLogger.h"
#include "vPacketLog.h"

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; i++) b[i] = uint8_t(first + i);
  return b;
}

TEST(PacketLog, DropsTheOldestRecordsToMakeRoom) {
  vPacketLog* log = vPacketLog_Create(16);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(vPacketLog_Put(log, 1, 4, Bytes(4, 10).data()), vErrNone);
  EXPECT_EQ(vPacketLog_Put(log, 2, 3, Bytes(3, 20).data()), vErrNone);
  EXPECT_EQ(vPacketLog_Put(log, 3, 6, Bytes(6, 30).data()), vErrNone);
  uint8_t type, length = 28, buffer[28];
  ASSERT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNone);
  EXPECT_EQ(type, 2);  // the first record went
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), Bytes(3, 20));
  length = 28;
  ASSERT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNone);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), Bytes(6, 30));
  length = 28;
  EXPECT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNotFound);
  vPacketLog_Destroy(&log);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(vPacketLog_Destroy(&log), vErrNone);
}

TEST(PacketLog, RecordsTooBigForTheRingAreRefused) {
  vPacketLog* log = vPacketLog_Create(16);
  vPacketLog_Put(log, 1, 2, Bytes(2, 1).data());
  EXPECT_EQ(vPacketLog_Put(log, 1, 14, Bytes(14, 1).data()), vErrOverrun);
  EXPECT_EQ(vPacketLog_Put(log, 1, 13, Bytes(13, 1).data()), vErrNone);  // empties the log first
  uint8_t type, length = 28, buffer[28];
  ASSERT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNone);
  EXPECT_EQ(length, 13);
  length = 28;
  EXPECT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNotFound);
  vPacketLog_Destroy(&log);
}

TEST(PacketLog, ShortBufferLeavesTheRecordInPlace) {
  vPacketLog* log = vPacketLog_Create(64);
  vPacketLog_Put(log, 2, 6, Bytes(6, 50).data());
  uint8_t type, length = 4, buffer[8];
  EXPECT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrOverrun);
  EXPECT_EQ(length, 6);
  length = 8;
  EXPECT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNone);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), Bytes(6, 50));
  vPacketLog_Destroy(&log);
}

TEST(PacketLog, WrapsAroundTheRingManyTimes) {
  vPacketLog* log = vPacketLog_Create(37);
  for (int i = 0; i < 500; i++) {
    auto data = Bytes(size_t(i % 9), uint8_t(i));
    ASSERT_EQ(vPacketLog_Put(log, 1, uint8_t(data.size()), data.data()), vErrNone);
    uint8_t type, length = 28, buffer[28];
    ASSERT_EQ(vPacketLog_Get(log, &type, &length, buffer), vErrNone);
    ASSERT_EQ(std::vector<uint8_t>(buffer, buffer + length), data) << i;
  }
  vPacketLog_Destroy(&log);
}

std::atomic<int> gCalls{0};
std::atomic<vLogger*> gSelf{nullptr};

void CountingWriter(vFile* file, uint32_t id) {
  if (gCalls++ == 0) vFile_Printf(file, "link %u\n", id);
  // Disabling or destroying from its own thread must neither stop nor free it.
  if (vLogger* self = gSelf.load()) {
    EXPECT_EQ(vLogger_Disable(self), vErrNone);
    EXPECT_EQ(vLogger_Destroy(&self), vErrBusy);
    EXPECT_NE(self, nullptr);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST(Logger, RunsItsProcedureUntilDisabled) {
  testsupport::TempDir dir;
  std::string path = dir.path() + "/packets.log";
  EXPECT_EQ(vLogger_Create(1, CountingWriter, (dir.path() + "/no/such/file").c_str()), nullptr);
  vLogger* logger = vLogger_Create(42, CountingWriter, path.c_str());
  ASSERT_NE(logger, nullptr);
  gSelf = logger;
  EXPECT_EQ(vLogger_Enable(logger), vErrNone);
  EXPECT_EQ(vLogger_Enable(logger), vErrNone);
  for (int i = 0; i < 200 && gCalls < 5; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(gCalls.load(), 5);
  gSelf = nullptr;
  EXPECT_EQ(vLogger_Disable(logger), vErrNone);
  int after = gCalls;
  // The window is the test: no call once the disable has returned.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(gCalls.load(), after);
  EXPECT_EQ(vLogger_Destroy(&logger), vErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(testsupport::ReadFile(path), "link 42\n");
  EXPECT_EQ(vLogger_Enable(nullptr), vErrParam);
  EXPECT_EQ(vLogger_Destroy(&logger), vErrNone);
}

}  // namespace
