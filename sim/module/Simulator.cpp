// The simulator's links: TCP servers, pseudo-terminals and socket pairs served
// by one poll loop in a thread of its own, the module-side handling of probes,
// route commands and heartbeats, and the faults injected into the byte streams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "SimFraming.h"
#include "SimModule.h"
#include "VelmarineSim.h"

namespace velsim {

namespace {

uint64_t NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

constexpr uint64_t kNever = ~uint64_t(0);
constexpr size_t kMaxNotes = 50;
constexpr uint32_t kPtyCheckMs = 100;
constexpr uint64_t kAnnounceAfterProbeMs = 300;
// A host that stops reading does not make the simulator grow without end:
// past this much pending output, what the module sends is lost, as on a wire.
constexpr size_t kMaxPendingOutput = 1 << 20;
constexpr size_t kWriteBurst = 1 << 16;  // most bytes handed to one write

std::string SerialText(uint32_t serial) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", serial);
  return buf;
}

std::runtime_error SysError(const std::string& what) {
  return std::runtime_error(what + ": " + strerror(errno));
}

struct Chunk {
  std::vector<uint8_t> bytes;
  size_t offset = 0;
  uint64_t notBefore = 0;
};

// One host link on an endpoint: a TCP connection, a pty's master side or a socket pair.
struct Link {
  int fd = -1;
  bool isSocket = true;
  bool open = true;        // pty: a host has the slave side open
  bool wantWrite = false;  // the last write would have blocked
  FrameParser parser;
  uint64_t lastByteMs = 0;
  std::deque<Chunk> out;
  size_t pendingBytes = 0;
  bool overflowNoted = false;
  uint64_t packetsIn = 0, packetsSent = 0;
  bool garbageDone = false;
  std::map<uint8_t, ByteRun> runs;  // by module address
  uint64_t nextHeartbeat = 0;       // 0: none scheduled
  uint32_t heartbeatCount = 0;
  std::deque<std::pair<uint8_t, uint64_t>> hbOutstanding;  // expected answer byte, deadline
  uint64_t announceAt = 0;  // when a restarted loader's Load reply goes out (0: none)
  bool dead = false;
};

struct EndpointRec {
  Endpoint ep;
  int listenFd = -1;
  std::vector<std::unique_ptr<Link>> links;
  uint64_t nextPtyCheck = 0;
  bool closed = false;
  std::string host;           // TCP: the address it listens on
  bool rebootClosed = false;  // TCP: not listening while its module restarts
  uint64_t nextListenTry = 0;
  EndpointStats stats;
};

struct ModuleRec {
  std::unique_ptr<SimModule> module;
  FaultConfig faults;
  bool dropDone = false;
  const void* routeLink = nullptr;  // the link its unsolicited traffic goes to, if any
  uint64_t downUntil = 0;           // restarting until then (kNever: for good)
  bool announceLoad = false;        // the loader's Load reply follows the next probe answer
  uint64_t answerable = 0;          // requests it would have answered, for the flaky fault
};

}  // namespace

struct Simulator::Impl {
  std::mutex m;
  std::map<uint32_t, ModuleRec> modules;
  std::vector<std::unique_ptr<EndpointRec>> endpoints;
  int nextEndpoint = 1;
  int wakeFd = -1;
  std::thread thread;
  std::atomic<bool> running{false};
  uint32_t frameTimeoutMs = 250;
  bool verbose = false;
  std::function<void(uint32_t, const std::string&)> eventSink;

  void Event(EndpointRec& e, const std::string& text) {
    if (eventSink) eventSink(e.ep.serial, text);
  }

  // The router's I2C entity: a write to a device-network address succeeds
  // only where a module sits behind the router (its acknowledge); anywhere
  // else the bus reports an I/O error. Reads and pull-up settings succeed.
  void HandleI2C(EndpointRec& e, SimModule& router, const Packet& p, Replies& r) {
    if (p.length < 3) return;
    const uint8_t index = p.data[1], address = p.data[2];
    if (address == 1 && p.length == 4) {  // pull-up setting
      r.Add(Packet::Make(router.address(), {8, index, 1, 0, 0}));
      return;
    }
    if (p.length < 5) return;
    if (address & 1) {
      r.Add(Packet::Make(router.address(), {8, index, address, 0, 0}));
      return;
    }
    bool present = false;
    for (auto& kv : modules)
      if (kv.second.module->address() == address &&
          kv.second.module->config().router == router.address() &&
          kv.second.module.get() != &router)
        present = true;
    e.stats.i2cWrites.push_back(address);
    if (present) ++e.stats.i2cAcks;
    char text[40];
    snprintf(text, sizeof text, "i2c-write %02X %s", address, present ? "ack" : "nack");
    Event(e, text);
    r.Add(Packet::Make(router.address(),
                       {8, index, address, 0, uint8_t(present ? 0 : 0x80 | 6 /* vErrIO */)}));
  }

  Impl() {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) throw SysError("eventfd");
  }
  ~Impl() {
    for (auto& e : endpoints) CloseAll(*e);
    if (wakeFd >= 0) close(wakeFd);
  }

  void Wake() {
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd, &one, sizeof one);
    (void)ignored;
  }

  ModuleRec& Module(uint32_t serial) {
    auto it = modules.find(serial);
    if (it == modules.end()) throw std::invalid_argument("no module " + SerialText(serial));
    return it->second;
  }

  EndpointRec& Ep(int id) {
    for (auto& e : endpoints)
      if (e->ep.id == id) return *e;
    throw std::invalid_argument("no endpoint " + std::to_string(id));
  }

  void Note(EndpointRec& e, const std::string& text) {
    ++e.stats.violations;
    e.stats.notes.push_back(text);
    if (e.stats.notes.size() > kMaxNotes) e.stats.notes.erase(e.stats.notes.begin());
    if (verbose) fprintf(stderr, "velmarine-sim: %s: %s\n", e.ep.Line().c_str(), text.c_str());
  }

  // --- links -------------------------------------------------------------

  void OpenLink(EndpointRec& e, Link& l, uint64_t now) {
    l.open = true;
    l.parser.Reset();
    l.out.clear();
    l.pendingBytes = 0;
    l.overflowNoted = false;
    l.runs.clear();
    l.hbOutstanding.clear();
    l.packetsIn = l.packetsSent = 0;
    l.garbageDone = false;
    l.wantWrite = false;
    ++e.stats.links;
    ++e.stats.openLinks;
    uint32_t hb = Module(e.ep.serial).module->heartbeatMs();
    l.nextHeartbeat = hb ? now + hb : 0;
    if (verbose) fprintf(stderr, "velmarine-sim: %s: host linked\n", e.ep.Line().c_str());
  }

  // Ends a link. reset sends a TCP reset instead of an orderly close.
  void EndLink(EndpointRec& e, Link& l, bool reset) {
    if (l.dead) return;
    if (l.open && e.stats.openLinks) --e.stats.openLinks;
    l.open = false;
    l.out.clear();
    l.pendingBytes = 0;
    ModuleRec& mr = Module(e.ep.serial);
    if (mr.routeLink == &l) mr.routeLink = nullptr;
    l.hbOutstanding.clear();
    if (e.ep.kind == EndpointKind::Pty && !reset) {
      // The master stays; the next host to open the pty starts a new link.
      e.nextPtyCheck = NowMs() + kPtyCheckMs;
      return;
    }
    if (reset && l.isSocket) {
      struct linger lg = {1, 0};
      setsockopt(l.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(l.fd);
    l.fd = -1;
    l.dead = true;
    if (e.ep.kind != EndpointKind::Tcp) e.closed = true;  // a hung-up pty or pair is gone
    if (verbose) fprintf(stderr, "velmarine-sim: %s: link ended\n", e.ep.Line().c_str());
  }

  void CloseAll(EndpointRec& e) {
    for (auto& l : e.links) EndLink(e, *l, false);
    for (auto& l : e.links)
      if (l->fd >= 0) {
        close(l->fd);
        l->fd = -1;
        l->dead = true;
      }
    if (e.listenFd >= 0) close(e.listenFd);
    e.listenFd = -1;
    e.closed = true;
  }

  void Prune(EndpointRec& e) {
    e.links.erase(std::remove_if(e.links.begin(), e.links.end(),
                                 [](const std::unique_ptr<Link>& l) { return l->dead; }),
                  e.links.end());
  }

  // --- output --------------------------------------------------------------

  // False when the bytes were lost because the host stopped reading.
  bool QueueBytes(Link& l, std::vector<uint8_t> bytes, uint64_t notBefore) {
    if (!l.open || l.dead) return false;
    if (l.pendingBytes + bytes.size() > kMaxPendingOutput) return false;
    if (!l.out.empty()) notBefore = std::max(notBefore, l.out.back().notBefore);
    l.pendingBytes += bytes.size();
    l.out.push_back(Chunk{std::move(bytes), 0, notBefore});
    return true;
  }

  void QueuePacket(EndpointRec& e, Link& l, const Packet& p, uint64_t notBefore) {
    if (!l.open || l.dead) return;
    if (!QueueBytes(l, p.Wire(), notBefore)) {
      if (!l.overflowNoted) Note(e, "host is not reading: module output lost");
      l.overflowNoted = true;
      return;
    }
    ++l.packetsSent;
    ++e.stats.packetsOut;
    if (verbose)
      fprintf(stderr, "velmarine-sim: %s: -> %s\n", e.ep.Line().c_str(), p.Describe().c_str());
    const FaultConfig& f = Module(e.ep.serial).faults;
    if (f.garbageAfter >= 0 && !l.garbageDone && l.packetsSent >= uint64_t(f.garbageAfter)) {
      l.garbageDone = true;
      QueueBytes(l, f.garbage, notBefore);
    }
  }

  // Writes what is due; with a split fault one chunk of the configured size at a
  // time. A final flush writes everything queued, whole.
  void Flush(EndpointRec& e, Link& l, uint64_t now, bool final = false) {
    const FaultConfig& f = Module(e.ep.serial).faults;
    while (l.open && !l.dead && !l.out.empty() && l.out.front().notBefore <= now) {
      std::vector<uint8_t> due;
      for (const Chunk& c : l.out) {
        if (c.notBefore > now || due.size() >= kWriteBurst) break;
        due.insert(due.end(), c.bytes.begin() + long(c.offset), c.bytes.end());
      }
      size_t n = due.size();
      if (f.splitBytes && !final) n = std::min<size_t>(n, f.splitBytes);
      ssize_t w = l.isSocket ? send(l.fd, due.data(), n, MSG_NOSIGNAL) : write(l.fd, due.data(), n);
      if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          l.wantWrite = true;
          return;
        }
        if (errno == EINTR) continue;
        EndLink(e, l, false);
        return;
      }
      l.wantWrite = false;
      e.stats.bytesOut += uint64_t(w);
      size_t left = size_t(w);
      while (left) {
        Chunk& c = l.out.front();
        size_t take = std::min(left, c.bytes.size() - c.offset);
        c.offset += take;
        left -= take;
        l.pendingBytes -= take;
        if (c.offset == c.bytes.size()) l.out.pop_front();
      }
      if (f.splitBytes && !final && !l.out.empty()) {
        // The rest of the burst follows after a pause.
        uint64_t next = now + f.splitGapMs;
        for (Chunk& c : l.out) c.notBefore = std::max(c.notBefore, next);
        return;
      }
    }
  }

  // --- input ---------------------------------------------------------------

  bool Muted(const FaultConfig& f, int command, int option) {
    for (const MuteRule& r : f.mute)
      if (r.command == command && (r.option < 0 || r.option == option)) return true;
    return false;
  }

  // Counts one request the module would answer; true when the flaky fault
  // swallows its reply.
  static bool Flaky(ModuleRec& rec) {
    if (!rec.faults.flakyEvery) return false;
    return ++rec.answerable % rec.faults.flakyEvery == 0;
  }

  void OnPacket(EndpointRec& e, Link& l, const Packet& p, uint64_t now) {
    ++e.stats.packetsIn;
    ++l.packetsIn;
    if (verbose)
      fprintf(stderr, "velmarine-sim: %s: <- %s\n", e.ep.Line().c_str(), p.Describe().c_str());
    ModuleRec& entry = Module(e.ep.serial);
    const FaultConfig& f = entry.faults;
    uint64_t delayed = now;
    // A module that is restarting hears nothing.
    if (now < entry.downUntil) return;

    if (p.address == kProbeAddress) {
      ++e.stats.probes;
      if (p.length != 0) Note(e, "probe with data: " + p.Describe());
      if (Muted(f, kProbeAddress, -1) || Flaky(entry)) {
        ++e.stats.muted;
      } else {
        if (f.delayMs && (f.delayCommand < 0 || f.delayCommand == kProbeAddress))
          delayed = now + f.delayMs;
        QueuePacket(e, l, Packet::Make(entry.module->address(), {}), delayed);
        ++e.stats.probeAnswers;
        // A loader that restarted on Load reports itself once the host is done
        // probing the new link (its synchronisation would swallow it before).
        if (entry.announceLoad) l.announceAt = now + kAnnounceAfterProbeMs;
      }
    } else if (p.address == kRouteAddress) {
      if (p.length != 1 || p.data[0] > 1) {
        Note(e, "malformed route command: " + p.Describe());
      } else if (p.data[0]) {
        // The module's own traffic (heartbeats) goes to this link only from now on.
        ++e.stats.routeOn;
        e.stats.lastRoute = 1;
        entry.routeLink = &l;
        Event(e, "route 1");
      } else {
        ++e.stats.routeOff;
        e.stats.lastRoute = 0;
        Event(e, "route 0");
        if (entry.routeLink == &l) entry.routeLink = nullptr;
      }
    } else {
      SimModule* target = nullptr;
      if (p.address == entry.module->address()) {
        target = entry.module.get();
      } else {
        // A module behind the entry module on its device network.
        for (auto& kv : modules)
          if (kv.second.module->address() == p.address &&
              kv.second.module->config().router == entry.module->address() &&
              kv.second.module.get() != entry.module.get())
            target = kv.second.module.get();
      }
      if (target && target != entry.module.get() && now < Module(target->serial()).downUntil) {
        // A module behind the router that is restarting.
      } else if (!target) {
        ++e.stats.unrouted;
        Note(e, "packet for an address no module answers: " + p.Describe());
      } else if (p.length == 2 && p.data[0] == SimModule::kHeartbeatCommand) {
        // The host's answer to a heartbeat.
        if (!l.hbOutstanding.empty() && l.hbOutstanding.front().first == p.data[1] &&
            target == entry.module.get()) {
          ++e.stats.heartbeatAnswers;
          l.hbOutstanding.pop_front();
        } else {
          ++e.stats.heartbeatWrong;
          Note(e, "unexpected heartbeat answer: " + p.Describe());
        }
      } else {
        if (p.length && p.data[0] == SimModule::kSystemCommand) ++e.stats.ueiRequests;
        Replies r;
        std::vector<std::string> notes;
        // A handler a test registered for the I2C command takes precedence.
        if (target == entry.module.get() && p.length && p.data[0] == 8 && !target->HasHandler(8))
          HandleI2C(e, *target, p, r);
        else
          target->Handle(p, l.runs[p.address], r, notes);
        for (auto& n : notes) Note(e, n);
        int cmd = p.length ? p.data[0] : -1;
        int opt = p.length > 1 ? (p.data[1] & 0x3F) : -1;
        // A module behind the router keeps its own muted requests.
        const FaultConfig& targetFaults = Module(target->serial()).faults;
        if (!r.packets.empty() &&
            (Muted(f, cmd, opt) || Muted(targetFaults, cmd, opt) || Flaky(entry))) {
          ++e.stats.muted;
        } else {
          if (f.delayMs && (f.delayCommand < 0 || f.delayCommand == cmd)) delayed = now + f.delayMs;
          for (const Packet& reply : r.packets) {
            if (reply.length == 4 && (reply.data[2] & 0x80) && cmd != SimModule::kQueryCommand &&
                cmd != SimModule::kEchoCommand)
              ++e.stats.errorReplies;
            QueuePacket(e, l, reply, delayed);
          }
        }
        LinkEvent event = target->TakeEvent();
        if (event != LinkEvent::None) ApplyEvent(e, l, *target, event, now);
      }
    }

    if (f.dropAfter >= 0 && !entry.dropDone && l.packetsIn >= uint64_t(f.dropAfter)) {
      entry.dropDone = true;
      ++e.stats.drops;
      if (f.refuseAfterDrop && e.listenFd >= 0) {
        close(e.listenFd);
        e.listenFd = -1;
      }
      EndLink(e, l, !f.dropClose || e.ep.kind != EndpointKind::Tcp);
    }
  }

  // What an upgrade request does to the module's links: one link dropped, or
  // the module restarting (every link to it ends, its TCP servers stop
  // listening until it is back).
  void ApplyEvent(EndpointRec& e, Link& l, SimModule& target, LinkEvent event, uint64_t now) {
    ModuleRec& rec = Module(target.serial());
    const FaultConfig& f = rec.faults;
    if (event == LinkEvent::DropLink) {
      ++e.stats.drops;
      EndLink(e, l, true);
      return;
    }
    const bool reboot = event == LinkEvent::Reboot;
    if (reboot) target.Reboot();
    uint32_t pause = reboot ? target.config().rebootPauseMs : target.config().loadPauseMs;
    rec.downUntil = reboot && f.neverBack ? kNever : now + pause;
    if (!reboot) rec.announceLoad = true;
    if (verbose)
      fprintf(stderr, "velmarine-sim: %s: module %s restarts\n", e.ep.Line().c_str(),
              SerialText(target.serial()).c_str());
    const bool graceful = reboot && f.rebootClose;
    for (auto& ep : endpoints) {
      if (ep->ep.serial != target.serial() || ep->closed) continue;
      for (auto& link : ep->links) {
        if (!link->open || link->dead) continue;
        ++ep->stats.drops;
        EndLink(*ep, *link, ep->ep.kind != EndpointKind::Pty && !graceful);
      }
      // A module that closes gracefully here stands for one that is back
      // before the host notices: its server keeps listening.
      if (ep->listenFd >= 0 && !graceful) {
        close(ep->listenFd);
        ep->listenFd = -1;
        ep->rebootClosed = true;
      }
    }
  }

  // Listens again on a restarted module's TCP port once it is back.
  void Relisten(EndpointRec& e, uint64_t now) {
    if (!e.rebootClosed || e.closed || now < e.nextListenTry) return;
    if (now < Module(e.ep.serial).downUntil) return;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(e.ep.port);
    inet_pton(AF_INET, e.host.c_str(), &sa.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0) {
      if (fd >= 0) close(fd);
      e.nextListenTry = now + 50;  // the port may still be held: try again shortly
      return;
    }
    e.listenFd = fd;
    e.rebootClosed = false;
  }

  void OnBytes(EndpointRec& e, Link& l, const uint8_t* bytes, size_t n, uint64_t now) {
    e.stats.bytesIn += n;
    for (size_t i = 0; i < n && l.open && !l.dead; ++i) {
      if (l.parser.InPacket() && now - l.lastByteMs > frameTimeoutMs) {
        l.parser.Reset();
        ++e.stats.partialDropped;
      }
      l.lastByteMs = now;
      Packet p;
      switch (l.parser.Feed(bytes[i], p)) {
        case FrameParser::Result::Partial: break;
        case FrameParser::Result::Complete: OnPacket(e, l, p, now); break;
        case FrameParser::Result::BadAddress:
        case FrameParser::Result::BadLength: ++e.stats.framingErrors; break;
      }
    }
  }

  void ReadLink(EndpointRec& e, Link& l, uint64_t now) {
    uint8_t buf[4096];
    for (;;) {
      ssize_t n = read(l.fd, buf, sizeof buf);
      if (n > 0) {
        OnBytes(e, l, buf, size_t(n), now);
        if (!l.open || l.dead) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      EndLink(e, l, false);  // end of stream, or the pty's slave was closed (EIO)
      return;
    }
  }

  // --- timers --------------------------------------------------------------

  void Tick(EndpointRec& e, Link& l, uint64_t now) {
    if (!l.open || l.dead) return;
    ModuleRec& mr = Module(e.ep.serial);
    uint32_t hb = mr.module->heartbeatMs();
    if (mr.routeLink && mr.routeLink != &l) hb = 0;  // routed to another link
    if (!hb) {
      l.nextHeartbeat = 0;
    } else if (!l.nextHeartbeat) {
      l.nextHeartbeat = now + hb;
    } else if (now >= l.nextHeartbeat) {
      // Heartbeats alternate up (0) and down (1); the host answers with 2 and 3.
      uint8_t s = uint8_t(l.heartbeatCount++ & 1);
      QueuePacket(e, l, Packet::Make(mr.module->address(), {SimModule::kHeartbeatCommand, s}), now);
      ++e.stats.heartbeatsSent;
      l.hbOutstanding.emplace_back(uint8_t(s + 2), now + mr.faults.heartbeatTimeoutMs);
      l.nextHeartbeat = now + hb;
    }
    if (l.announceAt && now >= l.announceAt) {
      l.announceAt = 0;
      if (mr.announceLoad) {
        mr.announceLoad = false;
        QueuePacket(e, l, Packet::Make(mr.module->address(), {SimModule::kUpgradeCommand, 2}), now);
      }
    }
    while (!l.hbOutstanding.empty() && l.hbOutstanding.front().second <= now) {
      ++e.stats.heartbeatMissed;
      l.hbOutstanding.pop_front();
      Note(e, "heartbeat not answered in time");
    }
    Flush(e, l, now);
  }

  uint64_t NextDeadline(const EndpointRec& e) const {
    uint64_t next = kNever;
    if (e.closed) return next;
    if (e.rebootClosed) {
      auto it = modules.find(e.ep.serial);
      if (it != modules.end()) next = std::max(it->second.downUntil, e.nextListenTry);
    }
    for (const auto& lp : e.links) {
      const Link& l = *lp;
      if (l.dead) continue;
      if (!l.open) {
        if (e.ep.kind == EndpointKind::Pty) next = std::min(next, e.nextPtyCheck);
        continue;
      }
      if (!l.out.empty() && !l.wantWrite) next = std::min(next, l.out.front().notBefore);
      if (l.nextHeartbeat) next = std::min(next, l.nextHeartbeat);
      if (l.announceAt) next = std::min(next, l.announceAt);
      if (!l.hbOutstanding.empty()) next = std::min(next, l.hbOutstanding.front().second);
    }
    return next;
  }

  // Whether a host has the pty's slave side open: the master reports a hang-up otherwise.
  void CheckPty(EndpointRec& e, uint64_t now) {
    if (e.closed || e.links.empty() || e.links[0]->open || now < e.nextPtyCheck) return;
    struct pollfd p = {e.links[0]->fd, POLLIN, 0};
    if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP))
      OpenLink(e, *e.links[0], now);
    else
      e.nextPtyCheck = now + kPtyCheckMs;
  }

  // --- the loop ------------------------------------------------------------

  void Loop() {
    std::vector<struct pollfd> fds;
    struct Slot {
      EndpointRec* e;
      Link* l;  // none for a listener
    };
    std::vector<Slot> slots;
    std::unique_lock<std::mutex> lock(m);
    while (running) {
      uint64_t now = NowMs();
      fds.clear();
      slots.clear();
      fds.push_back({wakeFd, POLLIN, 0});
      slots.push_back({nullptr, nullptr});
      uint64_t next = kNever;
      for (auto& ep : endpoints) {
        EndpointRec& e = *ep;
        if (e.closed) continue;
        if (e.ep.kind == EndpointKind::Pty) CheckPty(e, now);
        Relisten(e, now);
        for (auto& l : e.links) Tick(e, *l, now);
        Prune(e);
        if (e.listenFd >= 0) {
          fds.push_back({e.listenFd, POLLIN, 0});
          slots.push_back({&e, nullptr});
        }
        for (auto& l : e.links) {
          if (!l->open || l->dead) continue;
          short events = POLLIN;
          if (l->wantWrite) events |= POLLOUT;
          fds.push_back({l->fd, events, 0});
          slots.push_back({&e, l.get()});
        }
        next = std::min(next, NextDeadline(e));
      }
      int timeout = -1;
      if (next != kNever) timeout = next <= now ? 0 : int(std::min<uint64_t>(next - now, 60000));
      lock.unlock();
      int r = poll(fds.data(), fds.size(), timeout);
      lock.lock();
      if (r < 0 && errno != EINTR) {
        fprintf(stderr, "velmarine-sim: poll failed: %s\n", strerror(errno));
        break;
      }
      if (r <= 0) continue;
      now = NowMs();
      if (fds[0].revents) {
        uint64_t v;
        ssize_t ignored = read(wakeFd, &v, sizeof v);
        (void)ignored;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        EndpointRec& e = *slots[i].e;
        if (e.closed) continue;
        if (!slots[i].l) {
          Accept(e, now);
          continue;
        }
        Link& l = *slots[i].l;
        if (l.dead || !l.open) continue;
        if (fds[i].revents & POLLOUT) l.wantWrite = false;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadLink(e, l, now);
        if (!l.dead && l.open) Flush(e, l, now);
      }
    }
  }

  void Accept(EndpointRec& e, uint64_t now) {
    for (;;) {
      int fd = accept4(e.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto l = std::make_unique<Link>();
      l->fd = fd;
      l->isSocket = true;
      OpenLink(e, *l, now);
      e.links.push_back(std::move(l));
    }
  }

  EndpointRec& AddEndpoint(EndpointKind kind, uint32_t serial) {
    auto e = std::make_unique<EndpointRec>();
    e->ep.id = nextEndpoint++;
    e->ep.kind = kind;
    e->ep.serial = serial;
    endpoints.push_back(std::move(e));
    return *endpoints.back();
  }
};

Simulator::Simulator() : impl_(new Impl) {}

Simulator::~Simulator() { Stop(); }

void Simulator::AddModule(const ModuleConfig& config) {
  std::lock_guard<std::mutex> g(impl_->m);
  if (!config.serial) throw std::invalid_argument("serial number 0 is not a module");
  if (!config.address || (config.address & 1))
    throw std::invalid_argument("module address must be even and non-zero");
  if (impl_->modules.count(config.serial))
    throw std::invalid_argument("module " + SerialText(config.serial) + " is given twice");
  ModuleRec rec;
  rec.module = std::make_unique<SimModule>(config);
  rec.module->SetFaults(rec.faults);
  impl_->modules.emplace(config.serial, std::move(rec));
  impl_->Wake();
}

void Simulator::SetFaults(uint32_t serial, const FaultConfig& faults) {
  std::lock_guard<std::mutex> g(impl_->m);
  ModuleRec& r = impl_->Module(serial);
  r.faults = faults;
  r.dropDone = false;
  r.module->SetFaults(faults);
  impl_->Wake();
}

FaultConfig Simulator::Faults(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Module(serial).faults;
}

Endpoint Simulator::OpenTcp(uint32_t serial, uint16_t port, const std::string& host) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->Module(serial);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1)
    throw std::invalid_argument("not an IPv4 address: \"" + host + "\"");
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw SysError("socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0) {
    auto err = SysError("cannot listen on " + host + ":" + std::to_string(port));
    close(fd);
    throw err;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  EndpointRec& e = impl_->AddEndpoint(EndpointKind::Tcp, serial);
  e.listenFd = fd;
  e.host = host;
  e.ep.port = ntohs(sa.sin_port);
  e.ep.where = host + ":" + std::to_string(e.ep.port);
  impl_->Wake();
  return e.ep;
}

Endpoint Simulator::OpenPty(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->Module(serial);
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw SysError("posix_openpt");
  char name[128];
  if (grantpt(fd) || unlockpt(fd) || ptsname_r(fd, name, sizeof name)) {
    auto err = SysError("pseudo-terminal");
    close(fd);
    throw err;
  }
  // Raw mode from the start, so nothing the module writes is echoed back as
  // host input before a host configures the line.
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    auto err = SysError(std::string("cannot open ") + name);
    close(fd);
    throw err;
  }
  struct termios t;
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  close(slave);
  EndpointRec& e = impl_->AddEndpoint(EndpointKind::Pty, serial);
  e.ep.where = name;
  auto l = std::make_unique<Link>();
  l->fd = fd;
  l->isSocket = false;
  l->open = false;
  e.links.push_back(std::move(l));
  e.nextPtyCheck = NowMs() + kPtyCheckMs;
  impl_->Wake();
  return e.ep;
}

Endpoint Simulator::OpenPair(uint32_t serial, int* hostFd) {
  if (!hostFd) throw std::invalid_argument("OpenPair needs a place for the host's end");
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->Module(serial);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) throw SysError("socketpair");
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
  EndpointRec& e = impl_->AddEndpoint(EndpointKind::Pair, serial);
  e.ep.where = "fd " + std::to_string(sv[1]);
  auto l = std::make_unique<Link>();
  l->fd = sv[0];
  l->isSocket = true;
  impl_->OpenLink(e, *l, NowMs());
  e.links.push_back(std::move(l));
  *hostFd = sv[1];
  impl_->Wake();
  return e.ep;
}

void Simulator::SetFrameTimeoutMs(uint32_t ms) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->frameTimeoutMs = ms;
}

void Simulator::SetVerbose(bool on) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->verbose = on;
}

void Simulator::SetEventSink(std::function<void(uint32_t, const std::string&)> sink) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->eventSink = std::move(sink);
}

void Simulator::RegisterCommand(uint32_t serial, uint8_t command, CommandHandler handler) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->Module(serial).module->RegisterCommand(command, std::move(handler));
}

void Simulator::Start() {
  std::lock_guard<std::mutex> g(impl_->m);
  if (impl_->running) return;
  impl_->running = true;
  impl_->thread = std::thread([this] { impl_->Loop(); });
}

void Simulator::Stop() {
  {
    std::lock_guard<std::mutex> g(impl_->m);
    if (!impl_->running) return;
    impl_->running = false;
    impl_->Wake();
  }
  impl_->thread.join();
  std::lock_guard<std::mutex> g(impl_->m);
  for (auto& e : impl_->endpoints) {
    // Let what is queued go out before the links close.
    for (auto& l : e->links)
      if (l->open && !l->dead) impl_->Flush(*e, *l, kNever, true);
    impl_->CloseAll(*e);
  }
}

bool Simulator::Running() const { return impl_->running; }

void Simulator::InjectGarbage(int endpoint, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> g(impl_->m);
  EndpointRec& e = impl_->Ep(endpoint);
  for (auto& l : e.links) impl_->QueueBytes(*l, bytes, NowMs());
  impl_->Wake();
}

void Simulator::SendPacket(int endpoint, const Packet& packet) {
  std::lock_guard<std::mutex> g(impl_->m);
  EndpointRec& e = impl_->Ep(endpoint);
  for (auto& l : e.links) impl_->QueuePacket(e, *l, packet, NowMs());
  impl_->Wake();
}

void Simulator::DropLinks(int endpoint, bool refuseNew, bool reset) {
  std::lock_guard<std::mutex> g(impl_->m);
  EndpointRec& e = impl_->Ep(endpoint);
  if (refuseNew && e.listenFd >= 0) {
    close(e.listenFd);
    e.listenFd = -1;
  }
  for (auto& l : e.links) {
    if (l->open || e.ep.kind != EndpointKind::Tcp) {
      ++e.stats.drops;
      impl_->EndLink(e, *l, reset || e.ep.kind != EndpointKind::Tcp);
    }
  }
  impl_->Wake();
}

void Simulator::CloseEndpoint(int endpoint) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->CloseAll(impl_->Ep(endpoint));
  impl_->Wake();
}

void Simulator::SetHeartbeat(uint32_t serial, uint32_t intervalMs) {
  std::lock_guard<std::mutex> g(impl_->m);
  impl_->Module(serial).module->SetHeartbeatMs(intervalMs);
  impl_->Wake();
}

EndpointStats Simulator::Stats(int endpoint) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Ep(endpoint).stats;
}

bool Simulator::WaitFor(int endpoint, const std::function<bool(const EndpointStats&)>& test,
                        int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (test(Stats(endpoint))) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

uint32_t Simulator::OptionValue(uint32_t serial, uint8_t option) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Module(serial).module->Value(option);
}

std::vector<uint8_t> Simulator::OptionBytes(uint32_t serial, uint8_t option) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Module(serial).module->Bytes(option);
}

std::map<uint32_t, std::vector<uint8_t>> Simulator::Flash(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Module(serial).module->flash();
}

ModuleConfig Simulator::Config(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->Module(serial).module->config();
}

bool Simulator::HasModule(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  return impl_->modules.count(serial) != 0;
}

bool Simulator::Present(uint32_t serial) {
  std::lock_guard<std::mutex> g(impl_->m);
  auto it = impl_->modules.find(serial);
  return it != impl_->modules.end() && NowMs() >= it->second.downUntil;
}

std::string Simulator::Summary() {
  std::lock_guard<std::mutex> g(impl_->m);
  std::string out;
  for (auto& ep : impl_->endpoints) {
    const EndpointStats& s = ep->stats;
    char buf[512];
    snprintf(buf, sizeof buf,
             "%s: links %llu, packets in %llu out %llu, probes %llu, route on %llu off %llu, "
             "heartbeats %llu answered %llu missed %llu wrong %llu, framing errors %llu, "
             "violations %llu, i2c writes %zu acknowledged %llu\n",
             ep->ep.Line().c_str(), (unsigned long long)s.links, (unsigned long long)s.packetsIn,
             (unsigned long long)s.packetsOut, (unsigned long long)s.probes,
             (unsigned long long)s.routeOn, (unsigned long long)s.routeOff,
             (unsigned long long)s.heartbeatsSent, (unsigned long long)s.heartbeatAnswers,
             (unsigned long long)s.heartbeatMissed, (unsigned long long)s.heartbeatWrong,
             (unsigned long long)s.framingErrors, (unsigned long long)s.violations,
             s.i2cWrites.size(), (unsigned long long)s.i2cAcks);
    out += buf;
  }
  return out;
}

}  // namespace velsim
