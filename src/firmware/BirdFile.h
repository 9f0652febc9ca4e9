// A BIRD firmware image held in memory: loaded and decompressed once, split
// into blocks that point into the content, checked against a module and edited
// in place (serial number, vector checksum, descrambling) before it is sent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Releases a content or file buffer: large ones are their own memory
// mapping (mapped > 0, its length), small ones come from new[].
struct BirdBufferDeleter {
  size_t mapped = 0;
  void operator()(uint8_t* p) const;
};
using BirdBuffer = std::unique_ptr<uint8_t[], BirdBufferDeleter>;

// One block of the content. `data` points into the owning BirdFile's buffer.
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;
  uint32_t address = 0;  // loader and firmware blocks: the big-endian word at the start of data
  uint8_t* data = nullptr;
};

class BirdFile {
 public:
  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  // Content larger than this many times the compressed size does not load.
  static constexpr size_t MAX_EXPANSION = 8;

  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_START_ADDRESS = 5,
  };

  BirdFile();
  // Loads the file; throws std::runtime_error("Failed to load bird data") when it can't.
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // True when the file starts with "bird" and two non-zero version bytes.
  static bool VerifyFile(const char* path);
  // The same test on bytes already in memory.
  static bool VerifyBytes(const uint8_t* bytes, size_t length);

  bool Load();
  // Decompresses and parses a whole file image held in memory (everything
  // Load does after reading the file); `path` is only used in log lines.
  bool LoadBytes(const uint8_t* bytes, size_t length);
  bool DecompressData(const uint8_t* bytes, size_t length);
  bool ScanBlocks(uint8_t* content, uint32_t length);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  bool FindSerialNumberOffsets();

  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  bool ValidateModel(const char* model) const;
  bool ValidateData(const uint8_t* pattern, uint32_t count) const;

  bool ReplaceSerialNumber(uint32_t serial);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool DumpBlocks(BLOCK_TYPE type) const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool serialBlockPresent = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  BirdBuffer data;
  uint32_t dataLength = 0;

 private:
  // The first info block when it holds all 64 bytes of its fields, else null.
  const uint8_t* InfoFields() const;
  void Reset();
};
