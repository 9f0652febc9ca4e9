// One simulated module: its identity, the system entity's option table and
// values, and the table of command handlers that answer packets addressed to it.
#pragma once
#include <chrono>
#include <map>

#include "VelmarineSim.h"

namespace velsim {

enum class Width { None, U8, U32, Bytes };
enum Access : unsigned { kGet = 1, kSet = 2, kCall = 4 };

// One option of the system entity.
struct OptionSpec {
  uint8_t code;
  Width width;
  unsigned access;
  const char* name;
  size_t maxBytes;  // byte values: capacity
  size_t unit;      // byte values: the length must be a multiple of this
};

const std::vector<OptionSpec>& SystemOptions();
const OptionSpec* FindSystemOption(uint8_t code);

// Receiving end of a byte value sent in several packets.
struct ByteRun {
  bool active = false;
  uint8_t command = 0, option = 0, index = 0;
  uint8_t expected = 0;
  int error = 0;  // first error met; reported after the last packet
  std::vector<uint8_t> bytes;
};

// What an upgrade request asks of the module's links, carried out by the Simulator.
enum class LinkEvent { None, DropLink, LoadRestart, Reboot };

class SimModule {
 public:
  static constexpr uint8_t kUpgradeCommand = 0x5F;
  static constexpr uint8_t kSystemCommand = 3;
  static constexpr uint8_t kQueryCommand = 0x49;
  static constexpr uint8_t kEchoCommand = 0x17;
  static constexpr uint8_t kHeartbeatCommand = 0;

  explicit SimModule(const ModuleConfig& config);

  const ModuleConfig& config() const { return config_; }
  uint8_t address() const { return config_.address; }
  uint32_t serial() const { return config_.serial; }

  // Answers one packet addressed to this module. run is the byte-value state of
  // the link the packet came on; notes collects protocol violations.
  void Handle(const Packet& request, ByteRun& run, Replies& out, std::vector<std::string>& notes);
  void RegisterCommand(uint8_t command, CommandHandler handler);
  bool HasHandler(uint8_t command) const { return handlers_.count(command) != 0; }

  // The number of entities of a class (0x49 queries and error replies). A
  // handler registered for a further class sets its count here.
  uint8_t EntityCount(uint8_t command) const;
  void SetEntityCount(uint8_t command, uint8_t count) { entityCounts_[command] = count; }

  uint32_t Value(uint8_t option) const;
  std::vector<uint8_t> Bytes(uint8_t option) const { return Find(bytes_, option); }
  void SetHeartbeatMs(uint32_t ms) { config_.heartbeatMs = ms; }
  uint32_t heartbeatMs() const { return config_.heartbeatMs; }

  // Upgrade loader faults (the Simulator passes the module's faults on).
  void SetFaults(const FaultConfig& faults) { faults_ = faults; }
  // The link event the last request asked for, cleared by the call.
  LinkEvent TakeEvent() {
    LinkEvent e = event_;
    event_ = LinkEvent::None;
    return e;
  }
  // The restart after Reboot: the flashed identity takes effect, the loader
  // state goes, and the state file (if any) is written.
  void Reboot();
  const std::map<uint32_t, std::vector<uint8_t>>& flash() const { return flash_; }

  uint64_t resets() const { return resets_; }
  uint64_t saves() const { return saves_; }

 private:
  void HandleSystem(const Packet& request, ByteRun& run, Replies& out,
                    std::vector<std::string>& notes);
  void HandleQuery(const Packet& request, Replies& out, std::vector<std::string>& notes);
  void HandleUpgrade(const Packet& request, Replies& out, std::vector<std::string>& notes);
  void LoadState();
  void SaveState() const;
  void SetValue(uint8_t option, uint32_t value);
  void ResetToDefaults();
  Packet ErrorReply(const Packet& request, uint8_t optionByte, int code) const;
  static std::vector<uint8_t> Find(const std::map<uint8_t, std::vector<uint8_t>>& m, uint8_t k) {
    auto it = m.find(k);
    return it == m.end() ? std::vector<uint8_t>{} : it->second;
  }

  ModuleConfig config_;
  std::map<uint8_t, CommandHandler> handlers_;
  std::map<uint8_t, uint8_t> entityCounts_ = {{kSystemCommand, 1}};
  std::map<uint8_t, uint32_t> values_, defaults_, saved_;
  std::map<uint8_t, std::vector<uint8_t>> bytes_, defaultBytes_;
  std::chrono::steady_clock::time_point started_;
  uint64_t resets_ = 0, saves_ = 0, logEvents_ = 0;

  // Upgrade loader.
  FaultConfig faults_;
  LinkEvent event_ = LinkEvent::None;
  bool initDone_ = false, loaderRunning_ = false, prepared_ = false;
  uint32_t prepareAddress_ = 0;
  std::vector<uint8_t> pending_;  // received since the last Prepare or Write
  std::map<uint32_t, std::vector<uint8_t>> flash_, loaderRam_;
  int dataCount_ = 0, sumCount_ = 0, prepareCount_ = 0;
};

}  // namespace velsim
