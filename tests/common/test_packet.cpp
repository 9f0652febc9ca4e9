// Packets and UEI payloads: byte-by-byte assembly and its errors, copies,
// field access and the byte-run layout.
#include <gtest/gtest.h>

#include <vector>

#include "vPacket.h"
#include "vUEI.h"

namespace {

// Feeds bytes and returns each result.
std::vector<vErr> Feed(vPacket* packet, std::vector<uint8_t> bytes) {
  std::vector<vErr> results;
  for (uint8_t b : bytes) results.push_back(vPacket_AddByte(packet, b));
  return results;
}

TEST(Packet, AssemblesZeroLengthAndFullPackets) {
  vPacket* p = vPacket_Create();
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(vPacket_IsComplete(p));
  EXPECT_EQ(Feed(p, {0x04, 0x00}), (std::vector<vErr>{vErrNone, vErrNone}));
  EXPECT_TRUE(vPacket_IsComplete(p));
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->length, 0);

  ASSERT_EQ(vPacket_Reset(p), vErrNone);
  std::vector<uint8_t> bytes = {0x10, 28};
  for (int i = 0; i < 28; i++) bytes.push_back(uint8_t(i + 100));
  for (size_t i = 0; i < bytes.size(); i++) {
    ASSERT_EQ(vPacket_AddByte(p, bytes[i]), vErrNone) << i;
    EXPECT_EQ(vPacket_IsComplete(p), i == bytes.size() - 1) << i;
  }
  EXPECT_EQ(p->data[27], 127);
  // The 31st byte overruns.
  EXPECT_EQ(vPacket_AddByte(p, 0x01), vErrOverrun);
  vPacket_Destroy(&p);
  EXPECT_EQ(p, nullptr);
}

TEST(Packet, RefusesBadAddressLengthAndSurplusBytes) {
  vPacket* p = vPacket_Create();
  // Zero and odd addresses are refused but still count.
  EXPECT_EQ(vPacket_AddByte(p, 0x00), vErrPacket);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->count, 1);
  EXPECT_EQ(vPacket_AddByte(p, 0x05), vErrPacket);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->count, 2);

  // Without a reset the next good byte is the address and the one after it
  // the length, though the count is one ahead.
  EXPECT_EQ(Feed(p, {0x04, 0x03, 0x11}), (std::vector<vErr>{vErrNone, vErrNone, vErrNone}));
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->length, 3);
  EXPECT_EQ(p->count, 5);

  // A refused length stays stored; the bytes after it go on filling the data.
  vPacket_Reset(p);
  EXPECT_EQ(Feed(p, {0x02, 29}), (std::vector<vErr>{vErrNone, vErrPacket}));
  EXPECT_EQ(p->length, 29);
  EXPECT_EQ(vPacket_AddByte(p, 0x5A), vErrNone);
  EXPECT_EQ(p->data[0], 0x5A);
  EXPECT_FALSE(vPacket_IsComplete(p));

  // A complete packet that is not reset refuses further bytes.
  vPacket_Reset(p);
  Feed(p, {0x02, 0x01, 0x33});
  EXPECT_TRUE(vPacket_IsComplete(p));
  EXPECT_NE(vPacket_AddByte(p, 0x44), vErrNone);
  vPacket_Destroy(&p);

  // A record filled in by hand with a count behind its fields is refused
  // instead of being written in front of its data.
  vPacket* hand = vPacket_Create();
  hand->address = 4;
  hand->length = 5;
  EXPECT_EQ(vPacket_AddByte(hand, 0x01), vErrPacket);
  EXPECT_EQ(hand->address, 4);
  EXPECT_EQ(hand->length, 5);
  vPacket_Destroy(&hand);

  EXPECT_EQ(vPacket_AddByte(nullptr, 1), vErrParam);
  EXPECT_EQ(vPacket_Reset(nullptr), vErrParam);
  EXPECT_EQ(vPacket_Destroy(nullptr), vErrParam);
}

TEST(Packet, EndlessGarbageNeverCompletesAndNeverWraps) {
  vPacket* p = vPacket_Create();
  vPacket_AddByte(p, 0x02);
  vPacket_AddByte(p, 0x1C);
  for (int i = 0; i < 1000; i++) vPacket_AddByte(p, 0x11);
  EXPECT_FALSE(vPacket_IsComplete(p));
  EXPECT_EQ(vPacket_AddByte(p, 0x11), vErrOverrun);
  vPacket_Destroy(&p);
}

TEST(Packet, CreateCopyAndFieldAccess) {
  uint8_t data[29] = {3, 0xC8, 0xE5, 7};
  EXPECT_EQ(vPacket_CreateWithData(2, 29, data), nullptr);
  EXPECT_EQ(vPacket_CreateWithData(2, 3, nullptr), nullptr);
  vPacket* full = vPacket_CreateWithData(2, 28, data);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->count, 30);
  EXPECT_TRUE(vPacket_IsComplete(full));
  vPacket_Destroy(&full);

  vPacket* p = vPacket_CreateWithData(6, 4, data);
  vPacket* copy = vPacket_Copy(p);
  ASSERT_NE(copy, nullptr);
  vPacket_Destroy(&p);
  uint8_t v = 0;
  EXPECT_EQ(vPacket_GetCmd(copy, &v), vErrNone);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(vPacket_GetOption(copy, &v), vErrNone);
  EXPECT_EQ(v, 0x08);  // get and set bits masked away
  EXPECT_EQ(vPacket_GetIndex(copy, &v), vErrNone);
  EXPECT_EQ(v, 0x05);  // bits 5 to 7 masked away
  EXPECT_EQ(vPacket_GetCmd(copy, nullptr), vErrParam);

  vPacket* shorter = vPacket_CreateWithData(6, 2, data);
  EXPECT_EQ(vPacket_GetCmd(shorter, &v), vErrNone);
  EXPECT_EQ(vPacket_GetOption(shorter, &v), vErrNone);
  EXPECT_EQ(vPacket_GetIndex(shorter, &v), vErrPacket);
  vPacket_Destroy(&shorter);
  vPacket_Destroy(&copy);

  vPacket invalid = {};
  EXPECT_EQ(vPacket_Copy(&invalid), nullptr);
  EXPECT_EQ(vPacket_GetCmd(&invalid, &v), vErrPacket);
}

TEST(UEI, ValuesAreBigEndian) {
  uint8_t b[4];
  vUEI_StoreShort(b, 0x1234);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(vUEI_RetrieveShort(b), 0x1234);
  vUEI_StoreInt(b, 0xA1B2C3D4);
  EXPECT_EQ(b[0], 0xA1);
  EXPECT_EQ(b[3], 0xD4);
  EXPECT_EQ(vUEI_RetrieveInt(b), 0xA1B2C3D4u);
  uint32_t words[2];
  vUEI_StoreInt(reinterpret_cast<uint8_t*>(&words[0]), 7);
  vUEI_StoreInt(reinterpret_cast<uint8_t*>(&words[1]), 0x01020304);
  vUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 7u);
  EXPECT_EQ(words[1], 0x01020304u);
}

TEST(UEI, ByteRunPacketsOf48And49Bytes) {
  uint8_t run[49];
  for (int i = 0; i < 49; i++) run[i] = uint8_t(i);
  ASSERT_EQ(vUEI_BytesPacketCount(48), 2u);
  vPacket* a = vUEI_CreateBytesPacket(4, 3, 0x85, 0x20, run, 48, 0);
  vPacket* b = vUEI_CreateBytesPacket(4, 3, 0x85, 0x20, run, 48, 1);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->length, 28);
  EXPECT_EQ(b->length, 28);
  EXPECT_EQ(a->data[27], 0x80);
  EXPECT_EQ(b->data[27], 0x01);
  EXPECT_EQ(b->data[3], 24);
  EXPECT_TRUE(vUEI_getBytesContinue(a));
  EXPECT_FALSE(vUEI_getBytesContinue(b));
  EXPECT_EQ(vUEI_getBytesSequence(b), 1);
  EXPECT_EQ(vUEI_CreateBytesPacket(4, 3, 0x85, 0x20, run, 48, 2), nullptr);
  vPacket_Destroy(&a);
  vPacket_Destroy(&b);

  ASSERT_EQ(vUEI_BytesPacketCount(49), 3u);
  uint8_t expected[3] = {0x80, 0x81, 0x02};
  for (size_t n = 0; n < 3; n++) {
    vPacket* p = vUEI_CreateBytesPacket(4, 3, 0x85, 0x20, run, 49, n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[p->length - 1], expected[n]);
    if (n == 2) {
      EXPECT_EQ(p->length, 5);
      EXPECT_EQ(p->data[3], 48);
    }
    vPacket_Destroy(&p);
  }

  vPacket* empty = vUEI_CreateBytesPacket(4, 3, 0x85, 0x20, nullptr, 0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->length, 4);
  EXPECT_EQ(empty->data[3], 0);
  vPacket_Destroy(&empty);
}

TEST(UEI, ClassifiesPackets) {
  uint8_t d[28] = {};
  for (uint8_t length = 0; length <= 28; length++) {
    vPacket* p = vPacket_CreateWithData(2, length, d);
    EXPECT_EQ(vUEI_getBytesFullPacket(p), length == 27 || length == 28) << int(length);
    vPacket_Destroy(&p);
  }
  EXPECT_FALSE(vUEI_getBytesFullPacket(nullptr));
  EXPECT_EQ(vUEI_getBytesSequence(nullptr), 0);

  // A stream sample: UEI command, plain option, stream bit in the index.
  uint8_t sample[5] = {3, 0x08, 0x41, 0, 0};
  vPacket* p = vPacket_CreateWithData(2, 5, sample);
  EXPECT_TRUE(vUEI_isStreamPacket(p));
  vPacket_Destroy(&p);
  p = vPacket_CreateWithData(2, 4, sample);
  EXPECT_FALSE(vUEI_isStreamPacket(p));  // too short
  vPacket_Destroy(&p);
  sample[1] = 0xC8;
  p = vPacket_CreateWithData(2, 5, sample);
  EXPECT_FALSE(vUEI_isStreamPacket(p));  // a reply to a set
  vPacket_Destroy(&p);
  sample[1] = 0x08;
  for (uint8_t command : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
    sample[0] = command;
    p = vPacket_CreateWithData(2, 5, sample);
    EXPECT_TRUE(vUEI_isNotUEIPayload(p)) << int(command);
    EXPECT_FALSE(vUEI_isStreamPacket(p)) << int(command);
    vPacket_Destroy(&p);
  }
  EXPECT_FALSE(vUEI_isNotUEIPayload(nullptr));
  EXPECT_FALSE(vUEI_isStreamPacket(nullptr));
}

}  // namespace
