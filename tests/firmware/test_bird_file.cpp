// BirdFile: header checks, loading and parsing, identity fields, the in-memory
// edits, and bounds on every field of damaged or hostile content.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

std::string WriteImage(const TempDir& dir, const bird::BirdWriter& w,
                       const std::string& name = "image.bird") {
  std::string error;
  std::string path = dir / name;
  EXPECT_TRUE(w.Write(path, &error)) << error;
  return path;
}

// A file whose content is exactly `content`, for layouts the writer won't make.
Bytes RawFile(const Bytes& content, const char* header = "bird\x01\x01") {
  uLongf size = compressBound(uLong(content.size()));
  Bytes packed(size);
  compress(packed.data(), &size, content.data(), uLong(content.size()));
  // Sized once and filled: appending to the six header bytes makes g++ 12 see a
  // copy past their end on the growth path (a false -Warray-bounds).
  Bytes file(6 + size);
  std::copy(header, header + 6, file.begin());
  std::copy(packed.begin(), packed.begin() + long(size), file.begin() + 6);
  return file;
}

void PutBE32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

Bytes Block(uint8_t header, const Bytes& data, uint32_t declared) {
  Bytes b{header};
  PutBE32(b, declared);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

BirdFile LoadBytes(const Bytes& file) {
  BirdFile b;
  EXPECT_TRUE(b.LoadBytes(file.data(), file.size()));
  return b;
}

Bytes Payload(const BirdBlock& b) { return Bytes(b.data + 4, b.data + b.length); }

TEST(BirdFileVerify, HeaderSignatureAndVersionBytes) {
  TempDir dir;
  auto check = [&](const std::string& bytes) {
    testsupport::WriteFile(dir / "f", bytes);
    return BirdFile::VerifyFile((dir / "f").c_str());
  };
  EXPECT_FALSE(check(std::string("BIRD\x01\x01xyz")));
  EXPECT_FALSE(check(std::string("bird\x01\x00xyz", 9)));
  EXPECT_FALSE(check(std::string("bird\x00\x01xyz", 9)));
  EXPECT_TRUE(check(std::string("bird\x02\x07")));
  EXPECT_FALSE(check("bird\x01"));  // 5 bytes
  EXPECT_FALSE(check(""));
  EXPECT_FALSE(BirdFile::VerifyFile((dir / "missing").c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST(BirdFileLoad, EveryBlockKindRoundTrips) {
  TempDir dir;
  Bytes loader{1, 2, 3, 4, 5};
  Bytes firmware(300);
  for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = uint8_t(i * 7);
  bird::BirdWriter w;
  w.Info(1234, "2.11.1", 0x40F5849A, "Torvik")
      .Loader(0x10000000, loader, 3)
      .Firmware(0x2000, firmware, 7)
      .SerialOffsets(0x2010, 0x2040)
      .StartAddress(0x20000400)
      .Raw(9, 2, {0xAA});
  std::string path = WriteImage(dir, w);

  BirdFile b(path.c_str());
  EXPECT_EQ(b.path, path);
  EXPECT_EQ(b.signature, BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(b.version, BirdFile::BIRD_FILE_VERSION);
  ASSERT_EQ(b.blockCount, 6u);
  ASSERT_EQ(b.blocks.size(), 6u);
  EXPECT_EQ(b.blocks[1].type, BirdFile::BLOCK_LOADER);
  EXPECT_EQ(b.blocks[1].flags, 3);
  EXPECT_EQ(b.blocks[1].address, 0x10000000u);
  EXPECT_EQ(b.blocks[1].length, 9u);
  EXPECT_EQ(Payload(b.blocks[1]), loader);
  EXPECT_EQ(b.blocks[2].flags, 7);
  EXPECT_EQ(b.blocks[2].address, 0x2000u);
  EXPECT_EQ(Payload(b.blocks[2]), firmware);
  EXPECT_EQ(b.blocks[4].type, BirdFile::BLOCK_START_ADDRESS);
  EXPECT_EQ(b.blocks[4].address, 0u);  // only loader and firmware blocks carry one
  EXPECT_EQ(b.blocks[5].type, 9);
  EXPECT_EQ(b.blocks[5].flags, 2);
  EXPECT_EQ(b.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
  EXPECT_TRUE(b.FindBlocks(BirdFile::BLOCK_TYPE(3)).empty());

  EXPECT_TRUE(b.serialBlockPresent);
  EXPECT_EQ(b.serialOffset, 0x2010u);
  EXPECT_EQ(b.descriptorOffset, 0x2040u);
  EXPECT_EQ(b.GetBuild(), 1234u);
  EXPECT_EQ(b.GetVersion(), "2.11.1");
  EXPECT_EQ(b.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(b.ValidateSerialNumber(0x40F5849A));
  EXPECT_FALSE(b.ValidateSerialNumber(0x40F5849B));
  EXPECT_TRUE(b.ValidateModel("Torvik"));

  Bytes content;
  std::string error;
  ASSERT_TRUE(w.Content(&content, &error));
  EXPECT_EQ(b.dataLength, content.size());
  EXPECT_EQ(b.checksum, bird::ContentChecksum(content.data(), content.size() - 4));

  // Moving keeps the blocks pointing into the same buffer.
  const uint8_t* data = b.blocks[2].data;
  BirdFile moved(std::move(b));
  EXPECT_EQ(moved.blocks[2].data, data);
  EXPECT_EQ(Payload(moved.blocks[2]), firmware);
  EXPECT_TRUE(b.blocks.empty());
  EXPECT_EQ(b.dataLength, 0u);
}

// Megabyte-sized files and contents take a different allocation path.
TEST(BirdFileLoad, LargeImageRoundTripsAndMoves) {
  TempDir dir;
  std::mt19937 rng(3);
  Bytes firmware(3u << 20);
  for (auto& byte : firmware) byte = uint8_t(rng() % 7);
  bird::BirdWriter w;
  w.Info(9, "9.9.9", 1, "Torvik").Firmware(0x400, firmware);
  BirdFile b(WriteImage(dir, w).c_str());
  BirdFile moved;
  moved = std::move(b);
  ASSERT_EQ(moved.blocks.size(), 2u);
  EXPECT_EQ(Payload(moved.blocks[1]), firmware);
  EXPECT_TRUE(moved.ReplaceVectorChecksum());
}

TEST(BirdFileLoad, CountMismatchStillLoadsEveryBlock) {
  bird::BirdWriter w;
  w.Firmware(0, {1}).Firmware(0x100, {2}).Firmware(0x200, {3}).ReportedCount(2);
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  LogCapture log(DEBUG_BirdFile);
  BirdFile b = LoadBytes(file);
  EXPECT_EQ(b.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 3u);
  EXPECT_NE(log.Text().find("Block parsing mismatch in number of blocks. (3 != 2)"),
            std::string::npos)
      << log.Text();
}

TEST(BirdFileLoad, FailuresThrowAndAreLogged) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  auto loadError = [&](const std::string& path) {
    try {
      BirdFile b(path.c_str());
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("loaded");
  };
  EXPECT_EQ(loadError(dir / "missing.bird"), "Failed to load bird data");
  EXPECT_NE(log.Text().find("BIRD file not found"), std::string::npos);

  testsupport::WriteFile(dir / "short.bird", "bird\x01\x01");
  EXPECT_EQ(loadError(dir / "short.bird"), "Failed to load bird data");
  testsupport::WriteFile(dir / "junk.bird", "bird\x01\x01 this is not zlib data");
  EXPECT_EQ(loadError(dir / "junk.bird"), "Failed to load bird data");

  // 64 KiB of zeros packs far better than eightfold: the format refuses it...
  bird::BirdWriter tight;
  tight.Firmware(0, Bytes(65536, 0)).CompressionLevel(9);
  EXPECT_EQ(loadError(WriteImage(dir, tight, "tight.bird")), "Failed to load bird data");
  EXPECT_NE(log.Text().find("Error (-5) decompressing bird file."), std::string::npos);
  // ...so the writer's automatic choice stores it instead.
  bird::BirdWriter stored;
  stored.Firmware(0, Bytes(65536, 0));
  EXPECT_EQ(loadError(WriteImage(dir, stored, "stored.bird")), "loaded");
}

TEST(BirdFileIdentity, FieldsParseAsTheUpdaterReadsThem) {
  bird::BirdWriter w;
  w.InfoText("  42abc", "1.2.3 beta", "0001A2B3XYZ12345", "ABC123");
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  BirdFile b = LoadBytes(file);
  EXPECT_EQ(b.GetBuild(), 42u);
  EXPECT_EQ(b.GetVersion(), "1.2.3");
  EXPECT_EQ(b.GetSerialNumber(), 0x1A2B3u);
  EXPECT_TRUE(b.ValidateModel("ABC123"));
  EXPECT_TRUE(b.ValidateModel("ABC"));
  EXPECT_TRUE(b.ValidateModel(""));
  EXPECT_FALSE(b.ValidateModel("ABC124"));
  EXPECT_FALSE(b.ValidateModel("ABC1234"));
  EXPECT_FALSE(b.ValidateModel(nullptr));
}

TEST(BirdFileIdentity, AbsentOrShortInfoBlockReadsAsNothing) {
  for (size_t length : {size_t(0), size_t(63)}) {
    bird::BirdWriter w;
    w.Firmware(0, {1, 2, 3});
    if (length) w.Raw(BirdFile::BLOCK_INFO, 0, Bytes(length, '7'));
    std::vector<uint8_t> file;
    std::string error;
    ASSERT_TRUE(w.Build(&file, &error));
    BirdFile b = LoadBytes(file);
    EXPECT_EQ(b.GetVersion(), "");
    EXPECT_EQ(b.GetBuild(), 0u);
    EXPECT_EQ(b.GetSerialNumber(), 0u);
    EXPECT_FALSE(b.ValidateModel(""));
    EXPECT_FALSE(b.ValidateSerialNumber(0));
  }
}

class BirdFileSerial : public ::testing::Test {
 protected:
  BirdFile Make(uint32_t serialAddress, uint32_t descriptorAddress) {
    bird::BirdWriter w;
    w.Firmware(0, Bytes(0x2000 - 4, 0xEE)).SerialOffsets(serialAddress, descriptorAddress);
    EXPECT_TRUE(w.Build(&file_, &error_)) << error_;
    return LoadBytes(file_);
  }
  Bytes file_;
  std::string error_;
};

TEST_F(BirdFileSerial, WritesNumberAndDescriptorText) {
  BirdFile b = Make(0x1000, 0x1100);
  ASSERT_TRUE(b.ReplaceSerialNumber(0x12AB34CD));
  const uint8_t* payload = b.blocks[0].data + 4;
  EXPECT_EQ(Bytes(payload + 0x1000, payload + 0x1004), (Bytes{0xCD, 0x34, 0xAB, 0x12}));
  const char* text = "12AB34CD";
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(payload[0x1100 + 2 * i], uint8_t(text[i]));
    EXPECT_EQ(payload[0x1101 + 2 * i], 0xEE);  // high bytes untouched
  }
  EXPECT_EQ(payload[0x0FFF], 0xEE);
  EXPECT_EQ(payload[0x1004], 0xEE);
}

TEST_F(BirdFileSerial, AddressesOutsideThePayloadChangeNothing) {
  BirdFile outside = Make(0x9000, 0);
  Bytes before = Payload(outside.blocks[0]);
  EXPECT_TRUE(outside.ReplaceSerialNumber(1));
  EXPECT_EQ(Payload(outside.blocks[0]), before);

  EXPECT_FALSE(Make(0, 0x9000).ReplaceSerialNumber(1));
  EXPECT_FALSE(Make(0, 0).ReplaceSerialNumber(1));
  // Straddling the end of the payload: neither field is written.
  BirdFile edge = Make(0x2000 - 6, 0x2000 - 18);  // payload ends at 0x1FFC
  EXPECT_TRUE(edge.ReplaceSerialNumber(0xFFFFFFFF));
  EXPECT_EQ(Payload(edge.blocks[0]), before);
}

TEST(BirdFileEdits, DescrambleChainsThroughTheDescrambledByte) {
  bird::BirdWriter w;
  w.Firmware(0x01020304, {0x01, 0x03, 0x07});
  Bytes file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  BirdFile b = LoadBytes(file);
  const uint32_t zero[4] = {0, 0, 0, 0};
  EXPECT_TRUE(b.DecodeFirmwareBlocks(zero));
  EXPECT_EQ(Payload(b.blocks[0]), (Bytes{0x01, 0x02, 0x05}));
  EXPECT_EQ(b.blocks[0].data[0], 0x01);  // address word untouched

  // A payload longer than the key, scrambled by the writer, comes back whole.
  const uint32_t key[4] = {0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0x0F1E2D3C};
  Bytes plain(100);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 13 + 5);
  bird::BirdWriter s;
  s.Firmware(0, bird::Scramble(plain, key)).Firmware(0x100, bird::Scramble(plain, key));
  ASSERT_TRUE(s.Build(&file, &error));
  BirdFile c = LoadBytes(file);
  c.DecodeFirmwareBlocks(key);
  EXPECT_EQ(Payload(c.blocks[0]), plain);
  EXPECT_EQ(Payload(c.blocks[1]), plain);
}

uint32_t Word(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

TEST(BirdFileEdits, VectorChecksumMakesWordsZeroToSevenSumToZero) {
  Bytes vectors(64);
  for (size_t i = 0; i < vectors.size(); ++i) vectors[i] = uint8_t(i * 29 + 1);  // w5 non-zero
  bird::BirdWriter w;
  w.Firmware(0, vectors).Firmware(0x1000, vectors).Firmware(0, Bytes(31, 1));
  Bytes file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  BirdFile b = LoadBytes(file);
  ASSERT_TRUE(b.ReplaceVectorChecksum());
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) sum += Word(b.blocks[0].data + 4 + 4 * i);
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(Payload(b.blocks[1]), vectors);       // not at address 0
  EXPECT_EQ(Payload(b.blocks[2]), Bytes(31, 1));  // too short for a vector table
}

TEST(BirdFileEdits, ValidateDataReportsEveryMatch) {
  bird::BirdWriter w;
  w.Loader(0, {0xCA, 0xFE}).Firmware(0, {0xCA, 0xFE, 0x00, 0xCA, 0xFE});
  Bytes file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  BirdFile b = LoadBytes(file);
  LogCapture log(DEBUG_BirdFile);
  const uint8_t pattern[] = {0xCA, 0xFE};
  EXPECT_TRUE(b.ValidateData(pattern, 2));
  std::string text = log.Text();
  EXPECT_NE(text.find("Found data at 4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Found data at 7\n"), std::string::npos) << text;
  const uint8_t missing[] = {0xFE, 0xCA, 0xFE, 0xCA, 0xFE, 0xCA, 0xFE, 0xCA, 0xFE, 0xCA};
  EXPECT_FALSE(b.ValidateData(missing, sizeof missing));  // longer than any block
  EXPECT_FALSE(b.ValidateData(nullptr, 2));

  // An empty pattern fits at every position of the firmware data, end included.
  LogCapture empty(DEBUG_BirdFile);
  EXPECT_TRUE(b.ValidateData(pattern, 0));
  text = empty.Text();
  size_t matches = 0;
  for (size_t at = text.find("Found data at "); at != std::string::npos;
       at = text.find("Found data at ", at + 1))
    ++matches;
  EXPECT_EQ(matches, 10u) << text;  // firmware data is 9 bytes: positions 0..9
  EXPECT_NE(text.find("Found data at 9\n"), std::string::npos) << text;
}

TEST(BirdFileEdits, DumpPrintsHexAndText) {
  bird::BirdWriter w;
  w.Raw(9, 0, Bytes{'h', 'i', 0x01});
  Bytes file;
  std::string error;
  ASSERT_TRUE(w.Build(&file, &error));
  BirdFile b = LoadBytes(file);
  b.path = "x.bird";
  testing::internal::CaptureStdout();
  b.DumpBlocks(BirdFile::BLOCK_TYPE(9));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 68 69 01  hi \n\n");
}

// Hand-made content: every declared length and field size is checked.
TEST(BirdFileBounds, DamagedContentNeverReadsOutside) {
  {  // a block that runs past the end is dropped and the size mismatch logged
    Bytes content;
    PutBE32(content, 2);
    Bytes ok = Block(0x01, {0, 0, 0, 0, 9}, 5);
    Bytes past = Block(0x01, {0, 0, 0, 0}, 1000);
    content.insert(content.end(), ok.begin(), ok.end());
    content.insert(content.end(), past.begin(), past.end());
    LogCapture log(DEBUG_BirdFile);
    BirdFile b = LoadBytes(RawFile(content));
    EXPECT_EQ(b.blocks.size(), 1u);
    EXPECT_NE(log.Text().find("mismatch in data size"), std::string::npos);
  }
  {  // short serial-offsets and firmware blocks
    Bytes content;
    PutBE32(content, 3);
    for (Bytes b : {Block(0x02, {0, 0, 0x10}, 3), Block(0x01, {0, 0}, 2), Block(0x01, {}, 0)})
      content.insert(content.end(), b.begin(), b.end());
    PutBE32(content, 0);
    BirdFile b = LoadBytes(RawFile(content));
    EXPECT_TRUE(b.serialBlockPresent);
    EXPECT_EQ(b.serialOffset, 0u);
    EXPECT_EQ(b.blocks[1].address, 0u);
    EXPECT_FALSE(b.ReplaceSerialNumber(5));
    const uint32_t key[4] = {1, 2, 3, 4};
    b.DecodeFirmwareBlocks(key);
    b.ReplaceVectorChecksum();
    EXPECT_EQ(b.blocks[1].data[0], 0);
  }
  // Contents too short for a count or a checksum.
  for (Bytes content : {Bytes{}, Bytes{0}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 0, 0, 7, 7}}) {
    BirdFile b = LoadBytes(RawFile(content));
    EXPECT_TRUE(b.blocks.empty());
    EXPECT_EQ(b.GetBuild(), 0u);
  }
}

// Random damage to a valid image: loading and every operation must stay in bounds
// (the sanitizer build turns any stray access into a failure).
TEST(BirdFileBounds, RandomlyDamagedImagesAreSafe) {
  bird::BirdWriter w;
  w.Info(7, "1.0.0", 0x1234, "Quenla")
      .Loader(0x10000000, Bytes(40, 0x11))
      .Firmware(0, Bytes(100, 0x22))
      .SerialOffsets(0x10, 0x20);
  Bytes good;
  std::string error;
  ASSERT_TRUE(w.Content(&good, &error));
  std::mt19937 rng(12345);
  const uint32_t key[4] = {1, 2, 3, 4};
  const uint8_t pattern[] = {0x22, 0x22};
  int loaded = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes content = good;
    int flips = 1 + int(rng() % 4);
    for (int i = 0; i < flips; ++i) content[rng() % content.size()] = uint8_t(rng());
    if (rng() % 4 == 0) content.resize(rng() % content.size());
    Bytes file = RawFile(content);
    BirdFile b;
    loaded += b.LoadBytes(file.data(), file.size());
    b.GetBuild();
    b.GetVersion();
    b.ValidateModel("Quenla");
    b.ReplaceSerialNumber(0xABCDEF01);
    b.ReplaceVectorChecksum();
    b.DecodeFirmwareBlocks(key);
    b.ValidateData(pattern, 2);
  }
  EXPECT_EQ(loaded, 3000);
}

}  // namespace
