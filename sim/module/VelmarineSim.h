// Simulated Velmarine modules that speak the packet protocol from the module's
// side on TCP connections, pseudo-terminals and socket pairs, with faults that
// tests switch on. Framing and checking are written here, apart from the host library.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velsim {

constexpr uint8_t kProbeAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;
constexpr uint8_t kMaxData = 28;

// One packet as it travels: address, length and up to 28 data bytes.
struct Packet {
  uint8_t address = 0;
  uint8_t length = 0;
  std::array<uint8_t, kMaxData> data{};

  static Packet Make(uint8_t address, const std::vector<uint8_t>& data);
  std::vector<uint8_t> Wire() const;
  std::vector<uint8_t> Data() const { return {data.begin(), data.begin() + length}; }
  std::string Describe() const;  // "04 03 48 20" style hex of the wire bytes
  bool operator==(const Packet& o) const { return Wire() == o.Wire(); }
};

// Packs a firmware version as modules report it (0x2F major minor patch from
// 2.15 on, the legacy 4-4-24 bit layout below that).
uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch);

struct ModuleConfig {
  uint32_t serial = 0x40F5849A;
  uint8_t model = 19;
  uint8_t address = 4;  // even and non-zero
  uint8_t router = 0;   // address of the module it routes through (0: none)
  uint32_t version = 0x2F020F03;
  uint32_t build = 1;
  uint32_t heartbeatMs = 0;  // interval of the module's heartbeats, 0 for none
  std::string name;          // the system entity's name value
  // The chip fingerprint, W0 to W3; a get of option 39 with parameter j reads word 3-j.
  std::array<uint32_t, 4> fingerprint = {0x1A2B3C4D, 0x5E6F7081, 0x92A3B4C5, 0xD6E7F809};
  // Upgrade loader: the chunk size its Prepare replies announce, how long the
  // module is away after Reboot and after a Load that restarts it, and a file
  // that keeps its flash, build and version across runs (empty: none).
  uint16_t blockSize = 2048;
  uint32_t rebootPauseMs = 500;
  uint32_t loadPauseMs = 300;
  std::string stateFile;
  // Starts in its upgrade loader (as after a boot ROM jumped to it): firmware
  // blocks are taken at once, without Init or Load.
  bool inLoader = false;
};

// A request command (and option code, -1 for any) that gets no reply.
struct MuteRule {
  int command = -1;
  int option = -1;
};

// The default bytes that break framing. The fault record copies them from this
// array rather than from a braced list: g++ 12 takes a list's temporary array
// for uninitialised where a record built that way is copied (-Wmaybe-uninitialized).
inline constexpr uint8_t kDefaultGarbage[] = {0x01, 0xFF, 0x03};

// Faults of one module, applied on every link to it.
struct FaultConfig {
  std::vector<uint8_t> garbage{std::begin(kDefaultGarbage), std::end(kDefaultGarbage)};
  int garbageAfter = -1;         // inject the garbage once after this many packets sent on a link
  int dropAfter = -1;            // drop the first link after it carried this many host packets
  bool refuseAfterDrop = false;  // stop listening when a link is dropped
  bool dropClose = false;        // drop with an orderly close instead of a TCP reset
  std::vector<MuteRule> mute;
  // Of the requests the module would answer (probes included), every Nth one
  // gets no reply: 2 answers every other request. 0: all are answered.
  uint32_t flakyEvery = 0;
  uint32_t delayMs = 0;                // replies leave this much later
  int delayCommand = -1;               // only replies to this command are delayed (-1: all)
  uint32_t splitBytes = 0;             // write bursts in chunks of this many bytes (0: whole)
  uint32_t splitGapMs = 2;             // pause between those chunks
  uint32_t heartbeatTimeoutMs = 1000;  // the host must answer a heartbeat within this time
  // Upgrade loader faults. Counts run over the module's life, from 1.
  int dataShortAt = -1;      // the Data packet with this number is acknowledged short...
  int dataShortRepeat = 1;   // ...and so are this many after it in all
  int sumOffAt = -1;         // the Sum with this number answers the sum plus one
  int prepareFailAt = -1;    // the Prepare with this number answers status 1
  int dropInBlockAt = -1;    // the link is dropped on the Data packet with this number
  bool loadDrop = false;     // Load restarts the module: the link drops, it comes back
  bool neverBack = false;    // after Reboot the module never comes back
  bool rebootClose = false;  // at Reboot TCP links end with an orderly close, not a reset
  bool initShort = false;    // Init is answered without the last byte of its load base
};

enum class EndpointKind { Tcp, Pty, Pair };

struct Endpoint {
  int id = 0;
  EndpointKind kind = EndpointKind::Tcp;
  std::string where;  // "127.0.0.1:PORT", "/dev/pts/N" or "fd N"
  uint16_t port = 0;  // TCP only
  uint32_t serial = 0;
  // The line the program prints: "tcp 127.0.0.1:PORT 40F5849A", "pty /dev/pts/3 40F5849A".
  std::string Line() const;
};

// What the module side saw on one endpoint, over all its links so far.
struct EndpointStats {
  uint64_t links = 0;  // connections accepted (pty: times a host attached)
  uint64_t openLinks = 0;
  uint64_t bytesIn = 0, bytesOut = 0;
  uint64_t packetsIn = 0, packetsOut = 0;
  uint64_t framingErrors = 0;   // bytes refused as address or length
  uint64_t partialDropped = 0;  // partial packets dropped after the inter-byte timeout
  uint64_t probes = 0, probeAnswers = 0;
  uint64_t routeOn = 0, routeOff = 0;
  int lastRoute = -1;
  uint64_t heartbeatsSent = 0, heartbeatAnswers = 0, heartbeatMissed = 0, heartbeatWrong = 0;
  uint64_t ueiRequests = 0, errorReplies = 0, muted = 0;
  uint64_t unrouted = 0;  // packets to an address no module here has
  std::vector<uint8_t>
      i2cWrites;            // device-network addresses written through the I2C entity, in order
  uint64_t i2cAcks = 0;     // of those, the ones a module behind answered
  uint64_t violations = 0;  // packets that break the protocol rules
  uint64_t drops = 0;       // links dropped by a fault
  std::vector<std::string> notes;  // the latest violations, newest last
};

// Collected replies of a module to one request.
struct Replies {
  std::vector<Packet> packets;
  void Add(const Packet& p) { packets.push_back(p); }
};

class SimModule;
// Handles one packet addressed to a module whose first data byte is the command.
using CommandHandler = std::function<void(SimModule& module, const Packet& request, Replies& out)>;

class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Set-up; each throws std::invalid_argument or std::runtime_error on a bad request.
  void AddModule(const ModuleConfig& config);
  void SetFaults(uint32_t serial, const FaultConfig& faults);
  FaultConfig Faults(uint32_t serial);
  Endpoint OpenTcp(uint32_t serial, uint16_t port = 0, const std::string& host = "127.0.0.1");
  Endpoint OpenPty(uint32_t serial);
  // A connected socket pair: the simulator keeps one end, the caller gets the other.
  Endpoint OpenPair(uint32_t serial, int* hostFd);
  void SetFrameTimeoutMs(uint32_t ms);
  void SetVerbose(bool on);
  // Extends a module with a command of its own (runs in the simulator's thread,
  // must not call back into the Simulator).
  void RegisterCommand(uint32_t serial, uint8_t command, CommandHandler handler);
  // Receives notable events as they happen, with the serial number of the
  // module on the endpoint: "route 1", "route 0", "i2c-write 06 ack" (or nack).
  // Runs in the simulator's thread; must not call back into the Simulator.
  void SetEventSink(std::function<void(uint32_t serial, const std::string& event)> sink);

  void Start();  // runs the links in a thread of their own
  void Stop();   // closes every endpoint and joins that thread
  bool Running() const;

  // Live control.
  void InjectGarbage(int endpoint, const std::vector<uint8_t>& bytes);
  void SendPacket(int endpoint, const Packet& packet);  // unsolicited, from the module
  // Ends every link of the endpoint: TCP with a reset (or an orderly close when
  // reset is false); a pty is hung up.
  void DropLinks(int endpoint, bool refuseNew, bool reset = true);
  void CloseEndpoint(int endpoint);
  void SetHeartbeat(uint32_t serial, uint32_t intervalMs);
  EndpointStats Stats(int endpoint);
  // Polls the endpoint's statistics every few ms until the test holds or timeoutMs passes.
  bool WaitFor(int endpoint, const std::function<bool(const EndpointStats&)>& test,
               int timeoutMs = 5000);
  // The system entity's value of an option (8- or 32-bit ones), as a host would read it.
  uint32_t OptionValue(uint32_t serial, uint8_t option);
  std::vector<uint8_t> OptionBytes(uint32_t serial, uint8_t option);
  // Upgrade loader state, as the module holds it: flash by the addresses the
  // firmware blocks were prepared at, and the identity it runs with now.
  std::map<uint32_t, std::vector<uint8_t>> Flash(uint32_t serial);
  ModuleConfig Config(uint32_t serial);
  bool HasModule(uint32_t serial);
  // False while the module restarts (after Reboot, or a Load that restarts it).
  bool Present(uint32_t serial);
  // A summary of every endpoint's statistics, one line each.
  std::string Summary();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The UDP discovery responder of TCP modules: answers the 16-byte request on
// 232.2.2.2:9888 with one 16-byte reply per module to the requester's port 9889.
struct DiscoveryEntry {
  uint32_t serial = 0;
  uint8_t model = 0;
  uint8_t address = 0;
  uint16_t port = 0;  // the module's TCP port
};

struct DiscoveryOptions {
  std::string interfaceAddress;  // dotted IPv4 address to serve on; empty: every interface
  bool malformed = false;        // also send a short, an overlong and an empty reply first
  bool duplicate = false;        // send every reply twice
};

// The reply datagram for one module.
std::array<uint8_t, 16> DiscoveryReply(const DiscoveryEntry& entry);

class DiscoveryResponder {
 public:
  explicit DiscoveryResponder(std::vector<DiscoveryEntry> entries, DiscoveryOptions options = {});
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  // Joins the group and answers in a thread of its own; throws std::runtime_error
  // when the port can't be listened on, std::invalid_argument for a bad interface.
  void Start();
  void Stop();
  uint64_t Requests() const { return requests_; }
  uint64_t Ignored() const { return ignored_; }  // malformed or on another interface

 private:
  void Serve();
  std::vector<DiscoveryEntry> entries_;
  DiscoveryOptions options_;
  int fd_ = -1;
  uint32_t interface_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> requests_{0}, ignored_{0};
};

// Command-line forms, shared by the program and its tests.
// "serial=40F5849A,model=19,address=4,router=0,version=2.15.3,build=1234,hb=1000,name=Bench,
//  fingerprint=W0.W1.W2.W3,block-size=2048,reboot-pause=500,load-pause=300,state=FILE,loader"
ModuleConfig ParseModuleSpec(const std::string& spec);
// "garbage=01FF03,garbage-after=5,drop-after=3,refuse-after-drop,drop-close,mute=0xAD,mute=3:9,
//  flaky=2,delay=200,delay=200:0x49,split=3,split-gap=2,hb-timeout=1000,data-short=K,
//  data-short-repeat=N,sum-off=K,prepare-fail=K,drop-in-block=K,load-mute,load-drop,never-back,
//  reboot-close,init-short", added to faults.
void ParseFaultSpec(const std::string& spec, FaultConfig& faults);
// "1A2B3C4D.5E6F7081.92A3B4C5.D6E7F809": four hexadecimal words.
std::array<uint32_t, 4> ParseFingerprint(const std::string& text);
// The identity a flashed image gives the module: the text
// "VLMID build=N version=X.Y.Z;" anywhere in its flash. False when absent.
bool IdentityFromFlash(const std::map<uint32_t, std::vector<uint8_t>>& flash, uint32_t* build,
                       uint32_t* version);
// Decimal or 0x-prefixed number no larger than max.
uint32_t ParseNumber(const std::string& text, uint32_t max, const char* what);

}  // namespace velsim
