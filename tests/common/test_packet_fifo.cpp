// Packet queues: registry ids, copies, the 1000-packet limit, timed and
// filtered waits (each packet tested once), drains, and many threads using
// one queue while it is destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Await.h"
#include "vPacketFifo.h"

namespace {

vPacket* Make(uint8_t tag) {
  uint8_t data[1] = {tag};
  return vPacket_CreateWithData(2, 1, data);
}

void PutTag(uint64_t q, uint8_t tag) {
  vPacket* p = Make(tag);
  ASSERT_EQ(vPacketFifo_Put(q, p), vErrNone);
  vPacket_Destroy(&p);
}

uint8_t TakeTag(vPacket* p) {
  uint8_t tag = p ? p->data[0] : 0xFF;
  vPacket_Destroy(&p);
  return tag;
}

uint8_t MatchTag(const vPacket* p, const void* ref) {
  return p->data[0] == *static_cast<const uint8_t*>(ref);
}

struct CountingFilter {
  std::atomic<int> calls{0};
  uint8_t wanted;
  static uint8_t Call(const vPacket* p, const void* ref) {
    auto* self = static_cast<CountingFilter*>(const_cast<void*>(ref));
    self->calls++;
    return p->data[0] == self->wanted;
  }
};

uint8_t AcceptAll(const vPacket*, const void*) { return 1; }
uint8_t AcceptNone(const vPacket*, const void*) { return 0; }
uint8_t AcceptOdd(const vPacket* p, const void*) { return p->data[0] & 1; }

TEST(PacketFifo, IdsAreNeverZeroNorReusedAndStaleIdsAreHarmless) {
  uint64_t a = vPacketFifo_Create();
  uint64_t b = vPacketFifo_Create();
  EXPECT_NE(a, 0u);
  EXPECT_GT(b, a);
  uint64_t stale = a;
  EXPECT_EQ(vPacketFifo_Destroy(&a), vErrNone);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(vPacketFifo_Destroy(&stale), vErrNotFound);
  EXPECT_EQ(vPacketFifo_Destroy(nullptr), vErrParam);
  uint64_t c = vPacketFifo_Create();
  EXPECT_GT(c, b);

  vPacket* p = Make(1);
  EXPECT_EQ(vPacketFifo_Put(0, p), vErrParam);
  EXPECT_EQ(vPacketFifo_Put(stale, p), vErrParam);
  EXPECT_EQ(vPacketFifo_Get(stale), nullptr);
  EXPECT_EQ(vPacketFifo_Await(stale, 10), nullptr);
  EXPECT_EQ(vPacketFifo_GetLength(stale), 0u);
  EXPECT_EQ(vPacketFifo_DrainPackets(stale, AcceptAll, nullptr), 0u);
  vPacket invalid = {};
  EXPECT_EQ(vPacketFifo_Put(c, &invalid), vErrParam);
  EXPECT_EQ(vPacketFifo_Put(c, nullptr), vErrParam);
  EXPECT_EQ(vPacketFifo_GetLength(c), 0u);
  vPacket_Destroy(&p);
  vPacketFifo_Destroy(&b);
  vPacketFifo_Destroy(&c);
}

TEST(PacketFifo, QueuedAndReturnedPacketsAreIndependentCopies) {
  uint64_t q = vPacketFifo_Create();
  vPacket* p = Make(7);
  ASSERT_EQ(vPacketFifo_Put(q, p), vErrNone);
  p->data[0] = 8;  // changing or destroying the original leaves the copy alone
  vPacket_Destroy(&p);
  PutTag(q, 9);
  vPacket* first = vPacketFifo_Get(q);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->data[0], 7);
  vPacket_Destroy(&first);
  EXPECT_EQ(vPacketFifo_GetLength(q), 1u);
  EXPECT_EQ(TakeTag(vPacketFifo_Get(q)), 9);
  EXPECT_EQ(vPacketFifo_Get(q), nullptr);
  vPacketFifo_Destroy(&q);
}

TEST(PacketFifo, PutPast1000EmptiesTheQueue) {
  uint64_t q = vPacketFifo_Create();
  for (int i = 0; i < 1000; i++) PutTag(q, uint8_t(i));
  EXPECT_EQ(vPacketFifo_GetLength(q), 1000u);
  PutTag(q, 1);
  EXPECT_EQ(vPacketFifo_GetLength(q), 0u);
  PutTag(q, 2);
  EXPECT_EQ(vPacketFifo_GetLength(q), 1u);
  EXPECT_EQ(TakeTag(vPacketFifo_Get(q)), 2);
  vPacketFifo_Destroy(&q);
}

TEST(PacketFifo, AwaitTimesOutAndWakesOnPut) {
  uint64_t q = vPacketFifo_Create();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vPacketFifo_Await(q, 50), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));

  const pid_t consumer = testsupport::ThreadId();
  std::thread producer([q, consumer] {
    testsupport::AwaitAsleep(consumer);  // in its wait
    PutTag(q, 5);
  });
  EXPECT_EQ(TakeTag(vPacketFifo_Await(q, 5000)), 5);
  producer.join();
  vPacketFifo_Destroy(&q);
}

TEST(PacketFifo, FilteredTakesKeepTheOrderOfTheRest) {
  uint64_t q = vPacketFifo_Create();
  for (uint8_t t = 1; t <= 6; t++) PutTag(q, t);
  uint8_t want = 4;
  EXPECT_EQ(TakeTag(vPacketFifo_GetFirst(q, MatchTag, &want)), 4);
  want = 9;
  EXPECT_EQ(vPacketFifo_GetFirst(q, MatchTag, &want), nullptr);
  EXPECT_EQ(vPacketFifo_DrainPackets(q, AcceptNone, nullptr), 0u);
  EXPECT_EQ(vPacketFifo_DrainPackets(q, AcceptOdd, nullptr), 3u);
  EXPECT_EQ(TakeTag(vPacketFifo_Get(q)), 2);
  EXPECT_EQ(TakeTag(vPacketFifo_Get(q)), 6);
  PutTag(q, 1);
  PutTag(q, 3);
  EXPECT_EQ(vPacketFifo_DrainPackets(q, AcceptAll, nullptr), 2u);
  EXPECT_EQ(vPacketFifo_GetLength(q), 0u);
  vPacketFifo_Destroy(&q);
}

TEST(PacketFifo, AwaitFirstTestsEachPacketOnce) {
  uint64_t q = vPacketFifo_Create();
  for (uint8_t t = 1; t <= 3; t++) PutTag(q, t);
  CountingFilter filter;
  filter.wanted = 50;
  std::thread producer([q] {
    for (uint8_t t = 10; t < 20; t++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      PutTag(q, t);
    }
    PutTag(q, 50);
    PutTag(q, 51);
  });
  vPacket* found = vPacketFifo_AwaitFirst(q, CountingFilter::Call, &filter, 5000);
  producer.join();
  EXPECT_EQ(TakeTag(found), 50);
  // Three queued, ten later, then the match: fourteen calls at most, one per packet.
  EXPECT_EQ(filter.calls.load(), 14);
  EXPECT_EQ(vPacketFifo_GetLength(q), 14u);  // 3 + 10 + the trailing one

  // Nothing matching: every packet is still shown only once during the wait.
  CountingFilter none;
  none.wanted = 99;
  EXPECT_EQ(vPacketFifo_AwaitFirst(q, CountingFilter::Call, &none, 30), nullptr);
  EXPECT_EQ(none.calls.load(), 14);
  vPacketFifo_Destroy(&q);
}

TEST(PacketFifo, DestroyWakesWaiters) {
  uint64_t q = vPacketFifo_Create();
  std::atomic<int> woke{0};
  std::atomic<pid_t> tids[4] = {};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; i++) {
    waiters.emplace_back([q, &woke, &tids, i] {
      tids[i] = testsupport::ThreadId();
      EXPECT_EQ(vPacketFifo_Await(q, 20000), nullptr);
      woke++;
    });
  }
  waiters.emplace_back([q, &woke, &tids] {
    tids[3] = testsupport::ThreadId();
    EXPECT_EQ(vPacketFifo_AwaitFirst(q, AcceptNone, nullptr, 20000), nullptr);
    woke++;
  });
  for (auto& tid : tids) {  // every waiter is in its wait
    EXPECT_TRUE(testsupport::AwaitTrue([&] { return tid != 0; }));
    EXPECT_TRUE(testsupport::AwaitAsleep(tid));
  }
  auto start = std::chrono::steady_clock::now();
  uint64_t id = q;
  EXPECT_EQ(vPacketFifo_Destroy(&id), vErrNone);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woke.load(), 4);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Producers, consumers, filtered takers and drains on one queue at once, and
// a destroy in the middle: nothing lost before it, nothing crashes after it.
TEST(PacketFifo, ManyThreadsShareOneQueue) {
  uint64_t q = vPacketFifo_Create();
  const int kPerProducer = 300;
  std::atomic<int> taken{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < 3; p++) {
    threads.emplace_back([q, p] {
      for (int i = 0; i < kPerProducer; i++) PutTag(q, uint8_t(p * 2));
    });
  }
  for (int c = 0; c < 2; c++) {
    threads.emplace_back([&, q] {
      while (producing || vPacketFifo_GetLength(q) > 0) {
        if (vPacket* p = vPacketFifo_Await(q, 5)) {
          vPacket_Destroy(&p);
          taken++;
        }
      }
    });
  }
  threads.emplace_back([&, q] {
    uint8_t want = 2;
    while (producing || vPacketFifo_GetLength(q) > 0) {
      if (vPacket* p = vPacketFifo_AwaitFirst(q, MatchTag, &want, 5)) {
        EXPECT_EQ(p->data[0], 2);
        vPacket_Destroy(&p);
        taken++;
      }
    }
  });
  for (int i = 0; i < 3; i++) threads[i].join();
  producing = false;
  for (size_t i = 3; i < threads.size(); i++) threads[i].join();
  EXPECT_EQ(taken.load(), 3 * kPerProducer);

  // Users racing a destroy.
  std::vector<std::thread> racers;
  std::atomic<bool> go{true};
  std::atomic<int> rounds{0};
  for (int i = 0; i < 3; i++) {
    racers.emplace_back([&, q] {
      while (go) {
        vPacket* p = Make(1);
        vPacketFifo_Put(q, p);
        vPacket_Destroy(&p);
        if (vPacket* r = vPacketFifo_Await(q, 1)) vPacket_Destroy(&r);
        vPacketFifo_DrainPackets(q, AcceptOdd, nullptr);
        rounds++;
      }
    });
  }
  // Rounds of every kind before the destroy and after it.
  EXPECT_TRUE(testsupport::AwaitTrue([&] { return rounds >= 30; }));
  uint64_t id = q;
  EXPECT_EQ(vPacketFifo_Destroy(&id), vErrNone);
  const int destroyedAt = rounds;
  EXPECT_TRUE(testsupport::AwaitTrue([&] { return rounds >= destroyedAt + 30; }));
  go = false;
  for (auto& t : racers) t.join();
  EXPECT_EQ(vPacketFifo_GetLength(q), 0u);
}

}  // namespace
