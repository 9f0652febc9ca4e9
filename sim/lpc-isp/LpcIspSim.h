// A simulated LPC17xx ISP boot ROM on a pseudo-terminal: autobaud sync, echo,
// the ISP commands with their return codes, sectors, uuencoded RAM transfers
// with checksums and a flash array, plus switches that inject faults.
#pragma once
#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lpcsim {

constexpr uint32_t kFlashSize = 512 * 1024;
constexpr uint32_t kLocalRamStart = 0x10000000;
constexpr uint32_t kLocalRamSize = 32 * 1024;
constexpr uint32_t kAhbRamStart = 0x2007C000;
constexpr uint32_t kAhbRamSize = 32 * 1024;
constexpr uint32_t kSectorCount = 30;

struct Options {
  uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  uint32_t partId = 0x26013F37;  // LPC1768
  uint32_t bootMajor = 4;
  uint32_t bootMinor = 1;
  // Faults.
  bool silent = false;              // answers nothing at all, not even the sync
  std::string muteCommands;         // command letters answered by nothing but their echo
  bool wrongEcho = false;           // echoes command-mode bytes altered
  uint32_t resendCount = 0;         // first write checksums answered "RESEND"
  std::string checksumReply;        // when set, the first write checksum gets this line
  uint32_t badReadChecksums = 0;    // first read blocks sent with a wrong checksum
  std::map<char, int> forcedCodes;  // command letter -> return code it answers
  uint32_t hangAfter = 0;           // when set, hang after this many bytes of write data
  bool verbose = false;             // trace the lines received on standard error
  std::string logPath;              // when set, the events are appended to this file too
  uint32_t pace = 0;                // when set, bytes take their wire time at this baud rate
  bool baudCheck = false;           // bytes sent at another rate than the autobaud's are lost
};

// Parses "A,B,C,D" words (decimal or 0x hexadecimal); false on bad text.
bool ParseSerial(const std::string& text, uint32_t words[4]);
// Parses command-line options into opts; on failure fills error.
bool ParseArguments(int argc, char** argv, Options& opts, std::string& dumpPath,
                    std::string& flashPath, std::string& error, bool& help);
const char* UsageText();

class Simulator {
 public:
  explicit Simulator(const Options& options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pseudo-terminal and starts serving it on a thread.
  bool Start(std::string& error);
  void Stop();
  const std::string& PtyPath() const { return ptyPath_; }

  // Snapshots, safe while running.
  std::vector<uint8_t> Flash();
  void LoadFlash(const std::vector<uint8_t>& bytes, uint32_t offset = 0);
  bool DumpFlash(const std::string& path);
  // Notable events in order: "cmd <line>", "data <n>", "checksum <value> OK|RESEND",
  // "read-checksum <value>", "go <address>".
  std::vector<std::string> Events();
  bool Echo();
  bool Unlocked();
  bool Started(uint32_t* address = nullptr);

 private:
  enum class State { Autobaud, SyncLine, CrystalLine, Command, WriteData, ReadAck, Running };

  void Serve();
  void OnByte(uint8_t byte);
  void OnLine(const std::string& line);
  void OnCommand(const std::string& line);
  void OnWriteLine(const std::string& line);
  void OnReadAck(const std::string& line);
  void SendReadBlock();
  void Reply(const std::string& text);
  void WriteAll(const std::string& text);
  // Paced output: each reply leaves when the line has carried what went
  // before it, while input goes on arriving (the line is full duplex).
  void PacedWriter();
  // Advances a direction's clock by the wire time of `bytes` bytes; returns
  // when they have crossed the line.
  std::chrono::steady_clock::time_point Advance(std::chrono::steady_clock::time_point& clock,
                                                size_t bytes);
  bool HungThrough(uint8_t byte);
  void Code(int code);
  void Event(const std::string& text);
  uint8_t* Map(uint32_t address, uint32_t count, bool ramOnly);

  Options opts_;
  std::string ptyPath_;
  int master_ = -1;
  int slave_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mutex_;  // guards everything below
  State state_ = State::Autobaud;
  bool echo_ = true;
  bool unlocked_ = false;
  bool started_ = false;
  uint32_t startAddress_ = 0;
  std::string line_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> localRam_;
  std::vector<uint8_t> ahbRam_;
  bool prepared_[kSectorCount] = {};
  std::vector<std::string> events_;
  // Transfer in progress.
  uint32_t xferAddress_ = 0, xferCount_ = 0, xferDone_ = 0, xferBlockStart_ = 0;
  uint32_t xferLines_ = 0, xferSum_ = 0;
  bool xferBad_ = false;
  uint32_t writeChecksums_ = 0, readChecksums_ = 0;
  // The hang fault: write data taken so far, whether the chip hangs, and when
  // the last byte reached it.
  uint64_t writeBytes_ = 0;
  bool hung_ = false;
  std::chrono::steady_clock::time_point lastByte_{};
  std::chrono::steady_clock::time_point rxClock_{}, txClock_{};
  // The terminal's input speed now, and when the chip autobauded.
  speed_t LineSpeed();
  speed_t lineSpeed_ = 0;
  speed_t syncSpeed_ = 0;
  std::thread writer_;
  std::mutex outMutex_;
  std::condition_variable outReady_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> out_;
};

}  // namespace lpcsim
