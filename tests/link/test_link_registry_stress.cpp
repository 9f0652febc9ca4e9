// The link registry under concurrent use: many threads creating, using and
// destroying links to the same and to different simulated modules at once,
// and callers still waiting in a link while its last holder destroys it.
// Meant to run under the thread and address sanitizers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Await.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vPacket.h"

namespace {

constexpr uint32_t kSerials[] = {0x40F50001, 0x40F50002, 0x40F50003};
constexpr int kModules = sizeof(kSerials) / sizeof(kSerials[0]);
constexpr uint8_t kAddress = 4;

uint8_t ModelReply(const vPacket* p, const void*) {
  return p->address == kAddress && p->length == 4 && p->data[0] == 3 && p->data[1] == 8;
}

class LinkRegistryStress : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kModules; ++i) {
      velsim::ModuleConfig c;
      c.serial = kSerials[i];
      c.address = kAddress;
      c.model = uint8_t(19 + i);
      sim.AddModule(c);
      ports[i] = sim.OpenTcp(kSerials[i], 0).port;
    }
    sim.Start();
  }
  void TearDown() override { sim.Stop(); }

  uint32_t Create(int module) { return vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), ports[module]); }

  // Asks the module for its model; the model number, or -1 without an answer.
  static int AskModel(uint32_t id) {
    const uint8_t request[] = {3, 0x48, 0x20};
    vPacket* p = vPacket_CreateWithData(kAddress, sizeof request, request);
    if (!p) return -1;
    vErr err = vLink_PutPacket(id, p);
    vPacket_Destroy(&p);
    if (err != vErrNone) return -1;
    vPacket* reply = vLink_AwaitFirst(id, ModelReply, nullptr, 2000);
    if (!reply) return -1;
    int model = reply->data[3];
    vPacket_Destroy(&reply);
    return model;
  }

  velsim::Simulator sim;
  uint16_t ports[kModules] = {};
};

TEST_F(LinkRegistryStress, ManyThreadsCreateUseAndDestroyLinksToSharedAndSeparateModules) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 4;
  std::atomic<int> created{0}, answered{0}, wrongModel{0}, badDestroy{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Threads meet on the same module, and move between modules.
        const int module = (t + round) % kModules;
        uint32_t id = Create(module);
        if (!id) continue;
        created++;
        int model = AskModel(id);
        if (model >= 0) {
          answered++;
          if (model != 19 + module) wrongModel++;
        }
        vLink_GetStatus(id);
        vLink_DrainPackets(id, nullptr, nullptr);
        if (vLink_Destroy(&id) != vErrNone) badDestroy++;
        EXPECT_EQ(id, 0u);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_GT(created.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(wrongModel.load(), 0);
  EXPECT_EQ(badDestroy.load(), 0);
  // Every holder let go: no link to any of the modules is left registered.
  for (int i = 0; i < kModules; ++i)
    EXPECT_EQ(vLink_RegistryFindByKey(htonl(INADDR_LOOPBACK), ports[i], 0), 0u) << i;
}

TEST_F(LinkRegistryStress, WaitersLeavePromptlyWhenTheLastHolderDestroysTheLink) {
  for (int round = 0; round < 6; ++round) {
    uint32_t id = Create(round % kModules);
    ASSERT_NE(id, 0u);
    const uint32_t shared = id;
    std::atomic<int> returned{0};
    std::atomic<pid_t> tids[4] = {};
    std::vector<std::thread> waiters;
    const auto start = std::chrono::steady_clock::now();
    for (int w = 0; w < 4; ++w) {
      waiters.emplace_back([&, w] {
        tids[w] = testsupport::ThreadId();
        // Long waits that only the destroy can end (a packet the module
        // sends on its own ends one early, and the thread waits again).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(9);
        while (vLink_GetStatus(shared) != uint32_t(kLinkNoStream) &&
               std::chrono::steady_clock::now() < deadline) {
          vPacket* p = (w % 2) ? vLink_AwaitPacket(shared, 10000)
                               : vLink_AwaitFirst(shared, ModelReply, nullptr, 10000);
          if (p) vPacket_Destroy(&p);
        }
        // After the destroy the id names nothing.
        if (vLink_GetStatus(shared) == uint32_t(kLinkNoStream)) returned++;
      });
    }
    for (auto& tid : tids) {  // every waiter is in its wait
      EXPECT_TRUE(testsupport::AwaitTrue([&] { return tid != 0; }));
      EXPECT_TRUE(testsupport::AwaitAsleep(tid));
    }
    EXPECT_EQ(vLink_Destroy(&id), vErrNone);
    for (auto& th : waiters) th.join();
    EXPECT_EQ(returned.load(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(vLink_PutPacket(shared, nullptr), vErrParam);
  }
}

TEST_F(LinkRegistryStress, ConcurrentHoldersOfOneLinkKeepItUntilTheLastLetsGo) {
  uint32_t first = Create(0);
  ASSERT_NE(first, 0u);
  constexpr int kHolders = 6;
  std::atomic<int> sameId{0}, answered{0};
  std::vector<std::thread> holders;
  for (int h = 0; h < kHolders; ++h) {
    holders.emplace_back([&] {
      uint32_t id = Create(0);
      if (id == first) sameId++;
      if (AskModel(id) == 19) answered++;
      vLink_Destroy(&id);
    });
  }
  for (auto& th : holders) th.join();
  EXPECT_EQ(sameId.load(), kHolders);
  EXPECT_EQ(answered.load(), kHolders);
  // The first holder still has a running link.
  EXPECT_EQ(vLink_RegistryGetUseCount(first), 1);
  EXPECT_EQ(vLink_GetStatus(first), uint32_t(kLinkRunning));
  EXPECT_EQ(AskModel(first), 19);
  EXPECT_EQ(vLink_Destroy(&first), vErrNone);
  EXPECT_EQ(vLink_RegistryGetUseCount(first), -1);
}

}  // namespace
