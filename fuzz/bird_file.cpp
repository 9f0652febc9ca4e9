// Fuzzes BIRD image loading from memory and every operation on what loads.
// The first byte chooses the input's form: odd, the rest is content that is
// compressed here (reaching the block parser); even, the rest is a whole file.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  std::vector<uint8_t> file;
  if (mode & 1) {
    uLongf packed = compressBound(uLong(size));
    file.resize(6 + packed);
    memcpy(file.data(), "bird\x01\x01", 6);
    if (compress2(file.data() + 6, &packed, data, uLong(size), 1) != Z_OK) return 0;
    file.resize(6 + packed);
  } else {
    file.assign(data, data + size);
  }

  BirdFile::VerifyBytes(file.data(), file.size());
  BirdFile image;
  if (!image.LoadBytes(file.data(), file.size())) return 0;
  image.GetBuild();
  image.GetVersion();
  image.GetSerialNumber();
  image.ValidateSerialNumber(0x12345678);
  image.ValidateModel("Torvik");
  image.ValidateModel("");
  for (int type : {0, 1, 2, 4, 5}) image.FindBlocks(BirdFile::BLOCK_TYPE(type));
  const uint8_t pattern[] = {0x00, 0x01};
  image.ValidateData(pattern, sizeof pattern);
  image.ReplaceSerialNumber(0xA5A5A5A5);
  image.ReplaceVectorChecksum();
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  image.DecodeFirmwareBlocks(key);
  BirdFile moved(std::move(image));
  moved.FindSerialNumberOffsets();
  return 0;
}
