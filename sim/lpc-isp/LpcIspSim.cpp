// The simulated LPC17xx ISP boot ROM: a byte-driven state machine (autobaud,
// sync line, crystal line, commands, data transfers) over the master side of
// a pseudo-terminal, with flash that only clears bits until a sector is erased.
#include "LpcIspSim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lpcsim {
namespace {

enum Code {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED = 9,
  COMPARE_ERROR = 10,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

constexpr uint32_t kUnlockCode = 23130;
constexpr uint32_t kBytesPerLine = 45;
constexpr uint32_t kLinesPerBlock = 20;
constexpr size_t kMaxLine = 4096;
// A hung chip that has heard nothing for this long is taken to have been reset.
constexpr auto kResetQuiet = std::chrono::milliseconds(1000);
// Start, 8 data and stop bits per byte on the wire.
constexpr uint32_t kBitsPerByte = 10;

// Sector layout: sixteen 4 KB sectors, then fourteen 32 KB ones.
uint32_t SectorStart(uint32_t sector) {
  return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}
uint32_t SectorSize(uint32_t sector) { return sector < 16 ? 0x1000 : 0x8000; }
uint32_t SectorOf(uint32_t address) {
  return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

bool ParseNumber(const std::string& text, uint32_t& value, bool allowHex) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  int base = 10;
  if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    base = 16;
  if (base == 10 && text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno || !end || *end || v > 0xFFFFFFFFull) return false;
  value = uint32_t(v);
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string word;
  while (in >> word) out.push_back(word);
  return out;
}

char Encode6(uint32_t v) { return v ? char(v + 32) : '`'; }

std::string EncodeLine(const uint8_t* data, uint32_t n) {
  std::string out(1, Encode6(n));
  for (uint32_t i = 0; i < n; i += 3) {
    uint32_t b0 = data[i], b1 = i + 1 < n ? data[i + 1] : 0, b2 = i + 2 < n ? data[i + 2] : 0;
    out += Encode6(b0 >> 2);
    out += Encode6(((b0 & 3) << 4) | (b1 >> 4));
    out += Encode6(((b1 & 15) << 2) | (b2 >> 6));
    out += Encode6(b2 & 63);
  }
  return out;
}

// Decodes a uuencoded line; false when a character is outside the alphabet
// or the line is shorter than its length character says.
bool DecodeLine(const std::string& line, std::vector<uint8_t>& out) {
  out.clear();
  if (line.empty()) return false;
  auto value = [](char c, uint32_t& v) {
    if (c < ' ' || c > '`') return false;
    v = uint32_t(c - ' ') & 63;
    return true;
  };
  uint32_t n;
  if (!value(line[0], n)) return false;
  size_t pos = 1;
  while (out.size() < n) {
    if (pos + 4 > line.size()) return false;
    uint32_t v[4];
    for (int k = 0; k < 4; k++)
      if (!value(line[pos + k], v[k])) return false;
    pos += 4;
    uint8_t bytes[3] = {uint8_t((v[0] << 2) | (v[1] >> 4)), uint8_t((v[1] << 4) | (v[2] >> 2)),
                        uint8_t((v[2] << 6) | v[3])};
    for (int k = 0; k < 3 && out.size() < n; k++) out.push_back(bytes[k]);
  }
  return true;
}

}  // namespace

Simulator::Simulator(const Options& options)
    : opts_(options),
      flash_(kFlashSize, 0xFF),
      localRam_(kLocalRamSize, 0),
      ahbRam_(kAhbRamSize, 0) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  char name[256];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("cannot name the pseudo-terminal: ") + strerror(errno);
    return false;
  }
  ptyPath_ = name;
  // Holding the terminal side open keeps the master readable between
  // clients, and raw mode keeps the line discipline from echoing or editing.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    error = std::string("cannot open ") + name + ": " + strerror(errno);
    return false;
  }
  struct termios t;
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  stop_ = false;
  thread_ = std::thread(&Simulator::Serve, this);
  if (opts_.pace) writer_ = std::thread(&Simulator::PacedWriter, this);
  return true;
}

void Simulator::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  outReady_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

void Simulator::Serve() {
  uint8_t buffer[512];
  while (!stop_) {
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) continue;
    if (opts_.pace) std::this_thread::sleep_until(Advance(rxClock_, size_t(n)));
    std::lock_guard<std::mutex> lock(mutex_);
    if (opts_.baudCheck) lineSpeed_ = LineSpeed();
    for (ssize_t i = 0; i < n; i++) OnByte(buffer[i]);
  }
}

// The rate the client set on its side of the terminal.
speed_t Simulator::LineSpeed() {
  struct termios t;
  return tcgetattr(slave_, &t) == 0 ? cfgetispeed(&t) : 0;
}

std::chrono::steady_clock::time_point Simulator::Advance(
    std::chrono::steady_clock::time_point& clock, size_t bytes) {
  auto now = std::chrono::steady_clock::now();
  if (clock < now) clock = now;
  clock += std::chrono::nanoseconds(uint64_t(bytes) * kBitsPerByte * 1000000000ull / opts_.pace);
  return clock;
}

void Simulator::Reply(const std::string& text) {
  if (!opts_.pace) return WriteAll(text);
  std::lock_guard<std::mutex> lock(outMutex_);
  out_.emplace_back(Advance(txClock_, text.size()), text);
  outReady_.notify_one();
}

void Simulator::PacedWriter() {
  std::unique_lock<std::mutex> lock(outMutex_);
  for (;;) {
    outReady_.wait_for(lock, std::chrono::milliseconds(50),
                       [this] { return stop_ || !out_.empty(); });
    // Output nobody reads any more is dropped at the stop.
    if (stop_) return;
    if (out_.empty()) continue;
    auto item = out_.front();
    out_.pop_front();
    lock.unlock();
    std::this_thread::sleep_until(item.first);
    WriteAll(item.second);
    lock.lock();
  }
}

void Simulator::WriteAll(const std::string& text) {
  size_t sent = 0;
  int stalls = 0;
  while (sent < text.size() && stalls < 50) {
    ssize_t n = write(master_, text.data() + sent, text.size() - sent);
    if (n > 0) {
      sent += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    // The terminal's input queue is full: give the client time to read.
    struct pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, 100);
    stalls++;
  }
}

void Simulator::Code(int code) { Reply(std::to_string(code) + "\r\n"); }

void Simulator::Event(const std::string& text) {
  events_.push_back(text);
  if (opts_.verbose) fprintf(stderr, "lpc-isp-sim: %s\n", text.c_str());
  if (!opts_.logPath.empty()) {
    FILE* log = fopen(opts_.logPath.c_str(), "a");
    if (log) {
      fprintf(log, "%s\n", text.c_str());
      fclose(log);
    }
  }
}

// A hung chip answers nothing. Once the line has been quiet for a while, the
// next byte finds it as after a reset into the boot ROM: waiting for the
// autobaud, locked, echoing, nothing prepared; flash and RAM keep their contents.
bool Simulator::HungThrough(uint8_t) {
  auto now = std::chrono::steady_clock::now();
  auto quiet = now - lastByte_;
  lastByte_ = now;
  if (!hung_) return false;
  if (quiet < kResetQuiet) return true;
  hung_ = false;
  state_ = State::Autobaud;
  echo_ = true;
  unlocked_ = false;
  line_.clear();
  for (bool& p : prepared_) p = false;
  Event("reset");
  return false;
}

void Simulator::OnByte(uint8_t byte) {
  if (HungThrough(byte)) return;
  // Once autobauded, the chip's UART runs at that rate: bytes sent at another
  // one arrive as framing errors and are lost.
  if (opts_.baudCheck && state_ != State::Autobaud && lineSpeed_ != syncSpeed_) return;
  if (opts_.silent || state_ == State::Running) return;
  if (state_ == State::Autobaud) {
    if (byte == '?') {
      syncSpeed_ = lineSpeed_;
      Reply("Synchronized\r\n");
      state_ = State::SyncLine;
      line_.clear();
    }
    return;
  }
  if (state_ == State::SyncLine && line_.empty() && byte == '?') {
    // The host repeats its autobaud character when it missed the answer.
    Reply("Synchronized\r\n");
    return;
  }
  if (echo_) {
    bool commandMode = state_ != State::SyncLine && state_ != State::CrystalLine;
    uint8_t echoed = opts_.wrongEcho && commandMode ? uint8_t(byte ^ 0x01) : byte;
    Reply(std::string(1, char(echoed)));
  }
  if (byte == '\r' || byte == '\n') {
    std::string line;
    line.swap(line_);
    if (!line.empty()) OnLine(line);
    return;
  }
  if (line_.size() < kMaxLine) line_ += char(byte);
}

void Simulator::OnLine(const std::string& line) {
  if (opts_.verbose) fprintf(stderr, "lpc-isp-sim: received [%s]\n", line.c_str());
  uint32_t value;
  switch (state_) {
    case State::SyncLine:
      if (line == "Synchronized") {
        Reply("OK\r\n");
        state_ = State::CrystalLine;
      } else {
        state_ = State::Autobaud;
      }
      break;
    case State::CrystalLine:
      if (ParseNumber(line, value, false)) {
        Reply("OK\r\n");
        state_ = State::Command;
        Event("synchronized " + line);
      } else {
        state_ = State::Autobaud;
      }
      break;
    case State::Command: OnCommand(line); break;
    case State::WriteData: OnWriteLine(line); break;
    case State::ReadAck: OnReadAck(line); break;
    default: break;
  }
}

uint8_t* Simulator::Map(uint32_t address, uint32_t count, bool ramOnly) {
  uint64_t end = uint64_t(address) + count;
  if (address >= kLocalRamStart && end <= uint64_t(kLocalRamStart) + kLocalRamSize)
    return localRam_.data() + (address - kLocalRamStart);
  if (address >= kAhbRamStart && end <= uint64_t(kAhbRamStart) + kAhbRamSize)
    return ahbRam_.data() + (address - kAhbRamStart);
  if (!ramOnly && end <= kFlashSize) return flash_.data() + address;
  return nullptr;
}

void Simulator::OnCommand(const std::string& line) {
  Event("cmd " + line);
  std::vector<std::string> words = Split(line);
  if (words.empty() || words[0].size() != 1) return Code(INVALID_COMMAND);
  char letter = words[0][0];
  if (opts_.muteCommands.find(letter) != std::string::npos) return;
  auto forced = opts_.forcedCodes.find(letter);
  if (forced != opts_.forcedCodes.end()) return Code(forced->second);

  // Numeric arguments; "G" has a mode letter as its last one.
  size_t numeric = words.size() - 1;
  if (letter == 'G' && numeric > 0) numeric--;
  std::vector<uint32_t> args(numeric);
  for (size_t i = 0; i < numeric; i++)
    if (!ParseNumber(words[i + 1], args[i], false)) return Code(PARAM_ERROR);
  auto expect = [&](size_t n) { return words.size() - 1 == n; };
  auto sectorsValid = [](uint32_t first, uint32_t last) {
    return first < kSectorCount && last < kSectorCount;
  };

  switch (letter) {
    case 'U':
      if (!expect(1)) return Code(PARAM_ERROR);
      if (args[0] != kUnlockCode) return Code(INVALID_CODE);
      unlocked_ = true;
      return Code(CMD_SUCCESS);
    case 'B':
      if (!expect(2)) return Code(PARAM_ERROR);
      switch (args[0]) {
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
        case 230400: break;
        default: return Code(INVALID_BAUD_RATE);
      }
      if (args[1] != 1 && args[1] != 2) return Code(INVALID_STOP_BIT);
      return Code(CMD_SUCCESS);
    case 'A':
      if (!expect(1) || args[0] > 1) return Code(PARAM_ERROR);
      Code(CMD_SUCCESS);
      echo_ = args[0] == 1;
      return;
    case 'W':
    case 'R': {
      if (!expect(2)) return Code(PARAM_ERROR);
      if (args[0] % 4) return Code(ADDR_ERROR);
      if (args[1] == 0 || args[1] % 4) return Code(COUNT_ERROR);
      if (!Map(args[0], args[1], letter == 'W')) return Code(ADDR_NOT_MAPPED);
      Code(CMD_SUCCESS);
      xferAddress_ = args[0];
      xferCount_ = args[1];
      xferDone_ = xferBlockStart_ = xferLines_ = xferSum_ = 0;
      xferBad_ = false;
      if (letter == 'W') {
        state_ = State::WriteData;
      } else {
        state_ = State::ReadAck;
        SendReadBlock();
      }
      return;
    }
    case 'P':
      if (!expect(2)) return Code(PARAM_ERROR);
      if (!sectorsValid(args[0], args[1]) || args[1] < args[0]) return Code(INVALID_SECTOR);
      for (uint32_t s = args[0]; s <= args[1]; s++) prepared_[s] = true;
      return Code(CMD_SUCCESS);
    case 'E':
      if (!expect(2)) return Code(PARAM_ERROR);
      if (!sectorsValid(args[0], args[1]) || args[1] < args[0]) return Code(INVALID_SECTOR);
      if (!unlocked_) return Code(CMD_LOCKED);
      for (uint32_t s = args[0]; s <= args[1]; s++)
        if (!prepared_[s]) return Code(SECTOR_NOT_PREPARED);
      for (uint32_t s = args[0]; s <= args[1]; s++) {
        memset(flash_.data() + SectorStart(s), 0xFF, SectorSize(s));
        prepared_[s] = false;
      }
      return Code(CMD_SUCCESS);
    case 'I': {
      if (!expect(2)) return Code(PARAM_ERROR);
      if (!sectorsValid(args[0], args[1]) || args[1] < args[0]) return Code(INVALID_SECTOR);
      uint32_t start = SectorStart(args[0]);
      uint32_t end = SectorStart(args[1]) + SectorSize(args[1]);
      for (uint32_t a = start; a < end; a += 4) {
        uint32_t word;
        memcpy(&word, flash_.data() + a, 4);
        if (word != 0xFFFFFFFF) {
          Reply(std::to_string(SECTOR_NOT_BLANK) + "\r\n" + std::to_string(a - start) + "\r\n" +
                std::to_string(word) + "\r\n");
          return;
        }
      }
      return Code(CMD_SUCCESS);
    }
    case 'C': {
      if (!expect(3)) return Code(PARAM_ERROR);
      uint32_t dst = args[0], src = args[1], n = args[2];
      if (!unlocked_) return Code(CMD_LOCKED);
      if (dst % 256) return Code(DST_ADDR_ERROR);
      if (src % 4) return Code(SRC_ADDR_ERROR);
      if (n != 256 && n != 512 && n != 1024 && n != 4096) return Code(COUNT_ERROR);
      if (uint64_t(dst) + n > kFlashSize) return Code(DST_ADDR_NOT_MAPPED);
      const uint8_t* from = Map(src, n, true);
      if (!from) return Code(SRC_ADDR_NOT_MAPPED);
      uint32_t first = SectorOf(dst), last = SectorOf(dst + n - 1);
      for (uint32_t s = first; s <= last; s++)
        if (!prepared_[s]) return Code(SECTOR_NOT_PREPARED);
      // Programming can only clear bits; erasing sets them again.
      for (uint32_t i = 0; i < n; i++) flash_[dst + i] &= from[i];
      for (uint32_t s = first; s <= last; s++) prepared_[s] = false;
      return Code(CMD_SUCCESS);
    }
    case 'M': {
      if (!expect(3)) return Code(PARAM_ERROR);
      if (args[0] % 4 || args[1] % 4) return Code(ADDR_ERROR);
      if (args[2] == 0 || args[2] % 4) return Code(COUNT_ERROR);
      const uint8_t* a = Map(args[0], args[2], false);
      const uint8_t* b = Map(args[1], args[2], false);
      if (!a || !b) return Code(ADDR_NOT_MAPPED);
      for (uint32_t i = 0; i < args[2]; i++) {
        if (a[i] != b[i]) {
          Reply(std::to_string(COMPARE_ERROR) + "\r\n" + std::to_string(i & ~3u) + "\r\n");
          return;
        }
      }
      return Code(CMD_SUCCESS);
    }
    case 'G':
      if (words.size() != 3 || numeric != 1) return Code(PARAM_ERROR);
      if (words[2] != "T") return Code(PARAM_ERROR);
      if (!unlocked_) return Code(CMD_LOCKED);
      if (args[0] % 2) return Code(ADDR_ERROR);
      Code(CMD_SUCCESS);
      started_ = true;
      startAddress_ = args[0];
      state_ = State::Running;
      Event("go " + std::to_string(args[0]));
      return;
    case 'J':
      if (!expect(0)) return Code(PARAM_ERROR);
      return Reply("0\r\n" + std::to_string(opts_.partId) + "\r\n");
    case 'K':
      if (!expect(0)) return Code(PARAM_ERROR);
      return Reply("0\r\n" + std::to_string(opts_.bootMajor) + "\r\n" +
                   std::to_string(opts_.bootMinor) + "\r\n");
    case 'N': {
      if (!expect(0)) return Code(PARAM_ERROR);
      std::string reply = "0\r\n";
      for (uint32_t w : opts_.serial) reply += std::to_string(w) + "\r\n";
      return Reply(reply);
    }
    default: return Code(INVALID_COMMAND);
  }
}

void Simulator::OnWriteLine(const std::string& line) {
  bool checksumDue = xferLines_ == kLinesPerBlock || xferDone_ == xferCount_;
  if (!checksumDue) {
    std::vector<uint8_t> bytes;
    if (!DecodeLine(line, bytes) || bytes.size() > xferCount_ - xferDone_) {
      // Nothing of a broken line is stored; the block's checksum is refused.
      Event("bad-data " + line);
      xferBad_ = true;
      xferDone_ = xferCount_;
    } else {
      memcpy(Map(xferAddress_ + xferDone_, uint32_t(bytes.size()), true), bytes.data(),
             bytes.size());
      for (uint8_t b : bytes) xferSum_ += b;
      xferDone_ += uint32_t(bytes.size());
      Event("data " + std::to_string(bytes.size()));
      writeBytes_ += bytes.size();
      if (opts_.hangAfter && !hung_ && writeBytes_ >= opts_.hangAfter) {
        // One hang per run: the chip stops in the middle of the transfer.
        opts_.hangAfter = 0;
        hung_ = true;
        Event("hang");
      }
    }
    xferLines_++;
    return;
  }
  uint32_t value = 0;
  bool good = ParseNumber(line, value, false) && !xferBad_ && value == xferSum_;
  writeChecksums_++;
  if (!opts_.checksumReply.empty() && writeChecksums_ == 1) {
    Event("checksum " + line + " " + opts_.checksumReply);
    Reply(opts_.checksumReply + "\r\n");
    state_ = State::Command;
    return;
  }
  if (writeChecksums_ <= opts_.resendCount) good = false;
  Event("checksum " + line + (good ? " OK" : " RESEND"));
  if (good) {
    Reply("OK\r\n");
    xferBlockStart_ = xferDone_;
    if (xferDone_ == xferCount_) state_ = State::Command;
  } else {
    Reply("RESEND\r\n");
    xferDone_ = xferBlockStart_;
  }
  xferLines_ = 0;
  xferSum_ = 0;
  xferBad_ = false;
}

void Simulator::SendReadBlock() {
  xferBlockStart_ = xferDone_;
  const uint8_t* source = Map(xferAddress_, xferCount_, false);
  std::string out;
  uint32_t total = 0;
  for (uint32_t lines = 0; lines < kLinesPerBlock && xferDone_ < xferCount_; lines++) {
    uint32_t n = std::min(kBytesPerLine, xferCount_ - xferDone_);
    out += EncodeLine(source + xferDone_, n) + "\r\n";
    for (uint32_t i = 0; i < n; i++) total += source[xferDone_ + i];
    xferDone_ += n;
  }
  readChecksums_++;
  if (readChecksums_ <= opts_.badReadChecksums) total += 1;
  Event("read-checksum " + std::to_string(total));
  Reply(out + std::to_string(total) + "\r\n");
}

void Simulator::OnReadAck(const std::string& line) {
  if (line == "OK") {
    if (xferDone_ == xferCount_) {
      state_ = State::Command;
    } else {
      SendReadBlock();
    }
  } else if (line == "RESEND") {
    xferDone_ = xferBlockStart_;
    SendReadBlock();
  } else {
    // The host gave up on the transfer: take the line as a command.
    state_ = State::Command;
    OnCommand(line);
  }
}

std::vector<uint8_t> Simulator::Flash() {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

void Simulator::LoadFlash(const std::vector<uint8_t>& bytes, uint32_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < bytes.size() && offset + i < kFlashSize; i++)
    flash_[offset + i] = bytes[i];
}

bool Simulator::DumpFlash(const std::string& path) {
  std::vector<uint8_t> copy = Flash();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(copy.data()), std::streamsize(copy.size()));
  return bool(out);
}

std::vector<std::string> Simulator::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

bool Simulator::Echo() {
  std::lock_guard<std::mutex> lock(mutex_);
  return echo_;
}

bool Simulator::Unlocked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlocked_;
}

bool Simulator::Started(uint32_t* address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address) *address = startAddress_;
  return started_;
}

}  // namespace lpcsim
