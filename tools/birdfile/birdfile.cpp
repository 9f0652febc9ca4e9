// The `birdfile` tool: builds a BIRD firmware image from a text manifest, prints
// what an image holds, and checks whether the updater would accept it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BirdCheck.h"
#include "BirdWriter.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  birdfile pack MANIFEST OUT   build the BIRD file OUT from MANIFEST ('-' reads standard input)\n"
    "  birdfile info FILE           print the header, every block and the identity fields\n"
    "  birdfile check [-v] FILE     exit 1 with the reason when the updater would refuse FILE\n"
    "                               (-v also prints the updater's BIRD file log)\n"
    "The manifest format is described in birdfile(1).\n";

int Usage(const char* problem) {
  if (problem) fprintf(stderr, "birdfile: %s\n", problem);
  fputs(kUsage, stderr);
  return 2;
}

int Pack(const std::string& manifestPath, const std::string& out) {
  std::string text, error, baseDir;
  if (manifestPath == "-") {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) text.append(buf, n);
  } else {
    std::vector<uint8_t> bytes;
    if (!bird::ReadFileBytes(manifestPath, &bytes, &error)) {
      fprintf(stderr, "birdfile: %s\n", error.c_str());
      return 1;
    }
    text.assign(bytes.begin(), bytes.end());
    size_t slash = manifestPath.rfind('/');
    baseDir = slash == std::string::npos ? "." : manifestPath.substr(0, slash);
    if (baseDir.empty()) baseDir = "/";
  }
  bird::BirdWriter writer;
  if (!bird::ParseManifest(text, baseDir, &writer, &error)) {
    fprintf(stderr, "birdfile: %s: %s\n", manifestPath.c_str(), error.c_str());
    return 1;
  }
  std::vector<uint8_t> file, content;
  bool stored = false;
  if (!writer.Build(&file, &error, &stored) || !writer.Content(&content, &error)) {
    fprintf(stderr, "birdfile: %s: %s\n", manifestPath.c_str(), error.c_str());
    return 1;
  }
  if (!bird::WriteFileBytes(out, file, &error)) {
    fprintf(stderr, "birdfile: %s\n", error.c_str());
    return 1;
  }
  if (content.size() > bird::kMaxExpansion * (file.size() - 6))
    fprintf(stderr,
            "birdfile: warning: the content expands more than eightfold; the updater will not "
            "load %s\n",
            out.c_str());
  printf("%s: %zu blocks, %zu content bytes, %zu bytes written%s\n", out.c_str(),
         writer.blocks().size(), content.size(), file.size(),
         stored ? " (stored uncompressed: packed, it would expand more than eightfold, which the "
                  "updater refuses)"
                : "");
  return 0;
}

void PrintText16(const uint8_t* p) {
  putchar('[');
  for (int i = 0; i < 16; ++i) putchar(p[i] >= 0x20 && p[i] < 0x7F ? p[i] : '.');
  putchar(']');
}

int Info(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!bird::ReadFileBytes(path, &bytes, &error)) {
    fprintf(stderr, "birdfile: %s\n", error.c_str());
    return 1;
  }
  bird::Inspection r = bird::Inspect(bytes.data(), bytes.size());
  printf("file:           %s (%zu bytes)\n", path.c_str(), r.fileSize);
  std::string sig;
  for (char c : r.signature) {
    char esc[8];
    if (c >= 0x20 && c < 0x7F)
      sig += c;
    else
      snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c)), sig += esc;
  }
  printf("signature:      \"%s\"%s\n", sig.c_str(), r.signature == "bird" ? "" : " (not \"bird\")");
  if (!r.headerComplete) {
    printf("header:         incomplete (a BIRD file has at least 6 bytes)\n");
    return 1;
  }
  printf("format version: 0x%04X\n", r.version);
  if (!r.decompressed) {
    printf("content:        does not decompress (zlib error %d)\n", r.zlibResult);
    return 1;
  }
  printf("content:        %zu bytes from %zu compressed (%s eightfold limit)\n", r.contentSize,
         r.fileSize - 6, r.withinExpansion ? "within the" : "OVER the");
  if (!r.countPresent) {
    printf("blocks:         none (content shorter than 4 bytes)\n");
    return 0;
  }
  printf("block count:    %u reported, %zu found\n", r.reportedCount, r.blocks.size());
  printf("blocks:\n");
  printf("  %-4s %-17s %-5s %-10s %s\n", "#", "type", "flags", "length", "address / contents");
  for (size_t i = 0; i < r.blocks.size(); ++i) {
    const bird::Block& b = r.blocks[i];
    printf("  %-4zu %-17s %-5u %-10zu ", i,
           (std::to_string(b.type) + " " + bird::BlockTypeName(b.type)).c_str(), b.flags,
           b.data.size());
    const uint8_t* d = b.data.data();
    auto be32 = [&](size_t at) {
      return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 |
             uint32_t(d[at + 3]);
    };
    switch (b.type) {
      case bird::kLoader:
      case bird::kFirmware:
        if (b.data.size() >= 4)
          printf("0x%08X (%zu payload bytes)", be32(0), b.data.size() - 4);
        else
          printf("(no address word)");
        break;
      case bird::kSerialOffsets:
        if (b.data.size() >= 8)
          printf("serial number at 0x%08X, descriptor at 0x%08X", be32(0), be32(4));
        else
          printf("(shorter than 8 bytes: ignored)");
        break;
      case bird::kStartAddress:
        if (b.data.size() >= 4)
          printf("0x%08X", be32(0));
        else
          printf("(shorter than 4 bytes: ignored)");
        break;
      case bird::kInfo:
        if (b.data.size() >= 64) {
          static const char* names[4] = {"build", "version", "serial", "model"};
          for (int f = 0; f < 4; ++f) {
            printf("\n         %-8s", names[f]);
            PrintText16(d + 16 * f);
          }
        } else {
          printf("(shorter than 64 bytes: ignored)");
        }
        break;
      default: break;
    }
    putchar('\n');
  }
  if (r.truncatedBlock) printf("  (a further block runs past the end of the content)\n");
  if (r.checksumPresent)
    printf("checksum:       0x%08X (%s)\n", r.checksum,
           r.checksum == r.computedChecksum ? "matches the CRC-32 of the content"
                                            : "differs from the CRC-32 of the content");
  else
    printf("checksum:       missing\n");
  if (r.trailingBytes) printf("trailing bytes: %zu after the checksum\n", r.trailingBytes);

  const bird::Block* info = nullptr;
  const bird::Block* offsets = nullptr;
  size_t firmware = 0, loaders = 0;
  for (const bird::Block& b : r.blocks) {
    if (b.type == bird::kInfo && !info) info = &b;
    if (b.type == bird::kSerialOffsets && !offsets) offsets = &b;
    firmware += b.type == bird::kFirmware;
    loaders += b.type == bird::kLoader;
  }
  printf("identity:\n");
  bird::Identity id;
  if (info && bird::ReadIdentity(info->data, &id)) {
    printf("  build:        %u\n", id.build);
    printf("  version:      %s\n", id.version.c_str());
    printf("  serial:       %08X\n", id.serial);
    printf("  model:        %s\n", id.model.c_str());
  } else {
    printf("  (no complete info block)\n");
  }
  printf("  image:        %s, %zu loader and %zu firmware blocks\n",
         offsets ? "generic (the module's serial number is written in)" : "device-specific",
         loaders, firmware);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "pack") {
    if (argc != 4) return Usage("pack needs MANIFEST and OUT");
    return Pack(argv[2], argv[3]);
  }
  if (command == "info") {
    if (argc != 3) return Usage("info needs FILE");
    return Info(argv[2]);
  }
  if (command == "check") {
    bool verbose = argc == 4 && strcmp(argv[2], "-v") == 0;
    if (argc != 3 && !verbose) return Usage("check needs FILE");
    return bird::CheckFile(argv[argc - 1], verbose, stdout) ? 0 : 1;
  }
  return Usage(("unknown command '" + command + "'").c_str());
}
