// The checks of `birdfile check`: the updater's BirdFile decides, and an
// independent inspection of the file explains its decision.
#include "BirdCheck.h"

#include <stdexcept>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "Log.h"

namespace bird {

namespace {

// Why the updater's header test rejects the file.
std::string HeaderReason(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFileBytes(path, &bytes, &error)) return error;
  if (bytes.size() < 6)
    return "only " + std::to_string(bytes.size()) +
           " bytes; a BIRD file starts with a 6-byte header";
  if (std::string(bytes.begin(), bytes.begin() + 4) != "bird")
    return "the file does not start with the signature \"bird\"";
  char v[64];
  snprintf(v, sizeof v, "format version 0x%02X%02X has a zero byte", bytes[4], bytes[5]);
  return v;
}

// Why the updater's loader fails on a file whose header is good.
std::string LoadReason(const Inspection& r) {
  if (!r.decompressed)
    return "the content after the header is not a complete zlib stream (zlib error " +
           std::to_string(r.zlibResult) + ")";
  if (!r.withinExpansion)
    return "the content (" + std::to_string(r.contentSize) +
           " bytes) is more than eight times the compressed size (" +
           std::to_string(r.fileSize - 6) + " bytes); repack it with less compression";
  return "the updater cannot load it";
}

}  // namespace

bool CheckFile(const std::string& path, bool verbose, FILE* out) {
  if (verbose) {
    Log::SetOutput(stderr);
    Log::ActivatePackage(DEBUG_BirdFile);
  }
  const char* p = path.c_str();
  auto refuse = [&](const std::string& why) {
    fprintf(out, "%s: refused: %s\n", p, why.c_str());
    return false;
  };
  if (!BirdFile::VerifyFile(p)) return refuse(HeaderReason(path));

  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFileBytes(path, &bytes, &error)) return refuse(error);
  Inspection r = Inspect(bytes.data(), bytes.size());

  BirdFile image;
  try {
    image = BirdFile(p);
  } catch (const std::exception&) {
    return refuse(LoadReason(r));
  }
  if (image.blockCount == 0) return refuse("the content holds no blocks");
  auto info = image.FindBlocks(BirdFile::BLOCK_INFO);
  if (info.empty() || info[0].length < 64)
    return refuse("no complete identity (info) block, so the model check fails");
  if (image.serialBlockPresent && !image.ReplaceSerialNumber(0))
    return refuse(
        "generic image (it has a serial-offsets block) whose serial number cannot be written: "
        "no firmware block, or both addresses 0, or the block is shorter than 8 bytes");

  std::vector<std::string> warnings;
  if (r.reportedCount != r.blocks.size())
    warnings.push_back("the content reports " + std::to_string(r.reportedCount) +
                       " blocks but holds " + std::to_string(r.blocks.size()));
  if (r.truncatedBlock)
    warnings.push_back("a block runs past the end of the content and is ignored");
  if (r.trailingBytes)
    warnings.push_back(std::to_string(r.trailingBytes) +
                       " bytes follow the last block and checksum");
  if (r.checksumPresent && r.checksum != r.computedChecksum)
    warnings.push_back("the stored checksum differs from the CRC-32 of the content");
  if (image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
    warnings.push_back("no firmware block: an update would transfer nothing");
  if (image.serialBlockPresent && image.serialOffset != 0) {
    bool inside = false;
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BLOCK_FIRMWARE))
      inside = inside || (b.length >= 4 && image.serialOffset >= b.address &&
                          uint64_t(image.serialOffset - b.address) + 4 <= b.length - 4u);
    if (!inside) warnings.push_back("the serial-number address lies in no firmware block");
  }
  for (const std::string& w : warnings) fprintf(out, "%s: warning: %s\n", p, w.c_str());

  std::string model;
  Identity id;
  std::vector<uint8_t> infoData(info[0].data, info[0].data + info[0].length);
  ReadIdentity(infoData, &id);
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", image.GetSerialNumber());
  fprintf(out, "%s: accepted: build %u, version %s, model %s, %s\n", p, image.GetBuild(),
          image.GetVersion().c_str(), id.model.c_str(),
          image.serialBlockPresent ? "generic image" : (std::string("serial ") + serial).c_str());
  return true;
}

}  // namespace bird
