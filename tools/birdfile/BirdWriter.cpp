// BIRD image construction (blocks, content, zlib framing), the `birdfile pack`
// manifest reader, and an independent inspector that reports every anomaly.
#include "BirdWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bird {

namespace {

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

uint32_t GetBE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::vector<uint8_t> WithAddress(uint32_t address, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> data;
  data.reserve(payload.size() + 4);
  PutBE32(data, address);
  data.insert(data.end(), payload.begin(), payload.end());
  return data;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Decimal, or hexadecimal with a 0x prefix; the whole text must be the number.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  std::string t = Lower(Trim(text));
  if (t.empty()) return false;
  int base = 10;
  size_t i = 0;
  if (t.size() > 2 && t[0] == '0' && t[1] == 'x') {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < t.size(); ++i) {
    int d;
    if (isdigit(static_cast<unsigned char>(t[i])))
      d = t[i] - '0';
    else if (base == 16 && t[i] >= 'a' && t[i] <= 'f')
      d = t[i] - 'a' + 10;
    else
      return false;
    if (d >= base) return false;
    v = v * uint64_t(base) + uint64_t(d);
    if (v > max) return false;
  }
  *value = v;
  return true;
}

// Pairs of hex digits; blanks, commas and colons between bytes are ignored.
bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  int high = -1;
  for (char c : text) {
    if (isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') {
      if (high >= 0) return false;  // a lone digit
      continue;
    }
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    int d = isdigit(static_cast<unsigned char>(c)) ? c - '0' : tolower(c) - 'a' + 10;
    if (high < 0) {
      high = d;
    } else {
      out->push_back(uint8_t(high << 4 | d));
      high = -1;
    }
  }
  return high < 0;
}

bool Compress(const std::vector<uint8_t>& content, int level, std::vector<uint8_t>* out,
              std::string* error) {
  uLongf size = compressBound(uLong(content.size()));
  out->resize(size);
  int z = compress2(out->data(), &size, content.data(), uLong(content.size()), level);
  if (z != Z_OK) {
    *error = "zlib compression failed (" + std::to_string(z) + ")";
    return false;
  }
  out->resize(size);
  return true;
}

}  // namespace

std::string BlockTypeName(uint8_t type) {
  switch (type) {
    case kLoader: return "loader";
    case kFirmware: return "firmware";
    case kSerialOffsets: return "serial-offsets";
    case kInfo: return "info";
    case kStartAddress: return "start-address";
    default: return "type " + std::to_string(type);
  }
}

uint32_t ContentChecksum(const uint8_t* content, size_t length) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (length > 0) {
    uInt n = length > 0x40000000u ? 0x40000000u : uInt(length);
    crc = crc32(crc, content, n);
    content += n;
    length -= n;
  }
  return uint32_t(crc);
}

std::vector<uint8_t> Scramble(const std::vector<uint8_t>& payload, const uint32_t key[4]) {
  uint8_t k[16];
  for (int i = 0; i < 16; ++i) k[i] = uint8_t(key[i / 4] >> (24 - 8 * (i % 4)));
  std::vector<uint8_t> out(payload.size());
  uint8_t prev = 0;
  for (size_t j = 0; j < payload.size(); ++j) {
    out[j] = uint8_t(payload[j] ^ k[j % 16] ^ prev);
    prev = payload[j];
  }
  return out;
}

bool FixVectorChecksum(std::vector<uint8_t>& payload) {
  if (payload.size() < 32) return false;
  uint32_t sum = 0;
  for (int w = 0; w < 7; ++w) {
    const uint8_t* p = &payload[size_t(w) * 4];
    sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  uint32_t w7 = 0u - sum;
  for (int i = 0; i < 4; ++i) payload[28 + size_t(i)] = uint8_t(w7 >> (8 * i));
  return true;
}

BirdWriter& BirdWriter::Loader(uint32_t address, const std::vector<uint8_t>& payload,
                               uint8_t flags) {
  return Raw(kLoader, flags, WithAddress(address, payload));
}

BirdWriter& BirdWriter::Firmware(uint32_t address, const std::vector<uint8_t>& payload,
                                 uint8_t flags) {
  return Raw(kFirmware, flags, WithAddress(address, payload));
}

BirdWriter& BirdWriter::SerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress,
                                      uint8_t flags) {
  std::vector<uint8_t> data;
  PutBE32(data, serialAddress);
  PutBE32(data, descriptorAddress);
  return Raw(kSerialOffsets, flags, data);
}

BirdWriter& BirdWriter::Info(uint32_t build, const std::string& version, uint32_t serial,
                             const std::string& model) {
  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", serial);
  return InfoText(std::to_string(build), version, serialText, model);
}

BirdWriter& BirdWriter::InfoText(const std::string& build, const std::string& version,
                                 const std::string& serial, const std::string& model) {
  std::vector<uint8_t> data(64, ' ');
  const std::string* fields[4] = {&build, &version, &serial, &model};
  static const char* names[4] = {"build", "version", "serial", "model"};
  for (int i = 0; i < 4; ++i) {
    if (fields[i]->size() > 16 && error_.empty())
      error_ = std::string("info ") + names[i] + " text \"" + *fields[i] +
               "\" is longer than 16 characters";
    memcpy(&data[size_t(i) * 16], fields[i]->data(), std::min<size_t>(16, fields[i]->size()));
  }
  return Raw(kInfo, 0, data);
}

BirdWriter& BirdWriter::StartAddress(uint32_t address) {
  std::vector<uint8_t> data;
  PutBE32(data, address);
  return Raw(kStartAddress, 0, data);
}

BirdWriter& BirdWriter::Raw(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data) {
  blocks_.push_back(Block{type, flags, data});
  return *this;
}

BirdWriter& BirdWriter::Signature(const std::string& fourBytes) {
  signature_ = fourBytes;
  return *this;
}
BirdWriter& BirdWriter::FormatVersion(uint16_t version) {
  version_ = version;
  return *this;
}
BirdWriter& BirdWriter::ReportedCount(uint32_t count) {
  countSet_ = true;
  count_ = count;
  return *this;
}
BirdWriter& BirdWriter::Checksum(uint32_t checksum) {
  checksumSet_ = true;
  checksum_ = checksum;
  return *this;
}
BirdWriter& BirdWriter::Trailing(const std::vector<uint8_t>& bytes) {
  trailing_ = bytes;
  return *this;
}
BirdWriter& BirdWriter::CompressionLevel(int level) {
  level_ = level;
  return *this;
}

bool BirdWriter::Content(std::vector<uint8_t>* content, std::string* error) const {
  if (!error_.empty()) {
    *error = error_;
    return false;
  }
  size_t total = 8 + trailing_.size();
  for (size_t i = 0; i < blocks_.size(); ++i) {
    const Block& b = blocks_[i];
    if (b.type > 31 || b.flags > 7) {
      *error = "block " + std::to_string(i) + ": type must be 0..31 and flags 0..7";
      return false;
    }
    if (b.data.size() > 0xFFFFFFFFu) {
      *error = "block " + std::to_string(i) + " is larger than 4 GiB";
      return false;
    }
    total += 5 + b.data.size();
  }
  content->clear();
  content->reserve(total);
  PutBE32(*content, countSet_ ? count_ : uint32_t(blocks_.size()));
  for (const Block& b : blocks_) {
    content->push_back(uint8_t(b.flags << 5 | b.type));
    PutBE32(*content, uint32_t(b.data.size()));
    content->insert(content->end(), b.data.begin(), b.data.end());
  }
  PutBE32(*content, checksumSet_ ? checksum_ : ContentChecksum(content->data(), content->size()));
  content->insert(content->end(), trailing_.begin(), trailing_.end());
  return true;
}

bool BirdWriter::Build(std::vector<uint8_t>* file, std::string* error, bool* stored) const {
  if (stored) *stored = false;
  std::vector<uint8_t> content;
  if (!Content(&content, error)) return false;
  if (level_ < -1 || level_ > 9) {
    *error = "compression level must be 0..9";
    return false;
  }
  std::vector<uint8_t> packed;
  if (!Compress(content, level_ < 0 ? 9 : level_, &packed, error)) return false;
  // Content that expands more than eightfold does not load; stored blocks never do.
  if (level_ < 0 && content.size() > kMaxExpansion * packed.size()) {
    if (!Compress(content, 0, &packed, error)) return false;
    if (stored) *stored = true;
  }
  file->clear();
  file->reserve(6 + packed.size());
  for (size_t i = 0; i < 4; ++i)
    file->push_back(i < signature_.size() ? uint8_t(signature_[i]) : 0);
  file->push_back(uint8_t(version_ >> 8));
  file->push_back(uint8_t(version_));
  file->insert(file->end(), packed.begin(), packed.end());
  return true;
}

bool BirdWriter::Write(const std::string& path, std::string* error) const {
  std::vector<uint8_t> bytes;
  return Build(&bytes, error) && WriteFileBytes(path, bytes, error);
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  // Written beside the target and renamed into place, so a failed write never
  // leaves a truncated image under the final name.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmpl = dir + "/." + base + ".tmp-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  int saved = errno;
  bool ok = done == bytes.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  if (!ok && done == bytes.size()) saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(name.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(name.data());
    *error = "cannot write " + path + ": " + strerror(saved);
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Manifest

namespace {

struct PendingBlock {
  std::string kind;  // section name
  int line = 0;
  uint8_t flags = 0;
  bool typeSet = false;
  uint8_t type = 0;
  bool addressSet = false;
  uint32_t address = 0;
  bool dataGiven = false;
  std::vector<uint8_t> payload;
  bool sizeSet = false;
  uint64_t size = 0;
  uint8_t fill = 0xFF;
  bool scramble = false;
  uint32_t key[4] = {0, 0, 0, 0};
  bool vectorChecksum = false;
  uint32_t serialAddress = 0, descriptorAddress = 0;
  std::string info[4];
};

const char* kSections[] = {"loader", "firmware",      "serial-offsets",
                           "info",   "start-address", "block"};

bool KeyAllowed(const std::string& kind, const std::string& key) {
  auto in = [&](std::initializer_list<const char*> keys) {
    for (const char* k : keys)
      if (key == k) return true;
    return false;
  };
  if (in({"flags", "file", "hex", "text", "size", "fill"})) return true;
  if (kind == "loader") return in({"address"});
  if (kind == "firmware") return in({"address", "scramble", "vector-checksum"});
  if (kind == "serial-offsets") return in({"serial", "descriptor"});
  if (kind == "info") return in({"build", "version", "serial", "model"});
  if (kind == "start-address") return in({"address"});
  if (kind == "block") return in({"type"});
  return false;
}

bool Finish(PendingBlock& b, BirdWriter* writer, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = "[" + b.kind + "] at line " + std::to_string(b.line) + ": " + why;
    return false;
  };
  if (b.sizeSet) {
    if (b.payload.size() > b.size)
      return fail("data (" + std::to_string(b.payload.size()) + " bytes) exceeds size " +
                  std::to_string(b.size));
    b.payload.resize(size_t(b.size), b.fill);
  }
  if (b.kind == "loader" || b.kind == "firmware") {
    if (!b.addressSet) return fail("missing address");
    if (b.vectorChecksum) {
      if (b.address != 0) return fail("vector-checksum needs the block at address 0");
      if (!FixVectorChecksum(b.payload)) return fail("vector-checksum needs 32 payload bytes");
    }
    if (b.scramble) b.payload = Scramble(b.payload, b.key);
    if (b.kind == "loader")
      writer->Loader(b.address, b.payload, b.flags);
    else
      writer->Firmware(b.address, b.payload, b.flags);
  } else if (b.kind == "serial-offsets") {
    if (b.dataGiven)
      writer->Raw(kSerialOffsets, b.flags, b.payload);
    else
      writer->SerialOffsets(b.serialAddress, b.descriptorAddress, b.flags);
  } else if (b.kind == "info") {
    if (b.dataGiven) {
      writer->Raw(kInfo, b.flags, b.payload);
    } else {
      for (int i = 0; i < 4; ++i)
        if (b.info[i].size() > 16)
          return fail("\"" + b.info[i] + "\" is longer than 16 characters");
      writer->InfoText(b.info[0], b.info[1], b.info[2], b.info[3]);
      writer->blocks().back().flags = b.flags;
    }
  } else if (b.kind == "start-address") {
    if (b.dataGiven) {
      writer->Raw(kStartAddress, b.flags, b.payload);
    } else {
      if (!b.addressSet) return fail("missing address");
      writer->StartAddress(b.address);
      writer->blocks().back().flags = b.flags;
    }
  } else {
    if (!b.typeSet) return fail("missing type");
    writer->Raw(b.type, b.flags, b.payload);
  }
  return true;
}

}  // namespace

bool ParseManifest(const std::string& text, const std::string& baseDir, BirdWriter* writer,
                   std::string* error) {
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  PendingBlock block;
  bool inBlock = false;
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = Trim(raw);
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("section header must end with ']'");
      std::string kind = Lower(Trim(line.substr(1, line.size() - 2)));
      bool known = false;
      for (const char* s : kSections) known = known || kind == s;
      if (!known)
        return fail("unknown section [" + kind +
                    "] (use loader, firmware, serial-offsets, info, start-address or block)");
      if (inBlock && !Finish(block, writer, error)) return false;
      block = PendingBlock();
      block.kind = kind;
      block.line = lineNo;
      inBlock = true;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    uint64_t n = 0;
    auto number = [&](uint64_t max) {
      if (ParseNumber(value, max, &n)) return true;
      *error = "line " + std::to_string(lineNo) + ": " + key + " must be a number from 0 to " +
               std::to_string(max) + " (decimal or 0x hexadecimal), not \"" + value + "\"";
      return false;
    };

    if (!inBlock) {
      if (key == "signature") {
        if (value.size() != 4) return fail("signature must be 4 characters");
        writer->Signature(value);
      } else if (key == "format-version") {
        if (!number(0xFFFF)) return false;
        writer->FormatVersion(uint16_t(n));
      } else if (key == "block-count") {
        if (!number(0xFFFFFFFF)) return false;
        writer->ReportedCount(uint32_t(n));
      } else if (key == "checksum") {
        if (!number(0xFFFFFFFF)) return false;
        writer->Checksum(uint32_t(n));
      } else if (key == "compression") {
        if (Lower(value) == "auto") {
          writer->CompressionLevel(-1);
        } else {
          if (!number(9)) return false;
          writer->CompressionLevel(int(n));
        }
      } else if (key == "trailing") {
        std::vector<uint8_t> bytes;
        if (!ParseHex(value, &bytes)) return fail("trailing must be hex bytes");
        writer->Trailing(bytes);
      } else {
        return fail("unknown key '" + key +
                    "' before the first block (use signature, format-version, block-count, "
                    "checksum, compression or trailing)");
      }
      continue;
    }

    if (!KeyAllowed(block.kind, key))
      return fail("unknown key '" + key + "' in [" + block.kind + "]");
    if (key == "flags") {
      if (!number(7)) return false;
      block.flags = uint8_t(n);
    } else if (key == "type") {
      if (!number(31)) return false;
      block.type = uint8_t(n);
      block.typeSet = true;
    } else if (key == "address") {
      if (!number(0xFFFFFFFF)) return false;
      block.address = uint32_t(n);
      block.addressSet = true;
    } else if (key == "file") {
      std::string path = value;
      if (!path.empty() && path[0] != '/' && !baseDir.empty()) path = baseDir + "/" + path;
      std::vector<uint8_t> bytes;
      std::string why;
      if (!ReadFileBytes(path, &bytes, &why)) return fail(why);
      block.payload.insert(block.payload.end(), bytes.begin(), bytes.end());
      block.dataGiven = true;
    } else if (key == "hex") {
      if (!ParseHex(value, &block.payload))
        return fail("hex data must be pairs of hex digits, optionally separated by blanks");
      block.dataGiven = true;
    } else if (key == "text") {
      block.payload.insert(block.payload.end(), value.begin(), value.end());
      block.dataGiven = true;
    } else if (key == "size") {
      if (!number(0x7FFFFFFF)) return false;
      block.size = n;
      block.sizeSet = true;
      block.dataGiven = true;
    } else if (key == "fill") {
      if (!number(0xFF)) return false;
      block.fill = uint8_t(n);
    } else if (key == "scramble") {
      std::istringstream words(value);
      std::string w;
      int count = 0;
      while (words >> w) {
        if (count == 4 || !ParseNumber(w, 0xFFFFFFFF, &n))
          return fail("scramble must be four 32-bit words");
        block.key[count++] = uint32_t(n);
      }
      if (count != 4) return fail("scramble must be four 32-bit words");
      block.scramble = true;
    } else if (key == "vector-checksum") {
      std::string v = Lower(value);
      if (v != "yes" && v != "no") return fail("vector-checksum must be yes or no");
      block.vectorChecksum = v == "yes";
    } else if (key == "serial" && block.kind == "serial-offsets") {
      if (!number(0xFFFFFFFF)) return false;
      block.serialAddress = uint32_t(n);
    } else if (key == "descriptor") {
      if (!number(0xFFFFFFFF)) return false;
      block.descriptorAddress = uint32_t(n);
    } else {  // info fields
      int i = key == "build" ? 0 : key == "version" ? 1 : key == "serial" ? 2 : 3;
      block.info[i] = value;
    }
  }
  if (inBlock && !Finish(block, writer, error)) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Inspection

namespace {
// Decompression in `birdfile info` stops here rather than exhaust memory.
constexpr size_t kInspectLimit = size_t(1) << 30;
}  // namespace

Inspection Inspect(const uint8_t* bytes, size_t length) {
  Inspection r;
  r.fileSize = length;
  r.signature.assign(reinterpret_cast<const char*>(bytes), std::min<size_t>(4, length));
  if (length < 6) return r;
  r.headerComplete = true;
  r.version = uint16_t(bytes[4] << 8 | bytes[5]);

  std::vector<uint8_t> content;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    r.zlibResult = Z_MEM_ERROR;
    return r;
  }
  z.next_in = const_cast<uint8_t*>(bytes + 6);
  z.avail_in = uInt(std::min<size_t>(length - 6, 0xFFFFFFFFu));
  int result = Z_OK;
  uint8_t chunk[65536];
  while (result == Z_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    result = inflate(&z, Z_NO_FLUSH);
    content.insert(content.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    if (result == Z_BUF_ERROR && z.avail_in == 0) break;  // the stream ends early
    if (content.size() > kInspectLimit) break;
  }
  // Like zlib's uncompress: bytes after the stream's end are ignored.
  bool complete = result == Z_STREAM_END;
  inflateEnd(&z);
  if (!complete) {
    r.zlibResult = result == Z_OK || result == Z_BUF_ERROR ? Z_DATA_ERROR : result;
    if (content.size() > kInspectLimit) r.zlibResult = Z_MEM_ERROR;
    return r;
  }
  r.decompressed = true;
  r.contentSize = content.size();
  r.withinExpansion = content.size() <= kMaxExpansion * (length - 6);

  const uint8_t* p = content.data();
  size_t n = content.size();
  if (n < 4) return r;
  r.countPresent = true;
  r.reportedCount = GetBE32(p);
  size_t pos = 4;
  while (n - pos > 4) {
    if (n - pos < 5) {
      r.truncatedBlock = true;
      break;
    }
    uint8_t header = p[pos];
    uint32_t len = GetBE32(p + pos + 1);
    if (len > n - pos - 5) {
      r.truncatedBlock = true;
      pos = n;
      break;
    }
    Block b;
    b.type = header & 0x1F;
    b.flags = uint8_t(header >> 5);
    b.data.assign(p + pos + 5, p + pos + 5 + len);
    r.blocks.push_back(std::move(b));
    pos += 5 + size_t(len);
  }
  if (!r.truncatedBlock && n - pos == 4) {
    r.checksumPresent = true;
    r.checksum = GetBE32(p + pos);
    r.computedChecksum = ContentChecksum(p, pos);
    pos += 4;
  }
  r.trailingBytes = n - pos;
  return r;
}

bool ReadIdentity(const std::vector<uint8_t>& d, Identity* id) {
  if (d.size() < 64) return false;
  auto field = [&](size_t at, size_t len) {
    std::string s(reinterpret_cast<const char*>(&d[at]), len);
    return s.substr(0, s.find('\0'));
  };
  id->build = uint32_t(strtoull(field(0, 16).c_str(), nullptr, 10));
  std::string v = field(16, 16);
  id->version = v.substr(0, v.find(' '));
  id->serial = uint32_t(strtoull(field(32, 8).c_str(), nullptr, 16));
  std::string m = field(48, 16);
  while (!m.empty() && m.back() == ' ') m.pop_back();
  id->model = m;
  return true;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  struct stat st;
  if (!f || stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "cannot read " + path + ": it is a directory";
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (f.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace bird
