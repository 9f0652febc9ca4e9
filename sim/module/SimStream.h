// Stream samples from a simulated module: answers the stream enable, disable
// and state requests (command 0x5D) and, while subscriptions are active,
// sends timestamped samples of its sources at a set rate. Built on the
// simulator's public interface only (a registered command and SendPacket).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "VelmarineSim.h"

namespace velsim {

// One streamed value of the module. kind: 1, 2, 3 for 8-, 16- and 32-bit
// samples, 5, 6, 7 for the same with a subindex byte.
struct StreamSource {
  uint8_t command = 7;
  uint8_t option = 1;
  uint8_t index = 0;
  uint8_t kind = 3;
  uint8_t subindex = 0;
};

// The packet of one sample: command, option, index | 0x40, kind, [subindex],
// timestamp (upper then lower 32 bits, big-endian), value (1, 2 or 4 bytes,
// big-endian), sequence byte 0.
Packet StreamSample(uint8_t address, const StreamSource& source, uint64_t timestamp,
                    uint32_t value);

class SimStream {
 public:
  // Registers the stream command of the module; call before Simulator::Start.
  SimStream(Simulator& sim, uint32_t serial, uint8_t address);
  ~SimStream();
  SimStream(const SimStream&) = delete;
  SimStream& operator=(const SimStream&) = delete;

  void AddSource(const StreamSource& source);
  // Samples per second of each subscribed source (0: none are sent).
  void SetRate(uint32_t perSecond);
  // Subscriptions whose key (module, command, option, index as sent) get an
  // error reply with this code.
  void Reject(uint32_t key, uint8_t code);
  // Samples go to this endpoint of the simulator (one at a time).
  void Attach(int endpoint);
  // Starts and stops the sending thread.
  void Start();
  void Stop();

  uint64_t Sent() const { return sent_; }
  uint64_t Requests() const { return requests_; }
  size_t Subscriptions();

 private:
  void Handle(const Packet& request, Replies& out);
  bool Subscribed(const StreamSource& source);
  void Run();

  Simulator& sim_;
  uint8_t address_;
  std::mutex mutex_;
  std::vector<StreamSource> sources_;
  std::set<uint32_t> subscriptions_;
  std::vector<std::pair<uint32_t, uint8_t>> rejected_;
  std::vector<uint32_t> values_;
  std::atomic<uint32_t> rate_{0};
  std::atomic<int> endpoint_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0}, requests_{0};
  std::thread thread_;
};

}  // namespace velsim
