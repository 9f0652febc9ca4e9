// velmarine-share: one process shares a module through a broker, any number
// of others use it at the same time, streams included.
//
//   velmarine-share serve SERIAL       share the USB module SERIAL until interrupted
//   velmarine-share simulate SERIAL [ADDRESS]
//                                      share a simulated module that streams values,
//                                      on the network interface ADDRESS if given
//   velmarine-share read WHERE [N]     read the module's system values N times
//                                      ("connected" on standard error once it is)
//   velmarine-share watch WHERE SECS [CMD/OPTION/INDEX]
//                                      subscribe to a stream (default 7/255/1, 255
//                                      for any) and count its samples
//   velmarine-share state WHERE        whether the module streams anything
//
// WHERE is a serial number (the broker is found on this host), SERIAL@ADDRESS
// (found on the network through the interface ADDRESS) or port=N (the broker
// on this host's port N).
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "Entity.h"
#include "SimStream.h"
#include "VelmarineSim.h"
#include "vLink.h"
#include "vServer_ZeroMQ.h"

using namespace Corvane::Velmarine;

namespace {

constexpr uint8_t kWatchedCommand = 7;
constexpr uint8_t kWatchedOption = 2;
// The simulated module streams entities 7/1 and 7/2.
constexpr uint8_t kWatchedIndex = 1;
constexpr uint8_t kOtherIndex = 2;

volatile sig_atomic_t sStop = 0;

void sOnSignal(int) { sStop = 1; }

void WaitForSignal() {
  signal(SIGINT, sOnSignal);
  signal(SIGTERM, sOnSignal);
  while (!sStop) usleep(50 * 1000);
}

int Usage() {
  fprintf(stderr,
          "usage: velmarine-share serve SERIAL | simulate SERIAL [ADDRESS] | read WHERE [N] | "
          "watch WHERE SECONDS [CMD/OPTION/INDEX] | state WHERE\n");
  return 2;
}

bool ParseSerial(const char* text, uint32_t* serial) {
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 16);
  if (!*text || *end || value > 0xFFFFFFFFul) return false;
  *serial = uint32_t(value);
  return true;
}

// Connects to the module behind a broker: found by serial number, or on a port.
vErr ConnectClient(Module& module, const char* where) {
  vMeshConfig config;
  config.fallback = false;
  module.setConfig(config);
  if (strncmp(where, "port=", 5) == 0) {
    linkSpec spec{};
    spec.type = linkTypeVMesh;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = uint32_t(atoi(where + 5));
    return module.connectFromSpec(spec);
  }
  std::string text = where;
  size_t at = text.find('@');
  if (at != std::string::npos) {
    if (inet_pton(AF_INET, text.c_str() + at + 1, &config.networkInterface) != 1) return vErrParam;
    module.setConfig(config);
    text.resize(at);
  }
  uint32_t serial = 0;
  if (!ParseSerial(text.c_str(), &serial)) return vErrParam;
  // A search passes a broker by while another search (of another process)
  // is asking it at the same moment: a few searches make sure.
  vErr err = vErrNotFound;
  for (int attempt = 0; attempt < 3 && err == vErrNotFound; attempt++)
    err = module.connect(linkTypeVMesh, serial);
  return err;
}

int Serve(uint32_t serial) {
  // The default configuration shares a USB module through a broker.
  Module module(0);
  vErr err = module.connect(linkTypeUSB, serial);
  if (err != vErrNone) {
    fprintf(stderr, "cannot share %08X: %s\n", serial, vError_GetErrorText(err));
    return 1;
  }
  vMeshConfig config;
  module.getConfig(&config);
  printf("broker %08X port %u\n", serial, unsigned(config.port));
  fflush(stdout);
  WaitForSignal();
  return 0;
}

// A simulated module on a TCP link of this process, shared by the same
// broker a USB module gets, with two values that stream 100 times a second.
int Simulate(uint32_t serial, const char* network) {
  uint32_t interfaceAddress = 0;
  if (network && inet_pton(AF_INET, network, &interfaceAddress) != 1) return Usage();
  velsim::Simulator sim;
  velsim::ModuleConfig c;
  c.serial = serial;
  sim.AddModule(c);
  velsim::SimStream stream(sim, serial, c.address);
  velsim::StreamSource source;
  source.command = kWatchedCommand;
  source.option = kWatchedOption;
  source.index = kWatchedIndex;
  source.kind = 3;
  stream.AddSource(source);
  source.index = kOtherIndex;
  stream.AddSource(source);
  stream.SetRate(100);
  velsim::Endpoint ep = sim.OpenTcp(serial, 0);
  stream.Attach(ep.id);
  sim.Start();
  stream.Start();
  uint32_t link = vLink_CreateTCPIP(htonl(INADDR_LOOPBACK), ep.port);
  // On a network interface the broker listens there and answers beacons.
  vServer* server = link ? vServer_Create(link, interfaceAddress, network == nullptr) : nullptr;
  uint16_t port = 0;
  if (!server || vServer_Start(server) != vErrNone) {
    fprintf(stderr, "cannot start the broker\n");
    if (server) vServer_Destroy(&server);
    vLink_Destroy(&link);
    return 1;
  }
  vLink_RegistrySetServer(link, server);  // destroyed with the link
  vServer_SetSerialNumber(server, serial);
  vServer_SetModuleAddress(server, c.address);
  vServer_SetModel(server, c.model);
  vServer_GetPort(server, &port);
  printf("broker simulated %08X port %u\n", serial, unsigned(port));
  fflush(stdout);
  WaitForSignal();
  vLink_Destroy(&link);
  stream.Stop();
  sim.Stop();
  return 0;
}

int Read(const char* where, int times) {
  Module module(0);
  vErr err = ConnectClient(module, where);
  if (err != vErrNone) {
    fprintf(stderr, "cannot reach %s: %s\n", where, vError_GetErrorText(err));
    return 1;
  }
  // Said as soon as the link is up, so that one who waits for it knows the
  // reads have begun (their result is printed only at the end).
  fprintf(stderr, "connected\n");
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t serial = 0, version = 0;
  uint8_t model = 0;
  for (int i = 0; i < times; i++) {
    err = sys.getSerialNumber(&serial);
    if (err == vErrNone) err = sys.getModel(&model);
    if (err == vErrNone) err = sys.getVersion(&version);
    if (err != vErrNone) {
      fprintf(stderr, "read %d failed: %s\n", i + 1, vError_GetErrorText(err));
      return 1;
    }
  }
  printf("serial %08X model %u address %u reads %d\n", serial, unsigned(model),
         unsigned(module.getModuleAddress()), times);
  return 0;
}

// What a watcher saw: every sample of its stream counts, a jump in the
// source's running value counts the samples missed in between, and a sample
// of another stream than the one subscribed is foreign.
struct Watched {
  uint8_t command, option, index;
  std::atomic<uint64_t> samples{0}, missed{0}, foreign{0};
  std::atomic<uint32_t> last{0};
};

uint8_t CountSample(const vPacket* p, void* ref) {
  Watched* w = static_cast<Watched*>(ref);
  uint32_t value = 0;
  if (getStreamSample(p, nullptr, &value, nullptr) != vErrNone) return 0;
  const bool mine = p->data[0] == w->command && (p->data[2] & 0x1F) == w->index &&
                    (w->option == STREAM_KEY_ANY || (p->data[1] & 0x3F) == w->option);
  if (!mine) {
    ++w->foreign;
    return 0;
  }
  uint32_t last = w->last.exchange(value);
  if (last != 0 && value > last + 1) w->missed += value - last - 1;
  ++w->samples;
  return 0;
}

int Watch(const char* where, int seconds, const char* which) {
  Watched w;
  w.command = kWatchedCommand;
  w.option = STREAM_KEY_ANY;
  w.index = kWatchedIndex;
  if (which) {
    unsigned c = 0, o = 0, i = 0;
    if (sscanf(which, "%u/%u/%u", &c, &o, &i) != 3 || c > 255 || o > 255 || i > 255) return Usage();
    w.command = uint8_t(c);
    w.option = uint8_t(o);
    w.index = uint8_t(i);
  }
  Module module(0);
  vErr err = ConnectClient(module, where);
  if (err != vErrNone) {
    fprintf(stderr, "cannot reach %s: %s\n", where, vError_GetErrorText(err));
    return 1;
  }
  Link* link = module.getLink();
  const uint8_t address = module.getModuleAddress();
  err = link->registerStreamCallback(address, w.command, w.option, w.index, true, CountSample, &w);
  if (err != vErrNone) {
    fprintf(stderr, "cannot subscribe: %s\n", vError_GetErrorText(err));
    return 1;
  }
  printf("subscribed\n");
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  err = link->enableStream(address, w.command, w.option, w.index, false);
  if (err != vErrNone) fprintf(stderr, "cannot unsubscribe: %s\n", vError_GetErrorText(err));
  printf("samples %llu missed %llu foreign %llu latest %u dropped %llu\n",
         (unsigned long long)w.samples.load(), (unsigned long long)w.missed.load(),
         (unsigned long long)w.foreign.load(), w.last.load(),
         (unsigned long long)link->getStreamDropCount());
  return err == vErrNone ? 0 : 1;
}

int State(const char* where) {
  Module module(0);
  vErr err = ConnectClient(module, where);
  uint8_t state = 0;
  if (err == vErrNone) err = module.getLink()->isLinkStreaming(module.getModuleAddress(), &state);
  if (err != vErrNone) {
    fprintf(stderr, "cannot ask %s: %s\n", where, vError_GetErrorText(err));
    return 1;
  }
  printf("streaming %u\n", unsigned(state));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  uint32_t serial = 0;
  if (command == "serve" && ParseSerial(argv[2], &serial)) return Serve(serial);
  if (command == "simulate" && ParseSerial(argv[2], &serial))
    return Simulate(serial, argc > 3 ? argv[3] : nullptr);
  if (command == "read") return Read(argv[2], argc > 3 ? atoi(argv[3]) : 1);
  if (command == "watch" && argc > 3)
    return Watch(argv[2], atoi(argv[3]), argc > 4 ? argv[4] : nullptr);
  if (command == "state") return State(argv[2]);
  return Usage();
}

#if defined(__SANITIZE_THREAD__)
// libzmq and CZMQ are not built for ThreadSanitizer: messages handed between
// their threads through lock-free pipes show up as races whose ordering it
// cannot see. Only reports inside those two libraries are suppressed.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:libczmq.so\n";
}
#endif
