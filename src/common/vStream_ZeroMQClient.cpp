// Client stream of a broker. The link's reader and writer threads each use a
// socket of their own (the incoming and outgoing pairs); a client thread
// moves frames between those pairs and the one socket connected to the
// broker, so no socket is ever used by two threads.
#include "vStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "Log.h"
#include "vPacket.h"
#include "vServer_ZeroMQ.h"

namespace {

constexpr int kPollMs = 1000;
constexpr int kSendTries = 100;

struct ClientStream {
  uint16_t check = vZMQCLIENT_CHECK;
  zsock_t* server = nullptr;        // connected to the broker; client thread
  zsock_t* outBound = nullptr;      // writer thread
  zsock_t* outConnected = nullptr;  // client thread
  zsock_t* inBound = nullptr;       // reader thread
  zsock_t* inConnected = nullptr;   // client thread
  zactor_t* thread = nullptr;
  zpoller_t* poller = nullptr;  // on inBound
  zframe_t* frame = nullptr;    // being read
  size_t position = 0;
  size_t size = 0;
  uint64_t skipped = 0;  // frames from the broker that were not whole packets
  int wake = -1;         // written by an interruption; ends the reader's wait
};

bool _vVALIDStream(const ClientStream* c) { return c && c->check == vZMQCLIENT_CHECK && c->server; }

// One frame without blocking, retried up to 100 times 1 ms apart.
bool sSend(zsock_t* socket, const void* data, size_t size) {
  void* handle = zsock_resolve(socket);
  for (int attempt = 0; attempt < kSendTries; attempt++) {
    if (zmq_send(handle, data, size, ZMQ_DONTWAIT) >= 0) return true;
    if (zmq_errno() != EAGAIN) return false;
    zclock_sleep(1);
  }
  return false;
}

void sForward(zsock_t* from, zsock_t* to) {
  zframe_t* frame = zframe_recv(from);
  if (!frame) return;
  sSend(to, zframe_data(frame), zframe_size(frame));
  zframe_destroy(&frame);
}

void _broker_task(zsock_t* pipe, void* argument) {
  ClientStream* c = static_cast<ClientStream*>(argument);
  zpoller_t* poller = zpoller_new(pipe, c->server, c->outConnected, nullptr);
  zsock_signal(pipe, 0);
  while (poller) {
    void* ready = zpoller_wait(poller, kPollMs);
    if (ready == pipe || zpoller_terminated(poller)) break;
    if (ready == c->server)
      sForward(c->server, c->inConnected);
    else if (ready == c->outConnected)
      sForward(c->outConnected, c->server);
  }
  zpoller_destroy(&poller);
}

// Waits for a frame on the incoming pair, or for an interruption, which ends
// the wait as a time-out so that a stop or a sync never waits out the poll.
vErr sWait(ClientStream* c, int timeoutMs) {
  if (c->frame) return vErrNone;
  zmq_pollitem_t items[2] = {{zsock_resolve(c->inBound), 0, ZMQ_POLLIN, 0},
                             {nullptr, c->wake, ZMQ_POLLIN, 0}};
  int ready = zmq_poll(items, c->wake >= 0 ? 2 : 1, timeoutMs);
  if (ready < 0) return vErrTimeout;
  if (c->wake >= 0 && vStream_WakeTake(c->wake, items[1].revents) &&
      !(items[0].revents & ZMQ_POLLIN))
    return vErrTimeout;
  return (items[0].revents & ZMQ_POLLIN) ? vErrNone : vErrTimeout;
}

// Takes the next frame from the broker. A frame that is not a run of whole
// packets is skipped with a log line: its bytes would put the link out of
// step, and nothing in it can be trusted to be a reply.
vErr sNextFrame(ClientStream* c) {
  // The reader sleeps in the wait procedure; here only what is there is taken.
  void* ready = zpoller_wait(c->poller, 0);
  if (!ready) return vErrNotReady;
  if (ready != c->inBound) return vErrUnknown;
  zframe_t* frame = zframe_recv(c->inBound);
  if (!frame) return vErrIO;
  vErr check = vStream_CheckBrokerFrame(zframe_data(frame), zframe_size(frame));
  if (check != vErrNone) {
    c->skipped++;
    Log::log(DEBUG_Network, "Broker client: skipped a frame of %zu bytes (%s)\n",
             zframe_size(frame), check == vErrSize ? "empty" : "not whole packets");
    zframe_destroy(&frame);
    return vErrNotReady;
  }
  c->frame = frame;
  c->position = 0;
  c->size = zframe_size(frame);
  return vErrNone;
}

vErr _sZeroMQStreamGet(uint8_t* byte, void* ref) {
  ClientStream* c = static_cast<ClientStream*>(ref);
  if (!_vVALIDStream(c) || !byte) return vErrParam;
  if (!c->frame) {
    vErr err = sNextFrame(c);
    if (err != vErrNone) return err;
  }
  *byte = zframe_data(c->frame)[c->position++];
  if (c->position >= c->size) zframe_destroy(&c->frame);
  return vErrNone;
}

vErr _sZeroMQStreamPut(uint8_t, void*) { return vErrUnimplemented; }

vErr _sZeroMQStreamWrite(const uint8_t* bytes, size_t n, void* ref) {
  ClientStream* c = static_cast<ClientStream*>(ref);
  if (!_vVALIDStream(c) || (!bytes && n)) return vErrParam;
  // A send that cannot be delivered is dropped; the caller's wait for a reply runs out.
  sSend(c->outBound, bytes, n);
  return vErrNone;
}

vErr _sZeroMQStreamWait(uint32_t timeoutMs, void* ref) {
  ClientStream* c = static_cast<ClientStream*>(ref);
  if (!_vVALIDStream(c)) return vErrNone;  // let get report it
  return sWait(c, int(timeoutMs > kPollMs ? kPollMs : timeoutMs));
}

void _sZeroMQStreamInterrupt(void* ref) {
  ClientStream* c = static_cast<ClientStream*>(ref);
  if (_vVALIDStream(c)) vStream_WakeGive(c->wake);
}

void sFree(ClientStream* c) {
  if (c->wake >= 0) close(c->wake);
  zactor_destroy(&c->thread);
  zpoller_destroy(&c->poller);
  zsock_destroy(&c->server);
  zsock_destroy(&c->outBound);
  zsock_destroy(&c->outConnected);
  zsock_destroy(&c->inBound);
  zsock_destroy(&c->inConnected);
  zframe_destroy(&c->frame);
  c->check = 0;
  delete c;
}

vErr _sZeroMQStreamDelete(void* ref) {
  ClientStream* c = static_cast<ClientStream*>(ref);
  if (!_vVALIDStream(c)) return vErrIO;
  sFree(c);
  return vErrNone;
}

zsock_t* sDealer() {
  zsock_t* s = zsock_new(ZMQ_DEALER);
  if (s) {
    zsock_set_linger(s, 0);
    zsock_set_sndtimeo(s, 0);
  }
  return s;
}

// The pairs between the link's threads and the client thread are in-process
// endpoints: a frame passes without the kernel or the socket library's I/O
// thread. Each pair is named by a number no other pair of this process has
// had.
std::atomic<uint64_t> sPairNumber{0};

vErr sPair(zsock_t** bound, zsock_t** connected) {
  *bound = sDealer();
  *connected = sDealer();
  if (!*bound || !*connected) return vErrMemory;
  unsigned long long number = ++sPairNumber;
  if (zsock_bind(*bound, "inproc://velmarine-client-%llu", number) != 0) return vErrConnection;
  return zsock_connect(*connected, "inproc://velmarine-client-%llu", number) == 0 ? vErrNone
                                                                                  : vErrConnection;
}

}  // namespace

vErr vStream_CheckBrokerFrame(const uint8_t* frame, size_t size) {
  if (size == 0) return vErrSize;
  if (!frame) return vErrParam;
  for (size_t at = 0; at < size;) {
    if (size - at < 2 || frame[at + 1] > vPACKET_MAX_DATA || size_t(frame[at + 1]) > size - at - 2)
      return vErrPacket;
    at += size_t(frame[at + 1]) + 2;
  }
  return vErrNone;
}

vErr vStream_CreateClient(uint32_t ipAddress, uint16_t port, vStream** stream) {
  if (!stream) return vErrParam;
  *stream = nullptr;
  ClientStream* c = new (std::nothrow) ClientStream();
  if (!c) return vErrMemory;
  vErr err = sPair(&c->outBound, &c->outConnected);
  if (err == vErrNone) err = sPair(&c->inBound, &c->inConnected);
  if (err == vErrNone) {
    char dotted[INET_ADDRSTRLEN] = "";
    char local[64];
    struct in_addr address;
    address.s_addr = ipAddress;
    c->server = sDealer();
    if (!c->server)
      err = vErrMemory;
    else if (vServer_LocalEndpoint(ipAddress, port, local, sizeof local))
      err = zsock_connect(c->server, "%s", local) == 0 ? vErrNone : vErrConnection;
    else if (!inet_ntop(AF_INET, &address, dotted, sizeof dotted) ||
             zsock_connect(c->server, "tcp://%s:%u", dotted, unsigned(port)) != 0)
      err = vErrConnection;
  }
  if (err == vErrNone) {
    c->poller = zpoller_new(c->inBound, nullptr);
    c->wake = vStream_WakeCreate();
    if (!c->poller || c->wake < 0) err = vErrMemory;
  }
  if (err == vErrNone) {
    c->thread = zactor_new(_broker_task, c);
    if (!c->thread) err = vErrResource;
  }
  vStream* made = nullptr;
  if (err == vErrNone) {
    made = vStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                          _sZeroMQStreamDelete, c);
    if (!made || vStream_SetWaitProc(made, _sZeroMQStreamWait) != vErrNone ||
        vStream_SetInterruptProc(made, _sZeroMQStreamInterrupt) != vErrNone)
      err = vErrResource;
  }
  if (err != vErrNone) {
    if (made) {
      vStream_Destroy(&made);  // deletes the record too
    } else {
      // A record without its server socket does not count as valid; free it directly.
      sFree(c);
    }
    return err;
  }
  *stream = made;
  return vErrNone;
}
