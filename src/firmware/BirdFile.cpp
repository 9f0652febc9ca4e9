// Loading, parsing, validating and editing BIRD images. Every access to the
// content is bounded by its length: a field that doesn't fit counts as absent.
#include "BirdFile.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "vFile.h"

namespace {

uint32_t GetInt(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t GetShort(const uint8_t* p) { return uint32_t(p[0]) << 8 | uint32_t(p[1]); }

uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Leading whitespace skipped, then digits of the base up to the first other
// character; no digits gives 0. Wraps to 32 bits.
uint32_t ParseUnsigned(const char* text, int base) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  uint32_t value = 0;
  for (;; ++text) {
    int c = static_cast<unsigned char>(*text), d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      break;
    value = value * uint32_t(base) + uint32_t(d);
  }
  return value;
}

// Payload of a loader or firmware block: the bytes after the address word.
bool HasPayload(const BirdBlock& b) { return b.length >= 4; }
uint64_t PayloadLength(const BirdBlock& b) { return b.length - 4u; }

// Whether [at, at + size) lies wholly in the payload range [address, address + L - 4).
bool InPayload(const BirdBlock& b, uint32_t at, uint32_t size) {
  if (!HasPayload(b) || at < b.address) return false;
  return uint64_t(at - b.address) + size <= PayloadLength(b);
}

// Buffers from this size up get their own mapping, with transparent huge
// pages where the system offers them: a 4 MiB image then costs a handful of
// page faults instead of a thousand, and pages never written are never resident.
constexpr size_t kMappedBuffer = size_t(1) << 20;

// An uninitialised buffer of size bytes (at least 1); null when memory is short.
BirdBuffer NewBuffer(size_t size) {
  if (size < kMappedBuffer) return BirdBuffer(new (std::nothrow) uint8_t[size ? size : 1]);
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return BirdBuffer();
  madvise(p, size, MADV_HUGEPAGE);
  return BirdBuffer(static_cast<uint8_t*>(p), BirdBufferDeleter{size});
}

// Returns the pages of a mapped buffer past its first `used` bytes.
void ShrinkBuffer(BirdBuffer& buffer, size_t used) {
  size_t mapped = buffer.get_deleter().mapped;
  if (!mapped) return;
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  size_t keep = (std::max<size_t>(used, 1) + page - 1) / page * page;
  if (keep < mapped && munmap(buffer.get() + keep, mapped - keep) == 0)
    buffer.get_deleter().mapped = keep;
}

}  // namespace

void BirdBufferDeleter::operator()(uint8_t* p) const {
  if (!p) return;
  if (mapped)
    munmap(p, mapped);
  else
    delete[] p;
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* p) : path(p ? p : "") {
  // Caught by whoever opens the file: the commands around load_bird and the
  // recovery loader image, the download's version look-up, the birdfile tool.
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);
  serialBlockPresent = other.serialBlockPresent;
  serialOffset = other.serialOffset;
  descriptorOffset = other.descriptorOffset;
  data = std::move(other.data);
  dataLength = other.dataLength;
  other.Reset();
  return *this;
}

void BirdFile::Reset() {
  signature = version = checksum = blockCount = 0;
  blocks.clear();
  serialBlockPresent = false;
  serialOffset = descriptorOffset = 0;
  data.reset();
  dataLength = 0;
}

bool BirdFile::VerifyBytes(const uint8_t* bytes, size_t length) {
  return bytes && length >= 6 && GetInt(bytes) == BIRD_FILE_SIGNATURE && bytes[4] != 0 &&
         bytes[5] != 0;
}

bool BirdFile::VerifyFile(const char* p) {
  vFile* file = vFile_Open(p, vFileModeRead);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", p ? p : "");
    return false;
  }
  uint8_t header[6];
  size_t count = 0;
  vErr e = vFile_Read(file, header, sizeof header, &count);
  vFile_Close(&file);
  return e == vErrNone && count == sizeof header && VerifyBytes(header, count);
}

bool BirdFile::Load() {
  const char* p = path.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", p);
  if (!vFile_Exists(p)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", p);
    return false;
  }
  vFile* file = vFile_Open(p, vFileModeRead);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", p);
    return false;
  }
  size_t size = 0;
  vErr e = vFile_GetSize(file, &size);
  if (e != vErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(e), p);
    vFile_Close(&file);
    return false;
  }
  BirdBuffer buffer = NewBuffer(size);
  bool ok = false;
  if (!buffer) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(vErrMemory), p);
  } else {
    size_t got = 0;
    e = size ? vFile_Read(file, buffer.get(), size, &got) : vErrNone;
    if (e != vErrNone)
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(e), p);
    else if (got < size)
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", p,
               got, size);
    else
      ok = LoadBytes(buffer.get(), size);
  }
  buffer.reset();
  vFile_Close(&file);
  return ok;
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t size) {
  bool ok = false;
  if (bytes) {
    if (size > 6) {
      signature = GetInt(bytes);
      version = GetShort(bytes + 4);
    }
    // A file of 6 bytes or fewer has no content, which fails to decompress.
    if (DecompressData(size > 6 ? bytes + 6 : bytes, size > 6 ? size - 6 : 0)) {
      ScanBlocks(data.get(), dataLength);
      FindSerialNumberOffsets();
      ok = true;
    }
  }
  for (const BirdBlock& b : blocks) {
    if (b.type == BLOCK_SERIAL_OFFSETS) {
      serialBlockPresent = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  return ok;
}

bool BirdFile::DecompressData(const uint8_t* bytes, size_t length) {
  // The output buffer is the format's limit; a 32-bit content length caps it further.
  uint64_t capacity = uint64_t(length) * MAX_EXPANSION;
  if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
  BirdBuffer out = NewBuffer(size_t(capacity));
  if (!out) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    dataLength = 0;
    return false;
  }
  uLongf outLength = uLongf(capacity);
  static const uint8_t kNothing = 0;
  int z = uncompress(out.get(), &outLength, length ? bytes : &kNothing, uLong(length));
  if (z != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
    dataLength = 0;
    return false;
  }
  ShrinkBuffer(out, outLength);
  blocks.clear();
  data = std::move(out);
  dataLength = uint32_t(outLength);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* content, uint32_t length) {
  blockCount = 0;
  checksum = 0;
  blocks.clear();
  if (!content) length = 0;
  uint32_t reported = length >= 4 ? GetInt(content) : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
  uint32_t pos = length >= 4 ? 4 : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  bool result = true;
  bool truncated = false;
  while (length - pos > 4) {
    uint8_t header = content[pos];
    BirdBlock block;
    block.type = header & BIRD_FILE_TYPE_MASK;
    block.flags = uint8_t((header & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = GetInt(content + pos + 1);
    if (block.length > length - pos - 5) {
      // The block runs past the end of the content: it is not kept.
      truncated = true;
      break;
    }
    pos += 5;
    block.data = content + pos;
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             int(block.length));
    if (block.type == BLOCK_INFO && block.length >= 64) {
      for (int f = 0; f < 4; ++f)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.data + 16 * f));
    }
    pos += block.length;
    ++blockCount;
    blocks.push_back(block);
  }
  if (!truncated && length - pos >= 4) {
    checksum = GetInt(content + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    pos += 4;
  }
  uint32_t remaining = length - pos;
  if (remaining != 0) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(remaining));
    result = false;
  }
  if (blockCount != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             int(blockCount), int(reported));
    result = false;
  }
  return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& b : blocks)
    if (b.type == type) found.push_back(b);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  for (const BirdBlock& b : blocks) {
    if (b.type != BLOCK_SERIAL_OFFSETS) continue;
    // A block too short for both addresses holds neither.
    if (!b.data || b.length < 8) return false;
    serialOffset = GetInt(b.data);
    descriptorOffset = GetInt(b.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialOffset), int(descriptorOffset));
    return true;
  }
  return false;
}

const uint8_t* BirdFile::InfoFields() const {
  for (const BirdBlock& b : blocks)
    if (b.type == BLOCK_INFO) return b.data && b.length >= 64 ? b.data : nullptr;
  return nullptr;
}

uint32_t BirdFile::GetBuild() const {
  const uint8_t* info = InfoFields();
  if (!info) return 0;
  char text[17];
  memcpy(text, info, 16);
  text[16] = '\0';
  return ParseUnsigned(text, 10);
}

std::string BirdFile::GetVersion() const {
  const uint8_t* info = InfoFields();
  if (!info) return std::string();
  char text[17];
  memcpy(text, info + 16, 16);
  text[16] = '\0';
  for (char& c : text)
    if (c == ' ') c = '\0';
  return std::string(text);
}

uint32_t BirdFile::GetSerialNumber() const {
  const uint8_t* info = InfoFields();
  if (!info) return 0;
  char text[9];
  memcpy(text, info + 32, 8);
  text[8] = '\0';
  return ParseUnsigned(text, 16);
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
  return InfoFields() && serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* model) const {
  const uint8_t* info = InfoFields();
  if (!info || !model) return false;
  char field[17];
  memcpy(field, info + 48, 16);
  field[16] = '\0';
  size_t n = strlen(field);
  while (n > 0 && field[n - 1] == ' ') field[--n] = '\0';
  if (strncmp(field, model, strlen(model)) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  // An empty pattern matches at every position, 0 to L inclusive; a missing
  // pattern of non-zero length matches nowhere.
  if (pattern || count == 0) {
    for (const BirdBlock& b : blocks) {
      if (b.type != BLOCK_FIRMWARE || !b.data || b.length < count) continue;
      for (uint64_t i = 0; i <= uint64_t(b.length) - count; ++i) {
        if (count == 0 || memcmp(b.data + i, pattern, count) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[9];
  snprintf(text, sizeof text, "%08X", serial);
  bool result = false;
  for (BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || !b.data) continue;
    if (serialOffset != 0) {
      result = true;
      if (InPayload(b, serialOffset, 4)) {
        uint8_t* at = b.data + (serialOffset - b.address) + 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 GetLE32(at), serial);
        PutLE32(at, serial);
      }
    }
    if (descriptorOffset != 0 && InPayload(b, descriptorOffset, 16)) {
      uint8_t* at = b.data + (descriptorOffset - b.address) + 4;
      for (int i = 0; i < 8; ++i) at[2 * i] = uint8_t(text[i]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || !b.data || b.address != 0 || !HasPayload(b) ||
        PayloadLength(b) < 32)
      continue;
    // Words 0..7 of the vector table must sum to zero for the boot ROM to
    // start the image, so word 7 is the negated sum of words 0..6.
    uint8_t* vectors = b.data + 4;
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w) sum += GetLE32(vectors + 4 * w);
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLE32(vectors + 28), value);
    PutLE32(vectors + 28, value);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  if (!key) return true;
  uint8_t k[16];
  for (int i = 0; i < 16; ++i) k[i] = uint8_t(key[i / 4] >> (24 - 8 * (i % 4)));
  for (BirdBlock& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || !b.data || !HasPayload(b)) continue;
    uint8_t* payload = b.data + 4;
    uint8_t prev = 0;
    unsigned j16 = 0;
    for (uint64_t j = 0; j < PayloadLength(b); ++j) {
      payload[j] = uint8_t(payload[j] ^ k[j16] ^ prev);
      prev = payload[j];
      j16 = (j16 + 1) & 15;
    }
  }
  return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& b : blocks) {
    if (b.type != type || !b.data) continue;
    std::string text;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06u: ", text.c_str(), i);
        text.clear();
      }
      uint8_t c = b.data[i];
      text += isprint(c) ? char(c) : ' ';
      printf("%02X ", c);
    }
    printf(" %s\n", text.c_str());
  }
  printf("\n");
  return true;
}
