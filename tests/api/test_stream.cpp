// Stream subscriptions of a Link and of entities against the module
// simulator: wildcard subscriptions and the value cache, stream packets taken
// out of the reply flow, rejected and refused subscriptions, status tables,
// and a slow callback that must neither stall the reader nor lose values.
#include <atomic>
#include <chrono>
#include <thread>

#include "ApiSim.h"
#include "Entity.h"
#include "Link.h"
#include "LogCapture.h"
#include "SimStream.h"
#include "vLink.h"

using namespace apitest;
using namespace Corvane::Velmarine;

namespace {

constexpr uint8_t kStreamed = 7;  // an entity class whose values the module streams

velsim::StreamSource Source(uint8_t option, uint8_t kind, uint8_t index = 1, uint8_t sub = 0) {
  velsim::StreamSource s;
  s.command = kStreamed;
  s.option = option;
  s.index = index;
  s.kind = kind;
  s.subindex = sub;
  return s;
}

// Callback state shared with the worker thread.
struct Seen {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> lastValue{0};
  std::atomic<int> sleepMs{0};
};

uint8_t Count(const vPacket* p, void* ref) {
  Seen* seen = static_cast<Seen*>(ref);
  uint32_t value = 0;
  if (getStreamSample(p, nullptr, &value, nullptr) == vErrNone) seen->lastValue = value;
  if (seen->sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(seen->sleepMs));
  ++seen->calls;
  return 0;
}

// Each test is run once per round: a test may consume what it looks at.
bool WaitUntil(const std::function<bool()>& test, int ms = 3000) {
  for (int i = 0; i < ms / 5; ++i) {
    if (test()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return test();
}

class StreamTest : public ApiSim {
 protected:
  void Extend() override {
    stream.reset(new velsim::SimStream(sim, kSerial, kAddress));
    // The module turns down subscriptions of entity 9.
    stream->Reject(uint32_t(kAddress) << 24 | kStreamed << 16 | 0xFF << 8 | 9, vErrBusy);
  }
  void TearDown() override {
    stream->Stop();
    ApiSim::TearDown();
  }
  void Send(const velsim::StreamSource& s, uint32_t value, uint64_t ts = 0x0000000100000002ull) {
    sim.SendPacket(ep.id, velsim::StreamSample(kAddress, s, ts, value));
  }
  // A round trip, so that everything the module sent before has been read.
  void Settle(Link& link) {
    uei u{};
    u.address = kAddress;
    u.command = 3;
    u.option = 0x49;
    u.index = 0x20;
    ASSERT_EQ(link.sendUEI(u), vErrNone);
    u.option = 9;
    u.index = 0;
    ASSERT_EQ(link.receiveUEI(kAddress, 3, 9, 0, &u), vErrNone);
  }
  std::unique_ptr<velsim::SimStream> stream;
};

}  // namespace

TEST(StreamKeys, KeysSamplesAndTimestamps) {
  uint64_t key = createStreamKey(2, 7, 3, 1, 9);
  EXPECT_EQ(key, 0x0902070301ull);
  const uint8_t elements[] = {2, 7, 3, 1, 9};
  for (int e = 0; e < 5; ++e) EXPECT_EQ(getStreamKeyElement(key, e), elements[e]);
  EXPECT_EQ(getStreamKeyElement(key, 5), 0);
  uint32_t upper = 0, lower = 0;
  getTimestampParts(0x1122334455667788ull, &upper, nullptr);
  getTimestampParts(0x1122334455667788ull, nullptr, &lower);
  EXPECT_EQ(upper, 0x11223344u);
  EXPECT_EQ(lower, 0x55667788u);

  // Every kind of sample, read back whole; one byte short is no sample.
  struct Row {
    uint8_t kind;
    uint32_t value;
    uint8_t length;
  } rows[] = {{1, 0xAB, 14}, {2, 0xABCD, 15}, {3, 0xABCDEF01, 17},
              {5, 0xAB, 15}, {6, 0xABCD, 16}, {7, 0xABCDEF01, 18}};
  for (const Row& r : rows) {
    velsim::Packet wire =
        velsim::StreamSample(4, Source(3, r.kind, 1, 6), 0x0102030405060708ull, r.value);
    ASSERT_EQ(wire.length, r.length) << int(r.kind);
    vPacket* p = vPacket_CreateWithData(wire.address, wire.length, wire.data.data());
    STREAM_PACKET kind;
    ASSERT_TRUE(getStreamPacketType(p, &kind));
    EXPECT_EQ(kind, r.kind);
    uint64_t ts = 0;
    uint32_t value = 0;
    uint8_t sub = 99;
    ASSERT_EQ(getStreamSample(p, &ts, &value, &sub), vErrNone) << int(r.kind);
    EXPECT_EQ(ts, 0x0102030405060708ull);
    EXPECT_EQ(value, r.value);
    EXPECT_EQ(sub, r.kind >= 5 ? 6 : 0);
    p->length--;
    p->data[p->length - 1] = 0;
    EXPECT_FALSE(isStreamSample(p));
    EXPECT_EQ(getStreamSample(p, &ts, &value, &sub), vErrPacket);
    vPacket_Destroy(&p);
  }
  // A continued byte value is kind 4 and gives no sample; kind 9 is no stream packet.
  const uint8_t bytes[] = {7, 3, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0x81};
  vPacket* p = vPacket_CreateWithData(4, sizeof bytes, bytes);
  STREAM_PACKET kind;
  ASSERT_TRUE(getStreamPacketType(p, &kind));
  EXPECT_EQ(kind, STREAM_PACKET_BYTES);
  EXPECT_EQ(getStreamSample(p, nullptr, nullptr, nullptr), vErrSize);
  p->data[13] = 0;
  p->data[3] = 9;
  EXPECT_FALSE(getStreamPacketType(p, &kind));
  EXPECT_EQ(kind, STREAM_PACKET_NONE);
  vPacket_Destroy(&p);
}

TEST(StreamRing, HoldsOneLessThanItsSlotsAndKeepsOrder) {
  LocklessQueue_SPSC<int> ring(4);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(ring.push(i));
  EXPECT_FALSE(ring.push(4));
  int out = 0;
  for (int round = 0; round < 10; ++round) {  // wraps around many times
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(out, round + 1);
    EXPECT_TRUE(ring.push(round + 4));
  }
  int n = 0;
  while (ring.pop(out)) ++n;
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(ring.pop(out));
}

TEST_P(StreamTest, WildcardSubscriptionCachesEachOptionAndHidesStreamPackets) {
  Link link(Spec(), "streams");
  ASSERT_EQ(link.connect(), vErrNone);
  Seen seen;
  ASSERT_EQ(link.registerStreamCallback(kAddress, kStreamed, 0xFF, 1, true, Count, &seen),
            vErrNone);
  EXPECT_EQ(stream->Subscriptions(), 1u);
  uint8_t state = 0;
  ASSERT_EQ(link.isLinkStreaming(kAddress, &state), vErrNone);
  EXPECT_EQ(state, 1);

  Send(Source(3, 3), 1234);
  Send(Source(5, 1), 17);
  // Kind 4 and a stream of another entity: taken out of the flow, nothing cached.
  const uint8_t run[] = {kStreamed, 3, 0x41, 1, 0xAA, 0x81};
  sim.SendPacket(ep.id, velsim::Packet::Make(kAddress, {run, run + sizeof run}));
  Send(Source(3, 3, 2), 99);
  // A kind-1 sample one byte short: the callback runs, the cache stays.
  velsim::Packet shortSample = velsim::StreamSample(kAddress, Source(6, 1), 0, 55);
  shortSample.length--;
  shortSample.data[shortSample.length - 1] = 0;
  sim.SendPacket(ep.id, shortSample);
  Settle(link);
  ASSERT_TRUE(WaitUntil([&] { return seen.calls >= 4; }));

  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 3, 1, 0, &value), vErrNone);
  EXPECT_EQ(value, 1234u);
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 3, 1, 0, &value), vErrStreamStale);
  EXPECT_EQ(value, 1234u);
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 5, 1, 0, &value), vErrNone);
  EXPECT_EQ(value, 17u);
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 6, 1, 0, &value), vErrNotFound);
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 3, 2, 0, &value), vErrNotFound);
  // No reply wait ever sees a stream packet.
  uint8_t length = 1, data[28];
  const uint8_t match = kStreamed;
  EXPECT_EQ(link.receivePacket(kAddress, &match, &length, data), vErrTimeout);

  // Two concrete streams and room for one.
  StreamStatusEntry table[2];
  size_t count = 0;
  EXPECT_EQ(link.getStreamStatus(kAddress, kStreamed, 0xFF, 1, 0xFF, table, 1, &count), vErrSize);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(link.getStreamStatus(kAddress, kStreamed, 0xFF, 1, 0xFF, table, 2, &count), vErrNone);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(table[0].key, createStreamKey(kAddress, kStreamed, 3, 1, 0));
  EXPECT_EQ(table[0].value, 1234u);
  EXPECT_EQ(table[1].value, 17u);
  EXPECT_EQ(link.getStreamStatus(kAddress, kStreamed, 0xFF, 1, 0xFF, nullptr, 2, &count),
            vErrParam);

  // Unsubscribing removes the pattern and what it cached, and tells the module.
  ASSERT_EQ(link.enableStream(kAddress, kStreamed, 0xFF, 1, false), vErrNone);
  EXPECT_EQ(stream->Subscriptions(), 0u);
  EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 3, 1, 0, &value), vErrNotFound);
  // A sample still on its way after the unsubscription never reaches a reply wait.
  Send(Source(3, 3), 5);
  length = 1;
  EXPECT_EQ(link.receivePacket(kAddress, &match, &length, data), vErrTimeout);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(StreamTest, RefusedAndRejectedSubscriptionsLeaveNothingBehind) {
  Link link(Spec(), "refused");
  ASSERT_EQ(link.connect(), vErrNone);
  EXPECT_EQ(link.enableStream(3, kStreamed, 0xFF, 1, true), vErrParam);
  EXPECT_EQ(link.enableStream(0xFF, kStreamed, 0xFF, 1, true), vErrParam);
  EXPECT_EQ(link.enableStream(kAddress, kStreamed, 0xFF, 9, true), vErrBusy);
  EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_EQ(stream->Requests(), 1u);
  // The link still answers as usual: no filter was left in its way.
  Send(Source(3, 3), 5);
  uint8_t length = 1, data[28];
  const uint8_t match = kStreamed;
  EXPECT_EQ(link.receivePacket(kAddress, &match, &length, data), vErrNone);

  Link unconnected(Spec(), "unconnected");
  EXPECT_EQ(unconnected.enableStream(kAddress, kStreamed, 0xFF, 1, true), vErrConnection);
  EXPECT_TRUE(unconnected.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  StreamStatusEntry entry;
  size_t count = 0;
  EXPECT_EQ(unconnected.getStreamStatus(kAddress, 7, 0xFF, 1, 0xFF, &entry, 1, &count),
            vErrConnection);
}

TEST_P(StreamTest, SlowCallbackNeitherStallsTheReaderNorLosesCachedValues) {
  LogCapture log(DEBUG_Network);
  Link link(Spec(), "slow");
  ASSERT_EQ(link.connect(), vErrNone);
  Seen seen;
  seen.sleepMs = 300;
  ASSERT_EQ(link.registerStreamCallback(kAddress, kStreamed, 3, 1, true, Count, &seen), vErrNone);
  // Far more samples than the callback queue holds while the first callback sleeps.
  for (uint32_t v = 1; v <= 700; ++v) Send(Source(3, 2), v);
  // The reader keeps up: a request is answered at once, and the cache has
  // the newest value.
  auto start = std::chrono::steady_clock::now();
  Settle(link);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  uint32_t value = 0;
  ASSERT_TRUE(WaitUntil([&] {
    return link.getStreamValue(kAddress, kStreamed, 3, 1, 0, &value) == vErrNone && value == 700;
  }));
  EXPECT_GE(link.getStreamDropCount(), 700u - 499u - 1u);
  // The drops show in the diagnostic log.
  seen.sleepMs = 0;
  ASSERT_TRUE(
      WaitUntil([&] { return uint64_t(seen.calls) + link.getStreamDropCount() == 700; }, 5000));
  ASSERT_TRUE(
      WaitUntil([&] { return log.Text().find("stream callbacks dropped") != std::string::npos; }));
}

TEST_P(StreamTest, EntitiesReadStreamedValuesFromTheCacheAndTheModuleStreamsAtItsRate) {
  Module module(0);
  ASSERT_EQ(module.connectFromSpec(Spec()), vErrNone);
  EntityClass entity;
  entity.init(&module, kStreamed, 1);
  stream->AddSource(Source(3, 1));
  stream->AddSource(Source(4, 6, 1, 2));
  stream->AddSource(Source(4, 3, 2));  // another entity: never subscribed
  stream->Attach(ep.id);
  stream->SetRate(200);
  stream->Start();
  Seen seen;
  ASSERT_EQ(entity.registerOptionCallback(4, true, Count, &seen), vErrNone);
  ASSERT_EQ(entity.setStreamEnabled(true), vErrNone);
  ASSERT_TRUE(WaitUntil([&] { return seen.calls >= 20; }));
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  ASSERT_TRUE(WaitUntil([&] { return entity.getUEI8(3, &u8) == vErrNone; }));
  EXPECT_GT(u8, 0);
  // With a parameter the cache is looked up by subindex.
  ASSERT_TRUE(WaitUntil([&] { return entity.getUEI16(4, 2, &u16) == vErrNone; }));
  EXPECT_GT(u16, 0);
  StreamStatusEntry table[8];
  size_t count = 0;
  ASSERT_EQ(entity.getStreamStatus(table, 8, &count), vErrNone);
  EXPECT_EQ(count, 2u);

  ASSERT_EQ(entity.setStreamEnabled(false), vErrNone);
  stream->Stop();
  // A value no longer cached is read from the module again.
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t serial = 0;
  EXPECT_EQ(sys.getSerialNumber(&serial), vErrNone);
  EXPECT_EQ(serial, kSerial);
  EXPECT_EQ(Violations(), 0u) << Notes();
}

TEST_P(StreamTest, EntityReadsAnswerFromTheCacheOnceThenStale) {
  Module module(0);
  ASSERT_EQ(module.connectFromSpec(Spec()), vErrNone);
  EntityClass entity;
  entity.init(&module, kStreamed, 1);
  ASSERT_EQ(entity.setStreamEnabled(true), vErrNone);
  Send(Source(2, 1), 42);
  uint8_t u8 = 0;
  ASSERT_TRUE(WaitUntil([&] { return entity.getUEI8(2, &u8) == vErrNone; }));
  EXPECT_EQ(u8, 42);
  EXPECT_EQ(entity.getUEI8(2, &u8), vErrStreamStale);
  EXPECT_EQ(u8, 42);
  Send(Source(2, 1), 43);
  ASSERT_TRUE(WaitUntil([&] { return entity.getUEI8(2, &u8) == vErrNone; }));
  EXPECT_EQ(u8, 43);
}

TEST_P(StreamTest, TwoLinksOnOneLinkIdKeepTheirOwnSubscriptions) {
  // Both Links hold the same link of the link engine, so they share its filter.
  Link a(Spec(), "a"), b(Spec(), "b");
  ASSERT_EQ(a.connect(), vErrNone);
  ASSERT_EQ(b.connect(), vErrNone);
  Seen seenA, seenB;
  ASSERT_EQ(a.registerStreamCallback(kAddress, kStreamed, 0xFF, 1, true, Count, &seenA), vErrNone);
  ASSERT_EQ(b.registerStreamCallback(kAddress, kStreamed, 0xFF, 2, true, Count, &seenB), vErrNone);
  auto both = [&](uint32_t from, Link& settle) {
    for (uint32_t v = from; v < from + 5; ++v) {
      Send(Source(3, 3, 1), v);
      Send(Source(3, 3, 2), 100 + v);
    }
    Settle(settle);
  };
  both(1, a);
  ASSERT_TRUE(WaitUntil([&] { return seenA.calls == 5 && seenB.calls == 5; }));
  EXPECT_EQ(seenA.lastValue, 5u);
  EXPECT_EQ(seenB.lastValue, 105u);
  // B leaves: A keeps every sample, and none reaches a reply wait of either.
  ASSERT_EQ(b.enableStream(kAddress, kStreamed, 0xFF, 2, false), vErrNone);
  both(6, a);
  ASSERT_TRUE(WaitUntil([&] { return seenA.calls == 10; }));
  EXPECT_EQ(seenB.calls, 5);
  uint8_t length = 1, data[28];
  const uint8_t match = kStreamed;
  EXPECT_EQ(a.receivePacket(kAddress, &match, &length, data), vErrTimeout);
  length = 1;
  EXPECT_EQ(b.receivePacket(kAddress, &match, &length, data), vErrTimeout);
  // A disconnecting takes nothing from B's next subscription.
  ASSERT_EQ(a.disconnect(), vErrNone);
  ASSERT_EQ(b.registerStreamCallback(kAddress, kStreamed, 0xFF, 2, true, Count, &seenB), vErrNone);
  both(11, b);
  EXPECT_TRUE(WaitUntil([&] { return seenB.calls == 10; }));
}

TEST_P(StreamTest, AllWildcardSubscriptionMatchesAndAnErrorReplyWithOtherBitsFails) {
  Link link(Spec(), "slips");
  ASSERT_EQ(link.connect(), vErrNone);
  Seen seen;
  ASSERT_EQ(link.registerStreamCallback(kAddress, 0xFF, 0xFF, 0xFF, true, Count, &seen), vErrNone);
  Send(Source(3, 3, 4), 77);
  Settle(link);
  ASSERT_TRUE(WaitUntil([&] { return seen.calls == 1; }));
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(kAddress, kStreamed, 3, 4, 0, &value), vErrNone);
  EXPECT_EQ(value, 77u);
  ASSERT_EQ(link.enableStream(kAddress, 0xFF, 0xFF, 0xFF, false), vErrNone);

  // An error reply whose index byte carries more than the error bit (0xA0)
  // is still a refusal: queued before the request, it is the reply it finds.
  sim.SendPacket(ep.id, velsim::Packet::Make(kAddress, {0x5D, 0xC1, 0xA0, uint8_t(vErrBusy)}));
  Settle(link);
  EXPECT_EQ(link.enableStream(kAddress, kStreamed, 0xFF, 1, true), vErrBusy);
  EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamTest, ::testing::Values("tcp", "pty"));
