// Stream samples of a simulated module: the 0x5D requests a host sends to
// subscribe, unsubscribe and ask whether the module streams, and a thread
// that sends samples of the subscribed sources at the set rate.
#include "SimStream.h"

#include <chrono>

namespace velsim {

namespace {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kAny = 0xFF;

void sPut32(std::vector<uint8_t>& d, uint32_t v) {
  d.push_back(uint8_t(v >> 24));
  d.push_back(uint8_t(v >> 16));
  d.push_back(uint8_t(v >> 8));
  d.push_back(uint8_t(v));
}

bool sElementMatches(uint8_t pattern, uint8_t value) { return pattern == kAny || pattern == value; }

}  // namespace

Packet StreamSample(uint8_t address, const StreamSource& source, uint64_t timestamp,
                    uint32_t value) {
  std::vector<uint8_t> d = {source.command, uint8_t(source.option & 0x3F),
                            uint8_t((source.index & 0x1F) | 0x40), source.kind};
  const bool sub = source.kind >= 5 && source.kind <= 7;
  if (sub) d.push_back(source.subindex);
  sPut32(d, uint32_t(timestamp >> 32));
  sPut32(d, uint32_t(timestamp));
  switch (sub ? source.kind - 4 : source.kind) {
    case 1: d.push_back(uint8_t(value)); break;
    case 2:
      d.push_back(uint8_t(value >> 8));
      d.push_back(uint8_t(value));
      break;
    default: sPut32(d, value); break;
  }
  d.push_back(0);
  return Packet::Make(address, d);
}

SimStream::SimStream(Simulator& sim, uint32_t serial, uint8_t address)
    : sim_(sim), address_(address) {
  sim_.RegisterCommand(
      serial, kStreamCommand,
      [this](SimModule&, const Packet& request, Replies& out) { Handle(request, out); });
}

SimStream::~SimStream() { Stop(); }

void SimStream::AddSource(const StreamSource& source) {
  std::lock_guard<std::mutex> lock(mutex_);
  sources_.push_back(source);
  values_.push_back(0);
}

void SimStream::SetRate(uint32_t perSecond) { rate_ = perSecond; }

void SimStream::Reject(uint32_t key, uint8_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  rejected_.emplace_back(key, code);
}

void SimStream::Attach(int endpoint) { endpoint_ = endpoint; }

size_t SimStream::Subscriptions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_.size();
}

void SimStream::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void SimStream::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

// Runs in the simulator's thread.
void SimStream::Handle(const Packet& request, Replies& out) {
  ++requests_;
  auto d = request.Data();
  auto reply = [&](std::vector<uint8_t> bytes) { out.Add(Packet::Make(address_, bytes)); };
  if (d.size() == 3 && d[1] == 0x41) {
    std::lock_guard<std::mutex> lock(mutex_);
    return reply({kStreamCommand, 0x01, 0, uint8_t(subscriptions_.empty() ? 0 : 1)});
  }
  if (d.size() != 7 || (d[1] != 0x81 && d[1] != 0x82)) {
    return reply({kStreamCommand, uint8_t(d.size() > 1 ? d[1] & 0x3F : 0), 0x80, 8});
  }
  const uint32_t key = uint32_t(d[3]) << 24 | uint32_t(d[4]) << 16 | uint32_t(d[5]) << 8 | d[6];
  const uint8_t answer = uint8_t(d[1] | 0x40);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& r : rejected_)
    if (r.first == key) return reply({kStreamCommand, answer, 0x80, r.second});
  if (d[1] == 0x81)
    subscriptions_.insert(key);
  else
    subscriptions_.erase(key);
  reply({kStreamCommand, answer, 0});
}

// Caller holds the mutex.
bool SimStream::Subscribed(const StreamSource& s) {
  for (uint32_t key : subscriptions_) {
    if (uint8_t(key >> 24) != address_) continue;
    if (sElementMatches(uint8_t(key >> 16), s.command) &&
        sElementMatches(uint8_t(key >> 8), s.option) && sElementMatches(uint8_t(key), s.index))
      return true;
  }
  return false;
}

void SimStream::Run() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;
  double due = 0;
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Clock::time_point now = Clock::now();
    due += std::chrono::duration<double>(now - last).count() * rate_.load();
    last = now;
    const int endpoint = endpoint_;
    if (due < 1 || endpoint < 0) {
      if (due > 1) due = 0;
      continue;
    }
    std::vector<Packet> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // At most a second's worth at once, so a stalled thread does not burst.
      for (int n = 0; n < int(due) && n < int(rate_.load()) + 1; n++) {
        const uint64_t micros =
            uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
        for (size_t i = 0; i < sources_.size(); i++) {
          if (!Subscribed(sources_[i])) continue;
          batch.push_back(StreamSample(address_, sources_[i], micros, ++values_[i]));
        }
      }
    }
    due -= int(due);
    for (const Packet& p : batch) {
      sim_.SendPacket(endpoint, p);
      ++sent_;
    }
  }
}

}  // namespace velsim
