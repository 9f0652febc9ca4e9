// The simulated boot ROM's command handling, RAM and memory dump.
#include "SdpRom.h"

#include <cstdarg>
#include <cstdio>

namespace imxsim {
namespace {
constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kDcdWrite = 0x0A0A;
constexpr uint16_t kJumpAddress = 0x0B0B;

constexpr uint32_t kPageSize = 4096;
constexpr size_t kMaxPages = 16384;             // 64 MiB of simulated RAM
constexpr uint32_t kMaxReadCount = 1u << 20;    // largest READ_REGISTER answered
constexpr uint64_t kMaxDumpSpan = 64ull << 20;  // largest span written to the dump

uint32_t BE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
std::vector<uint8_t> LE32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
}  // namespace

Rom::Rom(const Options& options, EventSink events)
    : options_(options), events_(std::move(events)), ignoreLeft_(options.ignore) {
  for (const auto& reg : options_.registers)
    for (uint32_t i = 0; i < 4; ++i) Store(reg.first + i, uint8_t(reg.second >> (8 * i)));
}

void Rom::Event(const char* format, ...) {
  if (!events_) return;
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events_(line);
}

void Rom::Status(std::vector<Reply>& replies) { replies.push_back({3, LE32(Hab())}); }
void Rom::Word(uint32_t word, std::vector<Reply>& replies) { replies.push_back({4, LE32(word)}); }
void Rom::Refuse(std::vector<Reply>& replies) {
  lastStatus_ = kRefused;
  Word(kRefused, replies);
}

bool Rom::Store(uint32_t address, uint8_t value) {
  uint32_t page = address / kPageSize;
  auto it = pages_.find(page);
  if (it == pages_.end()) {
    if (pages_.size() >= kMaxPages) return false;
    it = pages_.emplace(page, std::vector<uint8_t>(kPageSize, 0)).first;
  }
  it->second[address % kPageSize] = value;
  return true;
}

uint8_t Rom::Load(uint32_t address) const {
  auto it = pages_.find(address / kPageSize);
  return it == pages_.end() ? 0 : it->second[address % kPageSize];
}

void Rom::Command(const uint8_t* c, std::vector<Reply>& replies) {
  if (started_) return;
  uint16_t type = uint16_t(c[0] << 8 | c[1]);
  uint32_t address = BE32(c + 2);
  uint8_t format = c[6];
  uint32_t count = BE32(c + 7);
  uint32_t data = BE32(c + 11);
  if (ignoreLeft_ > 0) {
    --ignoreLeft_;
    Event("ignored 0x%04X", type);
    return;
  }
  switch (type) {
    case kErrorStatus:
      Event("error-status");
      Status(replies);
      Word(lastStatus_, replies);
      break;
    case kReadRegister: {
      Event("read-register 0x%08X %u", address, count);
      Status(replies);
      if (count > kMaxReadCount) {
        Refuse(replies);
        break;
      }
      std::vector<uint8_t> bytes(count);
      for (uint32_t i = 0; i < count; ++i) bytes[i] = Load(address + i);
      if (count) replies.push_back({4, bytes});
      break;
    }
    case kWriteRegister: {
      Event("write-register 0x%08X 0x%08X", address, data);
      Status(replies);
      uint32_t width = format == 0x08 ? 1 : format == 0x10 ? 2 : format == 0x20 ? 4 : 0;
      if (!width || options_.badHab) {
        Refuse(replies);
        break;
      }
      for (uint32_t i = 0; i < width; ++i) Store(address + i, uint8_t(data >> (8 * i)));
      Word(kRegisterComplete, replies);
      break;
    }
    case kWriteFile:
    case kDcdWrite:
      Event("%s 0x%08X %u", type == kWriteFile ? "write-file" : "dcd-write", address, count);
      dataKind_ = type == kWriteFile ? DataKind::File : DataKind::Dcd;
      dataAddress_ = address;
      dataCount_ = count;
      dataLeft_ = count;
      dataOffset_ = 0;
      // The span must fit the 32-bit address space.
      dataOk_ = uint64_t(address) + count <= (1ull << 32) && !options_.badHab;
      if (options_.earlyReply) Status(replies);
      if (count == 0) FinishData(replies);
      break;
    case kJumpAddress:
      Status(replies);
      if (options_.badHab) {
        Event("jump refused 0x%08X", address);
        Refuse(replies);
        break;
      }
      Event("jump 0x%08X", address);
      started_ = true;
      break;
    default:
      Event("unknown 0x%04X", type);
      Status(replies);
      Refuse(replies);
      break;
  }
}

size_t Rom::Data(const uint8_t* bytes, size_t count, std::vector<Reply>& replies) {
  if (dataLeft_ == 0) return 0;
  size_t used = count < dataLeft_ ? count : dataLeft_;
  if (dataKind_ == DataKind::File && dataOk_) {
    for (size_t i = 0; i < used && dataOk_; ++i)
      dataOk_ = Store(dataAddress_ + dataOffset_ + uint32_t(i), bytes[i]);
  }
  dataOffset_ += uint32_t(used);
  dataLeft_ -= uint32_t(used);
  if (dataLeft_ == 0) FinishData(replies);
  return used;
}

void Rom::FinishData(std::vector<Reply>& replies) {
  DataKind kind = dataKind_;
  dataKind_ = DataKind::None;
  Status(replies);
  if (kind == DataKind::Dcd) {
    Word(kRegisterComplete, replies);
    return;
  }
  if (!dataOk_) {
    Event("refused 0x%08X %u", dataAddress_, dataCount_);
    Refuse(replies);
    return;
  }
  if (dataCount_) {
    if (dataAddress_ < loadedLow_) loadedLow_ = dataAddress_;
    if (uint64_t(dataAddress_) + dataCount_ > loadedHigh_)
      loadedHigh_ = uint64_t(dataAddress_) + dataCount_;
  }
  WriteDump();
  Event("loaded 0x%08X %u", dataAddress_, dataCount_);
  if (!options_.noComplete) Word(kFileComplete, replies);
}

// The dump holds the RAM from the lowest to the highest byte loaded by
// WRITE_FILE (unloaded gaps read as zero). It is written to a temporary name
// and renamed, so a reader never sees half a dump.
void Rom::WriteDump() {
  if (options_.dumpPath.empty() || loadedLow_ >= loadedHigh_) return;
  if (loadedHigh_ - loadedLow_ > kMaxDumpSpan) {
    Event("dump skipped: span of %llu bytes", (unsigned long long)(loadedHigh_ - loadedLow_));
    return;
  }
  std::string temporary = options_.dumpPath + ".part";
  FILE* out = fopen(temporary.c_str(), "wb");
  if (!out) {
    Event("dump failed: can't write %s", temporary.c_str());
    return;
  }
  bool ok = true;
  for (uint64_t a = loadedLow_; a < loadedHigh_ && ok; ++a)
    ok = fputc(Load(uint32_t(a)), out) != EOF;
  ok = fclose(out) == 0 && ok;
  if (!ok || rename(temporary.c_str(), options_.dumpPath.c_str()) != 0) {
    remove(temporary.c_str());
    Event("dump failed: can't write %s", options_.dumpPath.c_str());
  }
}

}  // namespace imxsim
