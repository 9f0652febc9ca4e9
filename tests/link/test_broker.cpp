// The broker against a simulated module: clients get only their own replies
// under load, byte writes reach the module uninterrupted, stream batches go
// to the clients that enabled streaming, route commands stay with the
// broker, hostile frames are dropped, and the broker announces itself only
// once it knows its module's model.
#include <atomic>
#include <thread>

#include "BrokerFixture.h"
#include "LogCapture.h"
#include "vDiscovery.h"
#include "vStream_ZeroMQClient.h"
#include "vUEI.h"

using namespace brokertest;

namespace {

// Two clients' echo requests carry the client's tag and a running number.
void EchoLoad(uint32_t id, uint8_t tag, int count, std::atomic<int>* good, std::atomic<int>* bad) {
  for (int n = 0; n < count; ++n) {
    std::vector<uint8_t> request = {0x17, tag, uint8_t(n >> 8), uint8_t(n)};
    if (Broker::Put(id, kAddress, request) != vErrNone) {
      ++bad;
      continue;
    }
    std::vector<uint8_t> reply = Broker::Next(id);
    if (reply == request)
      ++*good;
    else
      ++*bad;
  }
}

// The announcement of the broker on this port, as a local search finds it.
bool FoundBySearch(uint16_t port, linkSpec* found) {
  struct Want {
    uint16_t port;
    linkSpec* found;
  } want{port, found};
  auto take = [](const linkSpec* spec, bool* accepted, void* ref) {
    Want* w = static_cast<Want*>(ref);
    if (spec->t.ip.ipPort != w->port) return true;
    *w->found = *spec;
    *accepted = true;
    return false;
  };
  return vDiscovery_EnumerateModules(linkTypeVMesh, take, &want, 0) == 1;
}

}  // namespace

TEST_F(Broker, TwoClientsUnderLoadGetOnlyTheirOwnReplies) {
  uint32_t a = Client(), b = Client();
  std::atomic<int> goodA{0}, badA{0}, goodB{0}, badB{0};
  std::thread ta(EchoLoad, a, 0xA, 2000, &goodA, &badA);
  std::thread tb(EchoLoad, b, 0xB, 2000, &goodB, &badB);
  ta.join();
  tb.join();
  EXPECT_EQ(goodA, 2000);
  EXPECT_EQ(goodB, 2000);
  EXPECT_EQ(badA + badB, 0);
  // Nothing is left over for either.
  EXPECT_TRUE(Next(a, 100).empty());
  EXPECT_TRUE(Next(b, 100).empty());
  EXPECT_EQ(sim.Stats(ep.id).violations, 0u);
}

TEST_F(Broker, AByteWriteReachesTheModuleInOnePieceAndAReadReplyWhole) {
  uint32_t a = Client(), b = Client();
  // Three packets of one byte run: 24, 24 and 2 bytes.
  auto part = [](uint8_t sequence, uint8_t bytes) {
    std::vector<uint8_t> d = {kCapture, 0x81, 0x20};
    for (uint8_t i = 0; i < bytes; ++i) d.push_back(uint8_t(sequence * 24 + i));
    d.push_back(sequence);
    return d;
  };
  auto first = part(0, 24), second = part(1, 24), last = part(2, 2);
  first.back() |= 0x80;
  second.back() |= 0x80;
  ASSERT_EQ(Put(a, kAddress, first), vErrNone);
  // The other client is served while the run is being collected.
  ASSERT_EQ(Put(b, kAddress, {kCapture, 0x42, 0x20}), vErrNone);
  EXPECT_EQ(Next(b), (std::vector<uint8_t>{kCapture, 0x42, 0}));
  ASSERT_EQ(Put(a, kAddress, second), vErrNone);
  ASSERT_EQ(Put(b, kAddress, {kCapture, 0x43, 0x20}), vErrNone);
  ASSERT_EQ(Put(a, kAddress, last), vErrNone);
  EXPECT_EQ(Next(a), (std::vector<uint8_t>{kCapture, 0x81, 0}));
  EXPECT_EQ(Next(b), (std::vector<uint8_t>{kCapture, 0x43, 0}));
  auto seen = captured.Get();
  ASSERT_EQ(seen.size(), 5u);
  size_t at = 0;
  while (at < seen.size() && seen[at].Data() != first) ++at;
  ASSERT_LE(at + 2, seen.size() - 1);
  EXPECT_EQ(seen[at + 1].Data(), second);
  EXPECT_EQ(seen[at + 2].Data(), last);

  // A run that skips a sequence number is dropped: no reply, nothing sent on.
  ASSERT_EQ(Put(a, kAddress, first), vErrNone);
  ASSERT_EQ(Put(a, kAddress, last), vErrNone);
  EXPECT_TRUE(Next(a, 500).empty());
  EXPECT_EQ(captured.Get().size(), 5u);

  // A byte value read back in two packets arrives whole and in order.
  ASSERT_EQ(Put(b, kAddress, {3, 0x40 | 32, 0x20}), vErrNone);
  auto one = Next(b), two = Next(b);
  ASSERT_EQ(one.size(), 28u);
  EXPECT_EQ(one.back(), 0x80);
  ASSERT_GE(two.size(), 4u);
  EXPECT_EQ(two.back(), 1);
}

TEST_F(Broker, StreamBatchesReachOnlyClientsThatEnabledStreaming) {
  uint32_t listener = Client(), quiet = Client();
  velsim::StreamSource source;
  source.command = 7;
  source.option = 2;
  source.index = 1;
  stream->AddSource(source);
  stream->Attach(ep.id);
  stream->SetRate(500);
  stream->Start();
  const uint32_t key = uint32_t(kAddress) << 24 | 7 << 16 | 0xFF << 8 | 1;
  std::vector<uint8_t> enable = {
      0x5D, 0x81, 0x20, uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)};
  ASSERT_EQ(Put(listener, kAddress, enable), vErrNone);
  EXPECT_EQ(Next(listener), (std::vector<uint8_t>{0x5D, 0xC1, 0}));
  int samples = 0;
  for (int i = 0; i < 50; ++i) {
    auto d = Next(listener, 1000);
    if (d.size() == 17 && d[0] == 7 && (d[2] & 0x40)) ++samples;
  }
  EXPECT_EQ(samples, 50);
  // The other client sees requests answered and no sample.
  ASSERT_EQ(Put(quiet, kAddress, {0x17, 1}), vErrNone);
  EXPECT_EQ(Next(quiet), (std::vector<uint8_t>{0x17, 1}));
  EXPECT_TRUE(Next(quiet, 200).empty());

  // Unsubscribed, the client stays on the streaming list; the module stops.
  enable[1] = 0x82;
  ASSERT_EQ(Put(listener, kAddress, enable), vErrNone);
  // The reply comes among the samples still on their way.
  auto disabled = [](const vPacket* p, const void*) -> uint8_t {
    return p->length == 3 && p->data[0] == 0x5D && p->data[1] == 0xC2;
  };
  vPacket* reply = vLink_AwaitFirst(listener, disabled, nullptr, 5000);
  EXPECT_NE(reply, nullptr);
  vPacket_Destroy(&reply);
  EXPECT_EQ(stream->Subscriptions(), 0u);
}

TEST_F(Broker, StreamEnablesAreCountedAcrossClients) {
  uint32_t a = Client(), b = Client();
  auto request = [](uint8_t option, uint32_t key) {
    return std::vector<uint8_t>{
        0x5D,        option, 0x20, uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8),
        uint8_t(key)};
  };
  const uint32_t key = uint32_t(kAddress) << 24 | 7 << 16 | 0xFF << 8 | 1;
  const std::vector<uint8_t> enabled = {0x5D, 0xC1, 0}, disabled = {0x5D, 0xC2, 0};
  // Only the first enable and the last disable reach the module; the others
  // get the same reply from the broker.
  for (uint32_t id : {a, b, a}) {
    ASSERT_EQ(Put(id, kAddress, request(0x81, key)), vErrNone);
    EXPECT_EQ(Next(id), enabled);
  }
  EXPECT_EQ(stream->Requests(), 1u);
  ASSERT_EQ(Put(b, kAddress, request(0x82, key)), vErrNone);
  EXPECT_EQ(Next(b), disabled);
  EXPECT_EQ(stream->Subscriptions(), 1u);
  ASSERT_EQ(Put(a, kAddress, request(0x82, key)), vErrNone);
  EXPECT_EQ(Next(a), disabled);
  EXPECT_EQ(stream->Subscriptions(), 0u);
  EXPECT_EQ(stream->Requests(), 2u);
  // A refused enable holds nothing: the next client's goes to the module too.
  const uint32_t refused = key + 1;
  stream->Reject(refused, 5);
  for (uint32_t id : {a, b}) {
    ASSERT_EQ(Put(id, kAddress, request(0x81, refused)), vErrNone);
    EXPECT_EQ(Next(id), (std::vector<uint8_t>{0x5D, 0xC1, 0x80, 5}));
  }
  EXPECT_EQ(stream->Requests(), 4u);
}

TEST(BrokerClient, SkipsEmptyAndMalformedFramesAndTheLinkStaysUsable) {
  // A plain ROUTER plays the broker and sends what it likes.
  zsock_t* router = zsock_new(ZMQ_ROUTER);
  ASSERT_NE(router, nullptr);
  zsock_set_linger(router, 0);
  zsock_set_rcvtimeo(router, 2500);
  int port = zsock_bind(router, "tcp://127.0.0.1:*");
  ASSERT_GT(port, 0);
  uint32_t id = vLink_CreateClient(htonl(INADDR_LOOPBACK), uint16_t(port), 0);
  ASSERT_NE(id, 0u);
  // The next request of the client (what it sends on its own is passed by).
  auto request = [&](zframe_t** identity) {
    for (int i = 0; i < 20; ++i) {
      zmsg_t* m = zmsg_recv(router);
      if (!m) return false;
      *identity = zmsg_pop(m);
      zframe_t* f = zmsg_first(m);
      bool echo = f && zframe_size(f) >= 3 && zframe_data(f)[2] == 0x17;
      zmsg_destroy(&m);
      if (echo) return true;
      zframe_destroy(identity);
    }
    return false;
  };
  auto send = [&](zframe_t* identity, std::vector<uint8_t> frame) {
    zframe_t* who = zframe_dup(identity);
    zframe_send(&who, router, ZFRAME_MORE);
    zframe_t* what = zframe_new(frame.data(), frame.size());
    zframe_send(&what, router, 0);
  };
  for (uint8_t n = 1; n <= 2; ++n) {
    ASSERT_EQ(Broker::Put(id, kAddress, {0x17, n}), vErrNone);
    zframe_t* identity = nullptr;
    ASSERT_TRUE(request(&identity));
    send(identity, {kAddress, 2, 0x17, n});
    send(identity, {});                                    // empty
    send(identity, {kAddress, 40, 1, 2});                  // length byte above 28
    send(identity, {kAddress, 5, 1, 2});                   // ends inside its packet
    send(identity, {kAddress, 2, 0x17, uint8_t(n + 10)});  // good again
    zframe_destroy(&identity);
    EXPECT_EQ(Broker::Next(id), (std::vector<uint8_t>{0x17, n}));
    EXPECT_EQ(Broker::Next(id), (std::vector<uint8_t>{0x17, uint8_t(n + 10)}));
    EXPECT_EQ(vLink_GetStatus(id), uint32_t(kLinkRunning));
  }
  vLink_Destroy(&id);
  zsock_destroy(&router);
}

TEST_F(Broker, TwoSearchesAtTheSameMomentBothFindTheBroker) {
  vServer_SetModel(server, kModel);
  linkSpec first{}, second{};
  std::atomic<bool> go{false};
  bool foundFirst = false, foundSecond = false;
  std::thread a([&] {
    while (!go) std::this_thread::yield();
    foundFirst = FoundBySearch(port, &first);
  });
  std::thread b([&] {
    while (!go) std::this_thread::yield();
    foundSecond = FoundBySearch(port, &second);
  });
  go = true;
  a.join();
  b.join();
  EXPECT_TRUE(foundFirst);
  EXPECT_TRUE(foundSecond);
}

TEST_F(Broker, RouteCommandsStayWithTheBrokerAndHostileFramesAreDropped) {
  LogCapture log(DEBUG_Network);
  uint32_t a = Client();
  const uint64_t routesBefore = sim.Stats(ep.id).routeOn;
  ASSERT_EQ(Put(a, 0xAF, {1}), vErrNone);
  EXPECT_TRUE(Next(a, 300).empty());
  EXPECT_EQ(sim.Stats(ep.id).routeOn, routesBefore);

  zsock_t* hostile = RawClient();
  const uint8_t oneByte[1] = {4};
  uint8_t tooLong[31] = {4, 28};
  const uint8_t badLength[4] = {4, 29, 1, 2};
  const uint8_t shortData[4] = {4, 5, 0x17, 1};
  zsock_send(hostile, "b", oneByte, sizeof oneByte);
  zsock_send(hostile, "b", tooLong, sizeof tooLong);
  zsock_send(hostile, "b", badLength, sizeof badLength);
  zsock_send(hostile, "b", shortData, sizeof shortData);
  zsock_send(hostile, "bb", shortData, sizeof shortData, shortData, sizeof shortData);
  // The hostile client's good request is still served, and so are the others.
  const uint8_t echo[4] = {4, 2, 0x17, 9};
  zsock_send(hostile, "b", echo, sizeof echo);
  zframe_t* reply = zframe_recv(hostile);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(zframe_data(reply), zframe_data(reply) + zframe_size(reply)),
            (std::vector<uint8_t>{4, 2, 0x17, 9}));
  zframe_destroy(&reply);
  ASSERT_EQ(Put(a, kAddress, {0x17, 2}), vErrNone);
  EXPECT_EQ(Next(a), (std::vector<uint8_t>{0x17, 2}));
  EXPECT_EQ(vServer_DroppedFrames(server), 5u);
  EXPECT_NE(log.Text().find("dropped a client message (wrong frame count"), std::string::npos);
  EXPECT_NE(log.Text().find("(frame size, 31 bytes)"), std::string::npos);
  zsock_destroy(&hostile);
  EXPECT_EQ(sim.Stats(ep.id).violations, 0u);
}

TEST_F(Broker, AClientThatGoesMidRequestHarmsNoOther) {
  uint32_t a = Client();
  // The module answers late; the client is gone by then.
  velsim::FaultConfig slow;
  slow.delayMs = 300;
  slow.delayCommand = 0x17;
  sim.SetFaults(Serial(), slow);
  zsock_t* leaving = RawClient();
  const uint8_t echo[4] = {4, 2, 0x17, 7};
  zsock_send(leaving, "b", echo, sizeof echo);
  zsock_destroy(&leaving);
  ASSERT_EQ(Put(a, kAddress, {0x17, 8}), vErrNone);
  EXPECT_EQ(Next(a), (std::vector<uint8_t>{0x17, 8}));
}

TEST_F(Broker, ClientsGetNoAnswerButNoHangWhenTheModuleOrTheBrokerGoes) {
  uint32_t a = Client();
  ASSERT_EQ(Put(a, kAddress, {0x17, 1}), vErrNone);
  EXPECT_EQ(Next(a), (std::vector<uint8_t>{0x17, 1}));
  // The module unplugged: the request is dropped after the broker's wait.
  sim.DropLinks(ep.id, true);
  ASSERT_TRUE(WaitUntil([&] { return vLink_GetStatus(shared) == kLinkIOError; }));
  ASSERT_EQ(Put(a, kAddress, {0x17, 2}), vErrNone);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Next(a, 3000).empty());
  // The broker itself gone: the client's link stays, its waits end on time.
  vLink_Destroy(&shared);
  ASSERT_EQ(Put(a, kAddress, {0x17, 3}), vErrNone);
  EXPECT_EQ(vLink_AwaitFirst(
                a, [](const vPacket*, const void*) -> uint8_t { return 1; }, nullptr, 500),
            nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  uint32_t copy = a;
  EXPECT_EQ(vLink_Destroy(&copy), vErrNone);
  clients.clear();
}

TEST_F(Broker, AnnouncesItselfOnlyOnceTheModelIsKnown) {
  linkSpec announced;
  EXPECT_FALSE(FoundBySearch(port, &announced));
  ASSERT_EQ(vServer_SetModel(server, kModel), vErrNone);
  // A search of another test may hold the reply port for a moment.
  bool found = false;
  for (int i = 0; i < 5 && !found; ++i) found = FoundBySearch(port, &announced);
  ASSERT_TRUE(found);
  linkSpec* spec = &announced;
  EXPECT_EQ(spec->type, linkTypeVMesh);
  EXPECT_EQ(spec->serialNumber, Serial());
  EXPECT_EQ(spec->model, kModel);
  EXPECT_EQ(spec->t.ip.ipAddress, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(spec->t.ip.ipPort, port);
  // The announcement leads to a working client.
  uint32_t id = vLink_CreateClient(spec->t.ip.ipAddress, uint16_t(spec->t.ip.ipPort), 0);
  clients.push_back(id);
  ASSERT_EQ(Put(id, kAddress, {0x17, 5}), vErrNone);
  EXPECT_EQ(Next(id), (std::vector<uint8_t>{0x17, 5}));
}

TEST(BrokerRecords, RefuseWhatTheyCannotServe) {
  EXPECT_EQ(vServer_Create(0x7FFFFFFF, 0, true), nullptr);
  EXPECT_EQ(vServer_Start(nullptr), vErrParam);
  vServer* none = nullptr;
  EXPECT_EQ(vServer_Destroy(&none), vErrParam);
  uint16_t port = 0;
  EXPECT_EQ(vServer_GetPort(nullptr, &port), vErrParam);
  EXPECT_EQ(vServer_SetModel(nullptr, 1), vErrParam);
  EXPECT_EQ(vServer_FlushFIFO(nullptr), vErrParam);
  EXPECT_EQ(vLink_CreateClient(0, 0, 0x7FFFFFFF), 0u);
  EXPECT_EQ(vStream_CreateClient(0, 0, nullptr), vErrParam);
  uint16_t p = 0;
  uint32_t iface = 0;
  EXPECT_EQ(vLink_CreateServer(0x7FFFFFFF, &p, nullptr, true), 0u);
  // No USB module here: nothing to share, nothing left open.
  EXPECT_EQ(vLink_CreateServer(0x7FFFFFFF, &p, &iface, true), 0u);
  EXPECT_EQ(vLink_RegistryFindByIdentifier(0x7FFFFFFF), 0u);

  // Frames as the broker reads them.
  vPacket* packet = vPacket_Create();
  const uint8_t ok[5] = {4, 3, 1, 2, 3};
  EXPECT_EQ(vServer_FrameToPacket(ok, sizeof ok, packet), vErrNone);
  EXPECT_EQ(packet->length, 3);
  EXPECT_EQ(vServer_FrameToPacket(ok, 1, packet), vErrSize);
  uint8_t big[31] = {4, 28};
  EXPECT_EQ(vServer_FrameToPacket(big, 31, packet), vErrSize);
  EXPECT_EQ(vServer_FrameToPacket(big, 30, packet), vErrNone);
  EXPECT_EQ(vServer_FrameToPacket(ok, 4, packet), vErrPacket);
  big[1] = 29;
  EXPECT_EQ(vServer_FrameToPacket(big, 30, packet), vErrPacket);
  vPacket_Destroy(&packet);
}
