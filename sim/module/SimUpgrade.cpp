// The module's upgrade loader (command 0x5F): loader blocks into RAM, firmware
// chunks into flash by the address each block was prepared at, sums checked
// here on their own, and the restart that makes the flashed image's identity
// the module's. Optionally kept in a state file across runs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SimModule.h"

namespace velsim {

namespace {

constexpr uint32_t kLoadBase = 0x10000000;
const char kIdentityTag[] = "VLMID build=";
const char kStateMagic[] = "velsim-state 1";

std::string Hex(uint8_t b) {
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

uint32_t Sum(const std::vector<uint8_t>& bytes) {
  uint32_t s = 0;
  for (uint8_t b : bytes) s += b;
  return s;
}

}  // namespace

bool IdentityFromFlash(const std::map<uint32_t, std::vector<uint8_t>>& flash, uint32_t* build,
                       uint32_t* version) {
  const size_t tagLength = sizeof kIdentityTag - 1;
  for (const auto& region : flash) {
    const std::vector<uint8_t>& bytes = region.second;
    for (size_t i = 0; i + tagLength < bytes.size(); ++i) {
      if (memcmp(&bytes[i], kIdentityTag, tagLength) != 0) continue;
      // "VLMID build=N version=X.Y.Z;" ends at the first ';' (at most 64 bytes on).
      size_t end = i;
      while (end < bytes.size() && end - i < 64 && bytes[end] != ';') ++end;
      if (end >= bytes.size() || bytes[end] != ';') continue;
      std::string text(bytes.begin() + long(i), bytes.begin() + long(end));
      unsigned long b = 0;
      unsigned major = 0, minor = 0, patch = 0;
      if (sscanf(text.c_str(), "VLMID build=%lu version=%u.%u.%u", &b, &major, &minor, &patch) !=
              4 ||
          major > 255 || minor > 255 || patch > 255)
        continue;
      *build = uint32_t(b);
      *version = PackVersion(uint8_t(major), uint8_t(minor), uint8_t(patch));
      return true;
    }
  }
  return false;
}

void SimModule::HandleUpgrade(const Packet& request, Replies& out,
                              std::vector<std::string>& notes) {
  const uint8_t a = config_.address;
  if (request.length < 2) {
    notes.push_back("upgrade request without an option byte");
    return;
  }
  const uint8_t option = request.data[1];
  auto status = [&](uint8_t s, std::vector<uint8_t> tail = {}) {
    // Sized once and filled: appending to a three-byte vector makes g++ 12 see
    // a copy past its end on the growth path (a false -Warray-bounds).
    std::vector<uint8_t> d(3 + tail.size());
    d[0] = kUpgradeCommand;
    d[1] = 7;
    d[2] = s;
    std::copy(tail.begin(), tail.end(), d.begin() + 3);
    out.Add(Packet::Make(a, d));
  };
  switch (option) {
    case 0: {  // Init
      if (request.length != 2) notes.push_back("upgrade Init with extra bytes");
      initDone_ = true;
      loaderRunning_ = false;  // a new loader is loaded from here on
      prepared_ = false;
      pending_.clear();
      std::vector<uint8_t> reply = {kUpgradeCommand,          0,
                                    uint8_t(kLoadBase >> 24), uint8_t(kLoadBase >> 16),
                                    uint8_t(kLoadBase >> 8),  uint8_t(kLoadBase)};
      if (faults_.initShort) reply.pop_back();  // the load base without its last byte
      out.Add(Packet::Make(a, reply));
      return;
    }
    case 3: {  // Prepare: flags, then the block's big-endian address
      ++prepareCount_;
      if (request.length != 7) {
        notes.push_back("upgrade Prepare of " + std::to_string(request.length) + " bytes");
        return status(1, {0, 0});
      }
      if (!initDone_) {
        notes.push_back("upgrade Prepare before Init");
        return status(1, {0, 0});
      }
      if (prepareCount_ == faults_.prepareFailAt) return status(1, {0, 0});
      prepared_ = true;
      prepareAddress_ = uint32_t(request.data[3]) << 24 | uint32_t(request.data[4]) << 16 |
                        uint32_t(request.data[5]) << 8 | request.data[6];
      pending_.clear();
      // A firmware block prepared again starts its flash region afresh.
      if (loaderRunning_) flash_[prepareAddress_].clear();
      return status(0, {uint8_t(config_.blockSize >> 8), uint8_t(config_.blockSize)});
    }
    case 1: {  // Data
      ++dataCount_;
      const uint8_t n = uint8_t(request.length - 2);
      if (dataCount_ == faults_.dropInBlockAt) {
        event_ = LinkEvent::DropLink;
        return;
      }
      if (!prepared_) {
        notes.push_back("upgrade Data before Prepare");
        out.Add(Packet::Make(a, {kUpgradeCommand, 1, 0}));
        return;
      }
      if (faults_.dataShortAt > 0 && dataCount_ >= faults_.dataShortAt &&
          dataCount_ < faults_.dataShortAt + faults_.dataShortRepeat) {
        // Announces fewer bytes than arrived and keeps none of them.
        out.Add(Packet::Make(a, {kUpgradeCommand, 1, uint8_t(n > 6 ? n - 6 : 0)}));
        return;
      }
      pending_.insert(pending_.end(), request.data.begin() + 2, request.data.begin() + 2 + n);
      out.Add(Packet::Make(a, {kUpgradeCommand, 1, n}));
      return;
    }
    case 4: {  // Sum of what arrived since the Prepare or the last Write
      ++sumCount_;
      uint32_t sum = Sum(pending_);
      const uint8_t s = prepared_ ? 0 : 1;
      if (!prepared_) notes.push_back("upgrade Sum before Prepare");
      if (sumCount_ == faults_.sumOffAt) {
        sum += 1;
      } else if (s == 0 && !loaderRunning_) {
        // A checked loader block goes into RAM.
        loaderRam_[prepareAddress_] = pending_;
        pending_.clear();
      }
      return status(s, {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
    }
    case 5: {  // Write the checked chunk to flash
      uint32_t count = request.length == 4 ? uint32_t(request.data[2] << 8 | request.data[3]) : 0;
      if (request.length != 4 || !prepared_ || !loaderRunning_ || count != pending_.size()) {
        notes.push_back("upgrade Write of " + std::to_string(count) + " bytes refused (" +
                        std::to_string(pending_.size()) + " pending)");
        return status(1);
      }
      std::vector<uint8_t>& region = flash_[prepareAddress_];
      region.insert(region.end(), pending_.begin(), pending_.end());
      pending_.clear();
      return status(0);
    }
    case 2:  // Load: the loader starts
      if (!initDone_ || loaderRam_.empty()) notes.push_back("upgrade Load without a loader");
      loaderRunning_ = true;
      prepared_ = false;
      pending_.clear();
      if (faults_.loadDrop) {
        // The module restarts into its loader; the reply follows on the next link.
        event_ = LinkEvent::LoadRestart;
        return;
      }
      out.Add(Packet::Make(a, {kUpgradeCommand, 2}));
      return;
    case 6:  // Reboot: no reply, the module restarts
      event_ = LinkEvent::Reboot;
      return;
    default: notes.push_back("upgrade option " + Hex(option) + " is unknown"); return;
  }
}

void SimModule::Reboot() {
  uint32_t build = 0, version = 0;
  if (IdentityFromFlash(flash_, &build, &version)) {
    config_.build = build;
    config_.version = version;
  }
  initDone_ = loaderRunning_ = prepared_ = false;
  pending_.clear();
  loaderRam_.clear();
  SaveState();
}

// "velsim-state 1\nbuild N\nversion HEX\nregion ADDRESS LENGTH\n" + the region's
// bytes, for every region.
void SimModule::SaveState() const {
  if (config_.stateFile.empty()) return;
  std::string temp = config_.stateFile + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return;
    out << kStateMagic << "\nbuild " << config_.build << "\nversion " << std::hex << config_.version
        << std::dec << "\n";
    for (const auto& r : flash_) {
      out << "region " << r.first << " " << r.second.size() << "\n";
      out.write(reinterpret_cast<const char*>(r.second.data()), std::streamsize(r.second.size()));
      out << "\n";
    }
    if (!out) return;
  }
  rename(temp.c_str(), config_.stateFile.c_str());
}

void SimModule::LoadState() {
  std::ifstream in(config_.stateFile, std::ios::binary);
  if (!in) return;
  std::string line;
  if (!std::getline(in, line) || line != kStateMagic) return;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "build") {
      words >> config_.build;
    } else if (key == "version") {
      words >> std::hex >> config_.version;
    } else if (key == "region") {
      uint32_t address = 0;
      size_t length = 0;
      words >> address >> length;
      if (!words || length > (64u << 20)) return;
      std::vector<uint8_t> bytes(length);
      in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(length));
      if (!in) return;
      flash_[address] = std::move(bytes);
      std::getline(in, line);  // the line end after the bytes
    }
  }
}

}  // namespace velsim
