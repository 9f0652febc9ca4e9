// A simulated i.MX boot ROM speaking the Serial Download Protocol: it takes
// 16-byte commands and the data that follows WRITE_FILE, keeps a sparse RAM
// with preset fuse words, and produces the replies the real ROM sends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace imxsim {

constexpr uint32_t kHabOpen = 0x56787856;    // development mode
constexpr uint32_t kHabClosed = 0x12343412;  // secured mode
constexpr uint32_t kHabBad = 0x33333333;     // neither: the ROM won't load or start images
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kFileComplete = 0x88888888;
constexpr uint32_t kRegisterComplete = 0x128A8A12;
constexpr uint32_t kRefused = 0x33CC33CC;  // error status of a refused command
constexpr uint32_t kFuseLowAddress = 0x401F4410;
constexpr uint32_t kFuseHighAddress = 0x401F4420;

struct Options {
  uint32_t hab = kHabOpen;
  bool badHab = false;
  bool noAck = false;
  bool earlyReply = false;
  bool noComplete = false;
  unsigned ignore = 0;
  std::map<uint32_t, uint32_t> registers;  // preset 32-bit words
  std::string dumpPath;
  std::string logPath;
  uint16_t vendor = 0x1FC9;
  uint16_t product = 0x0130;
  bool noDevice = false;
  bool help = false;
  // What the started loader brings up: the pseudo-terminal program writes
  // jumpFile at a jump; the HID stand-in puts plugSpec on the simulated USB
  // bus at a jump, or once watchPath appears (the serial case).
  std::string jumpFile;
  bool timestamps = false;  // pseudo-terminal: start event lines with the monotonic time
  std::string plugSpec;
  std::string watchPath;
};

// Parses the simulator's options; an empty result means success, otherwise
// it is the message that says what is wrong.
std::string ParseOptions(const std::vector<std::string>& args, Options& options);
const char* UsageText();

class Rom {
 public:
  // One reply unit: report 3 carries the security status, report 4 a result
  // word or read data. The serial side sends the bytes alone.
  struct Reply {
    uint8_t report;
    std::vector<uint8_t> bytes;
  };
  using EventSink = std::function<void(const std::string&)>;

  Rom(const Options& options, EventSink events);

  // Executes one 16-byte command, appending its replies.
  void Command(const uint8_t* command, std::vector<Reply>& replies);
  // Takes data of a running WRITE_FILE or DCD_WRITE; returns the bytes used.
  size_t Data(const uint8_t* bytes, size_t count, std::vector<Reply>& replies);
  bool InDataPhase() const { return dataLeft_ > 0; }
  // True once an image was started: the ROM no longer answers.
  bool Started() const { return started_; }
  bool Silent() const { return options_.noAck; }
  uint32_t Hab() const { return options_.badHab ? kHabBad : options_.hab; }

 private:
  enum class DataKind { None, File, Dcd };
  void Event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Status(std::vector<Reply>& replies);
  void Word(uint32_t word, std::vector<Reply>& replies);
  void Refuse(std::vector<Reply>& replies);
  void FinishData(std::vector<Reply>& replies);
  bool Store(uint32_t address, uint8_t value);
  uint8_t Load(uint32_t address) const;
  void WriteDump();

  Options options_;
  EventSink events_;
  unsigned ignoreLeft_;
  uint32_t lastStatus_ = kStatusOk;
  bool started_ = false;
  std::map<uint32_t, std::vector<uint8_t>> pages_;
  // Span of the bytes loaded by WRITE_FILE, for the dump.
  uint64_t loadedLow_ = UINT64_MAX;
  uint64_t loadedHigh_ = 0;
  DataKind dataKind_ = DataKind::None;
  uint32_t dataAddress_ = 0;
  uint32_t dataCount_ = 0;
  uint32_t dataLeft_ = 0;
  uint32_t dataOffset_ = 0;
  bool dataOk_ = false;
};

}  // namespace imxsim
