// Building and inspecting BIRD firmware images in C++: the library behind the
// `birdfile` tool, also used by tests, simulators and server fixtures to make
// images (well-formed or deliberately damaged) without any updater code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bird {

// Block types with a meaning; any value 0..31 may be written with Raw().
enum BlockType : uint8_t {
  kLoader = 0,
  kFirmware = 1,
  kSerialOffsets = 2,
  kInfo = 4,
  kStartAddress = 5,
};

// "loader", "firmware", "serial-offsets", "info", "start-address" or "type N".
std::string BlockTypeName(uint8_t type);

struct Block {
  uint8_t type = 0;
  uint8_t flags = 0;  // 0..7, stored in the top three bits of the header byte
  std::vector<uint8_t> data;
};

// Largest content size, relative to the compressed size, that the updater loads.
constexpr size_t kMaxExpansion = 8;

// Checksum stored at the end of the content: CRC-32 of every content byte
// before it. The updater only logs it; `birdfile info` reports whether it matches.
uint32_t ContentChecksum(const uint8_t* content, size_t length);

// Scrambles a firmware payload so that descrambling with the same key (as the
// updater does for device-specific recovery images) gives back the payload:
// c[j] = p[j] ^ K[j mod 16] ^ p[j-1], with K the key words most significant byte first.
std::vector<uint8_t> Scramble(const std::vector<uint8_t>& payload, const uint32_t key[4]);

// Sets vector word 7 (little-endian, bytes 28..31) so that words 0..7 sum to
// zero, as the LPC boot ROM requires of the image at address 0. False when the
// payload is shorter than 32 bytes.
bool FixVectorChecksum(std::vector<uint8_t>& payload);

class BirdWriter {
 public:
  // Blocks, appended in file order. Loader and firmware data start with the
  // big-endian load address followed by the payload.
  BirdWriter& Loader(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags = 0);
  BirdWriter& Firmware(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags = 0);
  // Target addresses of the 32-bit serial number and of its 16-bit-character
  // text inside the firmware; 0 means not present. Makes the image generic.
  BirdWriter& SerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress, uint8_t flags = 0);
  // The identity block: build in decimal, version text, serial as "%08X", model name.
  BirdWriter& Info(uint32_t build, const std::string& version, uint32_t serial,
                   const std::string& model);
  // The identity block from four raw texts, each space-padded to 16 bytes
  // (texts longer than 16 bytes make Build fail).
  BirdWriter& InfoText(const std::string& build, const std::string& version,
                       const std::string& serial, const std::string& model);
  BirdWriter& StartAddress(uint32_t address);
  BirdWriter& Raw(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data);

  // Header and framing. By default: "bird", version 0x0101, the true block
  // count, the CRC-32 checksum and automatic compression. Overrides exist to
  // make damaged files for tests.
  BirdWriter& Signature(const std::string& fourBytes);
  BirdWriter& FormatVersion(uint16_t version);
  BirdWriter& ReportedCount(uint32_t count);
  BirdWriter& Checksum(uint32_t checksum);
  // Bytes appended after the checksum (a content the reader finds too long).
  BirdWriter& Trailing(const std::vector<uint8_t>& bytes);
  // zlib level 0..9, or -1 (the default) for the best level whose output
  // the updater can still load (level 9, or stored blocks when 9 compresses
  // more than eightfold).
  BirdWriter& CompressionLevel(int level);

  std::vector<Block>& blocks() { return blocks_; }
  const std::vector<Block>& blocks() const { return blocks_; }

  // The decompressed content: count, blocks, checksum. False with a reason
  // when a block is malformed (flags over 7, type over 31, info text too long).
  bool Content(std::vector<uint8_t>* content, std::string* error) const;
  // The whole file. False with a reason on a malformed block or a zlib failure.
  // *stored, when given, tells whether automatic compression fell back to
  // stored blocks because level 9 would expand more than eightfold.
  bool Build(std::vector<uint8_t>* file, std::string* error, bool* stored = nullptr) const;
  // Build, then write the file (through a temporary file renamed into place).
  bool Write(const std::string& path, std::string* error) const;

 private:
  std::vector<Block> blocks_;
  std::string signature_ = "bird";
  uint16_t version_ = 0x0101;
  bool countSet_ = false;
  uint32_t count_ = 0;
  bool checksumSet_ = false;
  uint32_t checksum_ = 0;
  std::vector<uint8_t> trailing_;
  int level_ = -1;
  std::string error_;  // a malformed call, reported by Content and Build
};

// The manifest read by `birdfile pack` (described in docs/bird-format.md). Files
// named in it are read relative to baseDir. False with a reason that names the
// manifest line.
bool ParseManifest(const std::string& text, const std::string& baseDir, BirdWriter* writer,
                   std::string* error);

// What a BIRD file holds, parsed independently of the updater, with every
// anomaly noted rather than refused.
struct Inspection {
  size_t fileSize = 0;
  bool headerComplete = false;  // at least 6 bytes
  std::string signature;        // the first four bytes as read (fewer when short)
  uint16_t version = 0;
  bool decompressed = false;
  int zlibResult = 0;            // zlib's code when decompression failed
  size_t contentSize = 0;        // decompressed size, unlimited
  bool withinExpansion = false;  // content fits in eight times the compressed size
  bool countPresent = false;
  uint32_t reportedCount = 0;
  std::vector<Block> blocks;    // complete blocks, in file order
  bool truncatedBlock = false;  // a block ran past the end of the content
  bool checksumPresent = false;
  uint32_t checksum = 0;
  uint32_t computedChecksum = 0;
  size_t trailingBytes = 0;  // bytes after the checksum
};

Inspection Inspect(const uint8_t* bytes, size_t length);

// The identity fields as the updater reads them from an info block's data.
struct Identity {
  uint32_t build = 0;
  std::string version;
  uint32_t serial = 0;
  std::string model;  // trailing spaces removed
};
bool ReadIdentity(const std::vector<uint8_t>& infoData, Identity* identity);

// Reads a whole file; false with a reason.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// Writes a whole file through a temporary file renamed into place, so a failed
// write never leaves a truncated file under the final name; false with a reason.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error);

}  // namespace bird
