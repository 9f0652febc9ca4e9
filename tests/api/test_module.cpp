// Module, SystemClass and I2CClass against the module simulator: connecting
// and learning the address, every system value, sets and calls, the module's
// error replies, byte values, 0x49 queries, time-outs, reconnection, a module
// behind a router module and an I2C bus played by a test handler.
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "ApiSim.h"
#include "Entity.h"
#include "vLink.h"

using namespace apitest;
using namespace Corvane::Velmarine;

namespace {

constexpr uint8_t kEepromAddress = 0xA0;  // an I2C device with 32 bytes of memory
constexpr uint8_t kLiarAddress = 0xB0;    // an I2C device that reports more bytes than asked
constexpr uint8_t kShortClass = 0x31;

// An I2C bus behind the module's class 8 entity 0, as a test handler plays it.
struct I2CBus {
  std::mutex mutex;
  std::vector<uint8_t> memory = std::vector<uint8_t>(32);
  int lastSpeed = -1;
  int pullup = -1;

  void Handle(const velsim::Packet& r, velsim::Replies& out) {
    std::lock_guard<std::mutex> lock(mutex);
    auto d = r.Data();
    auto reply = [&](std::vector<uint8_t> b) { out.Add(velsim::Packet::Make(kAddress, b)); };
    if (d.size() == 4 && d[2] == 1) {
      pullup = d[3];
      return reply({8, d[1], 1, 0, 0});
    }
    if (d.size() < 5) return;
    const uint8_t address = d[2], length = d[3];
    lastSpeed = d[4];
    if (address & 1) {  // read
      if ((address & 0xFE) == kLiarAddress) return reply({8, d[1], address, 40, 0, 1, 2, 3});
      if ((address & 0xFE) != kEepromAddress) return reply({8, d[1], address, 0, 0x80 | 3});
      std::vector<uint8_t> rep = {8, d[1], address, length, 0};
      rep.insert(rep.end(), memory.begin(), memory.begin() + length);
      return reply(rep);
    }
    if (address != kEepromAddress) return reply({8, d[1], address, 0, 0x80 | 3});
    std::copy(d.begin() + 5, d.end(), memory.begin());
    reply({8, d[1], address, 0, 0});
  }
};

class ModuleTest : public ApiSim {
 protected:
  void Extend() override {
    sim.RegisterCommand(kSerial, 8,
                        [this](velsim::SimModule&, const velsim::Packet& p, velsim::Replies& out) {
                          bus.Handle(p, out);
                        });
    // An entity class whose byte values come back without a sequence byte.
    sim.RegisterCommand(
        kSerial, kShortClass,
        [](velsim::SimModule&, const velsim::Packet& p, velsim::Replies& out) {
          out.Add(velsim::Packet::Make(
              kAddress, {kShortClass, uint8_t(p.data[1] & 0x3F), uint8_t(p.data[2] & 0x1F)}));
        });
  }
  // A connected module (address learned) and its system entity.
  void Connect(Module& m, SystemClass& sys) {
    ASSERT_EQ(m.connectFromSpec(Spec()), vErrNone);
    ASSERT_TRUE(m.isConnected());
    sys.init(&m, 0);
  }
  vMeshConfig Direct() {
    vMeshConfig c;
    c.enabled = false;
    return c;
  }

  I2CBus bus;
};

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - since)
                  .count());
}

}  // namespace

TEST_P(ModuleTest, ConnectsLearnsItsAddressAndReadsEverySystemValue) {
  Module m(0);
  SystemClass sys;
  Connect(m, sys);
  EXPECT_EQ(m.getModuleAddress(), kAddress);
  EXPECT_EQ(m.getStatus(), uint32_t(kLinkRunning));
  linkSpec spec;
  ASSERT_EQ(m.getLinkSpecifier(&spec), vErrNone);
  EXPECT_EQ(spec.type, Spec().type);

  uint32_t u32 = 0;
  uint8_t u8 = 0;
  int32_t i32 = 0;
  ASSERT_EQ(sys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kSerial);
  ASSERT_EQ(sys.getModel(&u8), vErrNone);
  EXPECT_EQ(u8, kModel);
  ASSERT_EQ(sys.getVersion(&u32), vErrNone);
  EXPECT_EQ(u32, velsim::PackVersion(2, 15, 3));
  ASSERT_EQ(sys.getBuild(&u32), vErrNone);
  EXPECT_EQ(u32, kBuild);
  u32 = 0;
  ASSERT_EQ(m.getBuild(&u32), vErrNone);
  EXPECT_EQ(u32, kBuild);

  // Every other value against what the module itself holds.
  struct Get8 {
    uint8_t option;
    vErr (SystemClass::*get)(uint8_t*);
  };
  const Get8 eights[] = {{1, &SystemClass::getModule},
                         {2, &SystemClass::getRouter},
                         {3, &SystemClass::getHBInterval},
                         {4, &SystemClass::getLED},
                         {6, &SystemClass::getBootSlot},
                         {13, &SystemClass::getModuleHardwareOffset},
                         {14, &SystemClass::getModuleBaseAddress},
                         {15, &SystemClass::getModuleSoftwareOffset},
                         {16, &SystemClass::getRouterAddressSetting},
                         {29, &SystemClass::getInputPowerSource},
                         {30, &SystemClass::getInputPowerBehavior},
                         {38, &SystemClass::getLinkInterface},
                         {42, &SystemClass::getLEDMaxBrightness}};
  for (const auto& g : eights) {
    u8 = 0xEE;
    ASSERT_EQ((sys.*g.get)(&u8), vErrNone) << int(g.option);
    EXPECT_EQ(u8, sim.OptionValue(kSerial, g.option)) << int(g.option);
  }
  struct Get32 {
    uint8_t option;
    vErr (SystemClass::*get)(uint32_t*);
  };
  const Get32 wides[] = {
      {12, &SystemClass::getInputVoltage},    {21, &SystemClass::getInputCurrent},
      {33, &SystemClass::getPowerLimit},      {34, &SystemClass::getPowerLimitMax},
      {35, &SystemClass::getPowerLimitState}, {40, &SystemClass::getHardwareVersion},
      {41, &SystemClass::getErrors}};
  for (const auto& g : wides) {
    u32 = 0xEEEEEEEE;
    ASSERT_EQ((sys.*g.get)(&u32), vErrNone) << int(g.option);
    EXPECT_EQ(u32, sim.OptionValue(kSerial, g.option)) << int(g.option);
  }
  struct GetSigned {
    uint8_t option;
    vErr (SystemClass::*get)(int32_t*);
  };
  const GetSigned signeds[] = {{23, &SystemClass::getMaximumTemperature},
                               {25, &SystemClass::getUnregulatedVoltage},
                               {26, &SystemClass::getUnregulatedCurrent},
                               {27, &SystemClass::getTemperature},
                               {28, &SystemClass::getMinimumTemperature}};
  for (const auto& g : signeds) {
    i32 = -1;
    ASSERT_EQ((sys.*g.get)(&i32), vErrNone) << int(g.option);
    EXPECT_EQ(uint32_t(i32), sim.OptionValue(kSerial, g.option)) << int(g.option);
  }
  ASSERT_EQ(sys.getUptime(&u32), vErrNone);
  EXPECT_LT(u32, 60u);
  EXPECT_EQ(m.getModuleAddress(), kAddress);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(ModuleTest, SetsValuesCallsOptionsAndMovesByteValues) {
  Module m(0);
  SystemClass sys;
  Connect(m, sys);
  uint8_t u8 = 0;
  uint32_t u32 = 0;
  ASSERT_EQ(sys.setLED(false), vErrNone);
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 0u);
  // Any true value goes out as 1.
  ASSERT_EQ(sys.setLED(5), vErrNone);
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 1u);
  ASSERT_EQ(sys.setHBInterval(0), vErrNone);
  ASSERT_EQ(sys.getHBInterval(&u8), vErrNone);
  EXPECT_EQ(u8, 0);
  ASSERT_EQ(sys.setBootSlot(2), vErrNone);
  ASSERT_EQ(sys.setModuleSoftwareOffset(6), vErrNone);
  ASSERT_EQ(sys.setInputPowerBehavior(3), vErrNone);
  ASSERT_EQ(sys.setLinkInterface(1), vErrNone);
  ASSERT_EQ(sys.setLEDMaxBrightness(100), vErrNone);
  ASSERT_EQ(sys.setPowerLimitMax(0x01020304), vErrNone);
  ASSERT_EQ(sys.getPowerLimitMax(&u32), vErrNone);
  EXPECT_EQ(u32, 0x01020304u);
  EXPECT_EQ(sim.OptionValue(kSerial, 6), 2u);
  EXPECT_EQ(sim.OptionValue(kSerial, 15), 6u);
  EXPECT_EQ(sim.OptionValue(kSerial, 30), 3u);
  EXPECT_EQ(sim.OptionValue(kSerial, 38), 1u);
  EXPECT_EQ(sim.OptionValue(kSerial, 42), 100u);
  ASSERT_EQ(sys.routeToMe(1), vErrNone);
  ASSERT_EQ(sys.logEvents(), vErrNone);

  // Save keeps, reset returns to the saved values, factory reset to the defaults.
  ASSERT_EQ(sys.save(), vErrNone);
  ASSERT_EQ(sys.setBootSlot(5), vErrNone);
  ASSERT_EQ(sys.reset(), vErrNone);
  ASSERT_EQ(sys.getBootSlot(&u8), vErrNone);
  EXPECT_EQ(u8, 2);
  ASSERT_EQ(sys.resetEntityToFactoryDefaults(), vErrNone);
  ASSERT_EQ(sys.getBootSlot(&u8), vErrNone);
  EXPECT_EQ(u8, 0);
  ASSERT_EQ(sys.resetDeviceToFactoryDefaults(), vErrNone);

  // A 30-byte name: two packets each way.
  const std::string name = "A thirty byte name for tests!!";
  ASSERT_EQ(name.size(), 30u);
  ASSERT_EQ(sys.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), vErrNone);
  auto stored = sim.OptionBytes(kSerial, 32);
  EXPECT_EQ(std::string(stored.begin(), stored.end()), name);
  uint8_t buffer[40] = {};
  size_t count = 99;
  ASSERT_EQ(sys.getName(buffer, 30, &count), vErrNone);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);
  // The first reply packet already carries 24 bytes: too many for 10.
  EXPECT_EQ(sys.getName(buffer, 10, &count), vErrMemory);
  EXPECT_EQ(count, 0u);
  // Whatever the failed read left behind does not disturb the next one.
  ASSERT_EQ(sys.getName(buffer, sizeof buffer, &count), vErrNone);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(sys.getName(nullptr, 10, &count), vErrParam);
  EXPECT_EQ(sys.getName(buffer, 0, &count), vErrParam);
  // A reply too short to be part of a byte value ends the read.
  EntityClass shortReplies;
  shortReplies.init(&m, kShortClass, 0);
  EXPECT_EQ(shortReplies.getUEIBytes(1, buffer, sizeof buffer, &count), vErrPacket);
  EXPECT_EQ(count, 0u);
  // The module refuses a name longer than 32 bytes.
  std::string tooLong(33, 'x');
  EXPECT_EQ(sys.setName(reinterpret_cast<const uint8_t*>(tooLong.data()), tooLong.size()),
            vErrSize);

  // Power behaviour configuration: 4 bytes per value, in memory order.
  const uint32_t config[3] = {0x11223344, 7, 0xFFFFFFFF};
  ASSERT_EQ(sys.setInputPowerBehaviorConfig(config, 3), vErrNone);
  uint32_t back[8] = {};
  ASSERT_EQ(sys.getInputPowerBehaviorConfig(back, 8, &count), vErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(memcmp(back, config, sizeof config), 0);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(ModuleTest, PassesTheModulesErrorRepliesThrough) {
  Module m(0);
  SystemClass sys;
  Connect(m, sys);
  uint8_t u8 = 0;
  uint32_t u32 = 0;
  EXPECT_EQ(sys.getUEI8(5, &u8), vErrInvalidOption);
  EXPECT_EQ(sys.getUEI8(20, &u8), vErrMode);  // set-only
  EXPECT_EQ(sys.setUEI32(9, 1), vErrMode);    // read-only
  EXPECT_EQ(sys.setUEI32(4, 1), vErrSize);    // wrong width
  EXPECT_EQ(sys.callUEI(63), vErrInvalidOption);
  SystemClass second;
  second.init(&m, 1);
  EXPECT_EQ(second.getSerialNumber(&u32), vErrInvalidEntity);
  EntityClass missing;
  missing.init(&m, 0x30, 0);
  EXPECT_EQ(missing.getUEI32(1, &u32), vErrInvalidEntity);
  EXPECT_EQ(missing.setUEI8(1, 1), vErrInvalidEntity);

  // The typed forms with a parameter byte and a sub-index byte.
  ASSERT_EQ(sys.getUEI8(8, 1, &u8), vErrNone);
  EXPECT_EQ(u8, kModel);
  ASSERT_EQ(sys.setUEI8(4, 0, 0), vErrNone);
  EXPECT_EQ(sim.OptionValue(kSerial, 4), 0u);
  uint16_t u16 = 0;
  ASSERT_EQ(sys.getUEI16(8, &u16), vErrNone);
  EXPECT_EQ(u16, kModel);
  // A reply whose length carries no number gives 0, never the request's parameter.
  u8 = 0xEE;
  ASSERT_EQ(sys.getUEI8(32, 0x55, &u8), vErrNone);
  EXPECT_EQ(u8, 0);

  // Null outputs and an unbound entity are refused without a request.
  EXPECT_EQ(sys.getSerialNumber(nullptr), vErrParam);
  EXPECT_EQ(sys.getTemperature(nullptr), vErrParam);
  EXPECT_EQ(sys.awaitUEI32Val(9, nullptr, 0), vErrParam);
  SystemClass unbound;
  EXPECT_EQ(unbound.getSerialNumber(&u32), vErrResource);
  EXPECT_EQ(unbound.setLED(true), vErrResource);
  size_t bytes = 0;
  EXPECT_EQ(unbound.getName(&u8, 1, &bytes), vErrResource);
  EXPECT_EQ(unbound.setStreamEnabled(true), vErrResource);
  size_t count = 0;
  EXPECT_EQ(sys.getStreamStatus(nullptr, 0, &count), vErrParam);

  size_t elements = 12;
  EXPECT_EQ(sys.getUEIBytesCheck(&elements, 4), vErrNone);
  EXPECT_EQ(elements, 3u);
  elements = 13;
  EXPECT_EQ(int(sys.getUEIBytesCheck(&elements, 4)), 1);
  EXPECT_EQ(elements, 13u);
  EXPECT_EQ(sys.getUEIBytesCheck(&elements, 0), vErrParam);
  EXPECT_EQ(sys.getUEIBytesCheck(nullptr, 4), vErrParam);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(ModuleTest, AnswersTableQueriesAndTheEcho) {
  Module m(0);
  SystemClass sys;
  Connect(m, sys);
  EXPECT_EQ(m.hasUEI(3, 9, 0, 0x40), vErrNone);
  EXPECT_EQ(m.hasUEI(3, 9, 0, 0x80), vErrMode);
  EXPECT_EQ(m.hasUEI(3, 5, 0, 0x40), vErrInvalidOption);
  EXPECT_EQ(m.hasUEI(3, 9, 1, 0x40), vErrInvalidEntity);
  uint64_t before = sim.Stats(ep.id).packetsIn;
  EXPECT_EQ(m.hasUEI(3, 9, 0, 0xC0), vErrParam);
  EXPECT_EQ(m.hasUEI(3, 9, 0, 0x41), vErrParam);
  EXPECT_EQ(sim.Stats(ep.id).packetsIn, before);

  uint8_t count = 99;
  ASSERT_EQ(m.classQuantity(3, &count), vErrNone);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(m.classQuantity(0x30, &count), vErrNone);
  EXPECT_EQ(count, 0);
  count = 99;
  ASSERT_EQ(m.subClassQuantity(3, 1, &count), vErrNone);
  EXPECT_EQ(count, 0);
  count = 99;
  ASSERT_EQ(m.entityGroup(3, 0, &count), vErrNone);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(m.classQuantity(3, nullptr), vErrParam);

  const uint8_t bytes[27] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  EXPECT_EQ(m.debug(bytes, 14), vErrNone);
  EXPECT_EQ(m.debug(bytes, 27), vErrNone);
  EXPECT_EQ(m.debug(nullptr, 0), vErrNone);
  EXPECT_EQ(m.debug(bytes, 28), vErrParam);
  EXPECT_EQ(m.getBuild(nullptr), vErrParam);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(ModuleTest, TimesOutWhenTheModuleIsSilent) {
  // A module that ignores the address probe: four tries of a second each.
  SetFaults("mute=0xAD");
  Module m(0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m.connectFromSpec(Spec()), vErrNotReady);
  EXPECT_GE(ElapsedMs(start), 3900);
  EXPECT_EQ(m.getModuleAddress(), 0);
  EXPECT_EQ(sim.Stats(ep.id).muted, 4u);

  // Without networking mode the address is the caller's and nothing is probed.
  Module fixed(kAddress, false, 0);
  SystemClass sys;
  ASSERT_EQ(fixed.connectFromSpec(Spec()), vErrNone);
  sys.init(&fixed, 0);
  SetFaults("mute=3:9,mute=0x49");
  uint32_t u32 = 7;
  EXPECT_EQ(sys.getSerialNumber(&u32), vErrTimeout);
  EXPECT_EQ(u32, 7u);
  EXPECT_EQ(fixed.getBuild(&u32), vErrTimeout);
  uint8_t u8 = 0;
  EXPECT_EQ(sys.getModel(&u8), vErrNone);
  EXPECT_EQ(u8, kModel);
  // A value the module never sends.
  EXPECT_EQ(sys.awaitUEI32Val(9, &u32, 0), vErrTimeout);
}

TEST_P(ModuleTest, DisconnectsAndReconnects) {
  Module m(0);
  SystemClass sys;
  EXPECT_EQ(m.connect(linkTypeTCPIP, 0), vErrParam);
  linkSpec spec;
  EXPECT_EQ(m.getLinkSpecifier(&spec), vErrNotFound);
  EXPECT_EQ(m.reconnect(), vErrConfiguration);
  Connect(m, sys);
  EXPECT_EQ(m.connectFromSpec(Spec()), vErrBusy);
  ASSERT_EQ(m.disconnect(), vErrNone);
  EXPECT_FALSE(m.isConnected());
  uint32_t u32 = 0;
  EXPECT_EQ(sys.getSerialNumber(&u32), vErrConnection);
  EXPECT_EQ(m.getBuild(&u32), vErrConnection);
  EXPECT_EQ(m.debug(nullptr, 0), vErrConnection);
  m.setModuleAddress(0);
  ASSERT_EQ(m.reconnect(), vErrNone);
  EXPECT_EQ(m.getModuleAddress(), kAddress);
  ASSERT_EQ(sys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kSerial);
  EXPECT_EQ(m.reconnect(), vErrConnection);
  EXPECT_TRUE(m.isConnected());
}

TEST_P(ModuleTest, ReachesAModuleBehindARouterModule) {
  Module router(0);
  ASSERT_EQ(router.setConfig(Direct()), vErrNone);
  SystemClass routerSys;
  Connect(router, routerSys);
  Module behind(0);
  EXPECT_EQ(behind.connectThroughLinkModule(nullptr), vErrInitialization);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), vErrNone);
  EXPECT_TRUE(behind.isConnected());
  // The caller names the address: nothing was probed for it.
  EXPECT_EQ(behind.getModuleAddress(), 0);
  behind.setModuleAddress(kBehindAddress);
  SystemClass sys;
  sys.init(&behind, 0);
  uint32_t u32 = 0;
  uint8_t u8 = 0;
  ASSERT_EQ(sys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kBehindSerial);
  ASSERT_EQ(sys.getModel(&u8), vErrNone);
  EXPECT_EQ(u8, kBehindModel);
  ASSERT_EQ(sys.getRouter(&u8), vErrNone);
  EXPECT_EQ(u8, kAddress);
  // Both share one connection: the module's is still the router's after the
  // neighbour lets go, and only one link was ever opened.
  EXPECT_EQ(behind.disconnect(), vErrNone);
  EXPECT_TRUE(router.isConnected());
  ASSERT_EQ(routerSys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kSerial);
  EXPECT_EQ(sim.Stats(ep.id).links, 1u);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(ModuleTest, ANeighbourWithTheDefaultConfigurationIsHandedTheRoutersLink) {
  // With brokers allowed the neighbour asks for a broker client on the
  // router's link handle: the engine hands back the router's own link.
  Module router(0);
  SystemClass routerSys;
  Connect(router, routerSys);
  Module behind(kBehindAddress, false, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), vErrNone);
  EXPECT_TRUE(behind.isConnected());
  SystemClass sys;
  sys.init(&behind, 0);
  uint32_t u32 = 0;
  ASSERT_EQ(sys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kBehindSerial);
  EXPECT_EQ(behind.disconnect(), vErrNone);
  EXPECT_TRUE(router.isConnected());
  ASSERT_EQ(routerSys.getSerialNumber(&u32), vErrNone);
  EXPECT_EQ(u32, kSerial);
  EXPECT_EQ(sim.Stats(ep.id).links, 1u);
  // A router without a connection has nothing to share.
  Module lonely(0);
  Module other(kBehindAddress, false, 0);
  EXPECT_EQ(other.connectThroughLinkModule(&lonely), vErrInitialization);
}

TEST_P(ModuleTest, DrivesTheI2CBus) {
  Module m(0);
  SystemClass sys;
  Connect(m, sys);
  I2CClass i2c;
  i2c.init(&m, 0);
  uint8_t speed = 9;
  ASSERT_EQ(i2c.getSpeed(&speed), vErrNone);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(i2c.setSpeed(4), vErrParam);
  ASSERT_EQ(i2c.setSpeed(2), vErrNone);

  const uint8_t data[23] = {0xDE, 0xAD, 0xBE, 0xEF, 5, 6, 7};
  ASSERT_EQ(i2c.write(kEepromAddress, 23, data), vErrNone);
  uint8_t back[23] = {};
  ASSERT_EQ(i2c.read(kEepromAddress, 4, back), vErrNone);
  EXPECT_EQ(memcmp(back, data, 4), 0);
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    EXPECT_EQ(bus.lastSpeed, 2);
  }
  ASSERT_EQ(i2c.setPullup(true), vErrNone);
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    EXPECT_EQ(bus.pullup, 1);
  }
  // A device that does not answer: the status carries the code.
  EXPECT_EQ(i2c.read(0x40, 2, back), vErrNotFound);
  EXPECT_EQ(i2c.write(0x40, 2, data), vErrNotFound);
  // Too long a transfer is refused before anything is sent.
  uint64_t before = sim.Stats(ep.id).packetsIn;
  EXPECT_EQ(i2c.read(kEepromAddress, 24, back), vErrSize);
  EXPECT_EQ(i2c.write(kEepromAddress, 24, data), vErrSize);
  EXPECT_EQ(sim.Stats(ep.id).packetsIn, before);
  // A reply that claims more bytes than were asked for is not copied.
  memset(back, 0x77, sizeof back);
  EXPECT_EQ(i2c.read(kLiarAddress, 2, back), vErrPacket);
  EXPECT_EQ(back[0], 0x77);
}

INSTANTIATE_TEST_SUITE_P(Transports, ModuleTest, ::testing::Values("tcp", "pty"));
