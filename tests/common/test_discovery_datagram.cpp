// The 128-byte datagram image of a linkSpec, TCP/IP discovery replies, linkSpec
// records, dotted interface addresses and the multicast socket record's guards.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "vDiscovery.h"
#include "vMulticast.h"
#include "zBeaconInterface.h"

namespace {

uint32_t Ip(const char* dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

TEST(LinkSpecImage, BrokerRecordHasTheWireLayout) {
  linkSpec spec{};
  spec.type = linkTypeVMesh;
  spec.serialNumber = 0x40F5849A;
  spec.moduleAddress = 4;
  spec.routerAddress = 6;
  spec.routerSerialNumber = 0x2181F0EE;
  spec.model = 19;
  spec.t.ip.ipAddress = Ip("127.0.0.1");
  spec.t.ip.ipPort = 0xABCD1234;  // only the low 16 bits travel
  uint8_t image[vLINKSPEC_IMAGE_SIZE];
  memset(image, 0xEE, sizeof image);
  ASSERT_EQ(vLinkSpec_Pack(&spec, image, sizeof image), vErrNone);
  const uint8_t head[32] = {4, 0, 0,   0, 0x9A, 0x84, 0xF5, 0x40, 4,    0,  0,
                            0, 6, 0,   0, 0,    0xEE, 0xF0, 0x81, 0x21, 19, 0,
                            0, 0, 127, 0, 0,    1,    0x34, 0x12, 0,    0};
  EXPECT_EQ(0, memcmp(image, head, sizeof head));
  for (size_t i = 32; i < sizeof image; i++) ASSERT_EQ(image[i], 0) << "byte " << i;

  linkSpec back;
  ASSERT_EQ(vLinkSpec_Unpack(image, sizeof image, &back), vErrNone);
  EXPECT_EQ(back.type, linkTypeVMesh);
  EXPECT_EQ(back.serialNumber, 0x40F5849Au);
  EXPECT_EQ(back.routerSerialNumber, 0x2181F0EEu);
  EXPECT_EQ(back.t.ip.ipAddress, Ip("127.0.0.1"));
  EXPECT_EQ(back.t.ip.ipPort, 0x1234u);
}

TEST(LinkSpecImage, OnlyAFullImageIsRead) {
  uint8_t image[vLINKSPEC_IMAGE_SIZE + 1] = {4};
  linkSpec spec;
  EXPECT_EQ(vLinkSpec_Unpack(image, vLINKSPEC_IMAGE_SIZE - 1, &spec), vErrSize);
  EXPECT_EQ(vLinkSpec_Unpack(image, vLINKSPEC_IMAGE_SIZE + 1, &spec), vErrSize);
  EXPECT_EQ(vLinkSpec_Unpack(nullptr, vLINKSPEC_IMAGE_SIZE, &spec), vErrParam);
  EXPECT_EQ(vLinkSpec_Pack(&spec, image, vLINKSPEC_IMAGE_SIZE - 1), vErrSize);
}

TEST(LinkSpecImage, SerialPortNameFromTheWireIsAlwaysTerminated) {
  uint8_t image[vLINKSPEC_IMAGE_SIZE];
  memset(image, 'A', sizeof image);
  image[0] = linkTypeSerial;
  image[1] = image[2] = image[3] = 0;
  linkSpec spec;
  ASSERT_EQ(vLinkSpec_Unpack(image, sizeof image, &spec), vErrNone);
  EXPECT_EQ(strlen(spec.t.serial.portName), size_t(vLINKSPEC_PORTNAME_SIZE - 1));

  linkSpec serial{};
  serial.type = linkTypeSerial;
  serial.t.serial.baudRate = 115200;
  strcpy(serial.t.serial.portName, "/dev/ttyUSB0");
  ASSERT_EQ(vLinkSpec_Pack(&serial, image, sizeof image), vErrNone);
  ASSERT_EQ(vLinkSpec_Unpack(image, sizeof image, &spec), vErrNone);
  EXPECT_EQ(spec.t.serial.baudRate, 115200u);
  EXPECT_STREQ(spec.t.serial.portName, "/dev/ttyUSB0");
}

TEST(TcpipReply, FieldsOfAFullReply) {
  const uint8_t reply[16] = {0xFF, 6,    0x90, 0x1F, 0xEE, 0xF0, 0x81, 0x21,
                             0xFF, 0xFF, 0xFF, 0xFF, 27,   0xFF, 0xFF, 0xFF};
  linkSpec spec;
  ASSERT_EQ(vDiscovery_ParseTCPIPReply(reply, sizeof reply, Ip("10.1.2.3"), &spec), vErrNone);
  EXPECT_EQ(spec.type, linkTypeTCPIP);
  EXPECT_EQ(spec.moduleAddress, 6u);
  EXPECT_EQ(spec.routerAddress, 6u);
  EXPECT_EQ(spec.t.ip.ipPort, 8080u);
  EXPECT_EQ(spec.serialNumber, 0x2181F0EEu);
  EXPECT_EQ(spec.routerSerialNumber, 0x2181F0EEu);
  EXPECT_EQ(spec.model, 27u);
  EXPECT_EQ(spec.t.ip.ipAddress, Ip("10.1.2.3"));
}

TEST(TcpipReply, ShortOrOverlongRepliesAreRefused) {
  uint8_t reply[32] = {0, 4, 1, 0, 1, 2, 3, 4};
  linkSpec spec;
  for (size_t size : {0, 1, 7, 15, 17, 32})
    EXPECT_EQ(vDiscovery_ParseTCPIPReply(reply, size, Ip("10.1.2.3"), &spec), vErrSize) << size;
}

TEST(LinkSpecRecord, CreateCopyDestroy) {
  linkSpec* spec = vLinkSpec_Create(linkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, linkTypeTCPIP);
  EXPECT_EQ(spec->serialNumber, 0u);
  spec->serialNumber = 7;
  linkSpec* copy = vLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(0, memcmp(copy, spec, sizeof *spec));
  EXPECT_EQ(vLinkSpec_Destroy(&spec), vErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(vLinkSpec_Destroy(&spec), vErrParam);
  EXPECT_EQ(vLinkSpec_Destroy(nullptr), vErrParam);
  EXPECT_EQ(vLinkSpec_Copy(nullptr), nullptr);
  vLinkSpec_Destroy(&copy);
}

TEST(Interfaces, DottedFormNeedsSixteenBytes) {
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(vDiscovery_ConvertIPv4Interface(Ip("255.255.255.255"), buffer, 15), 0);
  EXPECT_EQ(buffer[0], 'x');  // nothing written
  EXPECT_EQ(vDiscovery_ConvertIPv4Interface(Ip("255.255.255.255"), buffer, 16), 15);
  EXPECT_STREQ(buffer, "255.255.255.255");
  EXPECT_EQ(vDiscovery_ConvertIPv4Interface(Ip("10.0.0.1"), buffer, 16), 8);
  EXPECT_STREQ(buffer, "10.0.0.1");
  EXPECT_EQ(vDiscovery_GetIPv4Interfaces(nullptr, 5), 0);
}

TEST(Enumeration, UnknownTypesAndMissingCallbacksFindNothing) {
  auto any = [](const linkSpec*, bool* accepted, void*) {
    *accepted = true;
    return true;
  };
  EXPECT_EQ(vDiscovery_EnumerateModules(linkTypeSerial, any, nullptr, 0), 0);
  EXPECT_EQ(vDiscovery_EnumerateModules(linkTypeInvalid, any, nullptr, 0), 0);
  EXPECT_EQ(vDiscovery_EnumerateModules(linkTypeUSB, nullptr, nullptr, 0), 0);
  EXPECT_EQ(vDiscovery_FindModule(linkTypeSerial, 1, 0), nullptr);
}

TEST(Multicast, ModeAndRecordGuards) {
  uint32_t group = Ip("224.0.0.7");
  vMulticast* sender = vMulticast_Create(0, group, 9850, vMULTICAST_SENDER);
  ASSERT_NE(sender, nullptr);
  char buffer[8];
  EXPECT_EQ(vMulticast_Receive(sender, buffer, sizeof buffer), -3);
  EXPECT_EQ(vMulticast_Send(nullptr, "x", 1), -2);
  EXPECT_EQ(vMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
  EXPECT_EQ(vMulticast_Destroy(&sender), 0);
  EXPECT_EQ(sender, nullptr);
  EXPECT_EQ(vMulticast_Destroy(&sender), -2);
  EXPECT_EQ(vMulticast_Create(0, group, 70000, vMULTICAST_RECEIVER), nullptr);
}

TEST(Multicast, ReceiverOnAHeldPortFailsAndSendOnAReceiverIsRefused) {
  uint32_t group = Ip("224.0.0.7");
  // A port well away from the brokers' range, picked from a few in case one is taken.
  vMulticast* receiver = nullptr;
  int port = 0;
  for (port = 39871; port < 39900 && !receiver; port++)
    receiver = vMulticast_Create(Ip("127.0.0.1"), group, port, vMULTICAST_RECEIVER);
  port--;
  ASSERT_NE(receiver, nullptr);
  EXPECT_EQ(vMulticast_Send(receiver, "x", 1), -3);
  EXPECT_EQ(vMulticast_Create(0, group, port, vMULTICAST_RECEIVER), nullptr);

  vMulticast* sender = vMulticast_Create(0, group, port, vMULTICAST_SENDER);
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(vMulticast_Send(sender, "hello", 5), 5);
  char buffer[16] = {};
  EXPECT_EQ(vMulticast_Receive(receiver, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "hello");
  // Nothing more: the 1 s timeout ends the wait.
  EXPECT_EQ(vMulticast_Receive(receiver, buffer, sizeof buffer), -1);
  vMulticast_Destroy(&sender);
  vMulticast_Destroy(&receiver);
}

TEST(BeaconInterface, InvalidValuesAreRefusedWithoutTakingTheLock) {
  for (const char* bad : {"eth0", "10.0.0", "1.2.3.4.5", "256.0.0.1"}) {
    EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
  }
  EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
  // Had a refusal locked, this would deadlock.
  ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
  EXPECT_EQ(zBeaconInterface_get(), "*");
  zBeaconInterface_unlock();

  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.20.30.40"));
  EXPECT_EQ(zBeaconInterface_get(), "10.20.30.40");
  EXPECT_EQ(zBeaconInterface_getBackup(), "*");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(zBeaconInterface_getAndLock(), "*");
  zBeaconInterface_unlock();
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
}

}  // namespace
