// The `birdfile` tool end to end: packing manifests, printing images, and
// checking them the way the updater judges them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BirdWriter.h"
#include "TestSupport.h"
#include "vFile.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::WriteFile;

std::string Bird() { return testsupport::ProgramPath("tools/birdfile", "birdfile"); }

RunResult Pack(const TempDir& dir, const std::string& manifest,
               const std::string& out = "out.bird") {
  WriteFile(dir / "m.txt", manifest);
  return testsupport::Run(Bird(), {"pack", dir / "m.txt", dir / out});
}

bird::Inspection InspectFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(bird::ReadFileBytes(path, &bytes, &error)) << error;
  return bird::Inspect(bytes.data(), bytes.size());
}

TEST(BirdPack, DocumentedExampleBuildsTheImageItDescribes) {
  TempDir dir;
  std::string app(100, '\x11');
  WriteFile(dir / "app.bin", app);
  std::string manifest =
      "# firmware\n"
      "[info]\n"
      "build = 1234\n"
      "version = 2.11.1\n"
      "serial = 00000000\n"
      "model = Torvik\n"
      "\n"
      "[loader]\n"
      "address = 0x10000000\n"
      "flags = 1\n"
      "hex = 00 B5 01 4B 98 47 00 BD\n"
      "[firmware]\n"
      "address = 0x00000000\n"
      "file = app.bin\n"
      "size = 0x2000\n"
      "vector-checksum = yes\n"
      "[serial-offsets]\n"
      "serial = 0x1000\n"
      "descriptor = 0x1100\n"
      "[start-address]\n"
      "address = 0x20000400\n";
  // Files are found beside the manifest, whatever the working directory.
  RunOptions elsewhere;
  elsewhere.cwd = "/";
  WriteFile(dir / "m.txt", manifest);
  RunResult r = testsupport::Run(Bird(), {"pack", dir / "m.txt", dir / "1234.bird"}, elsewhere);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("5 blocks"), std::string::npos) << r.out;

  bird::Inspection img = InspectFile(dir / "1234.bird");
  ASSERT_EQ(img.blocks.size(), 5u);
  EXPECT_EQ(img.reportedCount, 5u);
  EXPECT_EQ(img.checksum, img.computedChecksum);
  EXPECT_EQ(img.blocks[1].flags, 1);
  EXPECT_EQ(img.blocks[1].data,
            (std::vector<uint8_t>{0x10, 0, 0, 0, 0x00, 0xB5, 0x01, 0x4B, 0x98, 0x47, 0x00, 0xBD}));
  const std::vector<uint8_t>& fw = img.blocks[2].data;
  ASSERT_EQ(fw.size(), 4u + 0x2000);
  EXPECT_EQ(fw[4 + 99], 0x11);
  EXPECT_EQ(fw[4 + 100], 0xFF);  // padding
  uint32_t sum = 0;
  for (int w = 0; w < 8; ++w)
    sum += uint32_t(fw[4 + 4 * w]) | uint32_t(fw[5 + 4 * w]) << 8 | uint32_t(fw[6 + 4 * w]) << 16 |
           uint32_t(fw[7 + 4 * w]) << 24;
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(img.blocks[3].data, (std::vector<uint8_t>{0, 0, 0x10, 0, 0, 0, 0x11, 0}));
  bird::Identity id;
  ASSERT_TRUE(bird::ReadIdentity(img.blocks[0].data, &id));
  EXPECT_EQ(id.build, 1234u);
  EXPECT_EQ(id.version, "2.11.1");
  EXPECT_EQ(id.model, "Torvik");

  r = testsupport::Run(Bird(), {"info", dir / "1234.bird"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* text :
       {"format version: 0x0101", "block count:    5 reported, 5 found",
        "0x10000000 (8 payload bytes)", "serial number at 0x00001000", "0x20000400",
        "matches the CRC-32", "model:        Torvik", "generic", "[2.11.1          ]"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;

  r = testsupport::Run(Bird(), {"check", dir / "1234.bird"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("accepted: build 1234, version 2.11.1, model Torvik, generic image"),
            std::string::npos)
      << r.out;
}

TEST(BirdPack, StandardInputScrambleAndRawBlocks) {
  TempDir dir;
  RunOptions in;
  in.input =
      "format-version = 0x0207\n"
      "[firmware]\n"
      "address = 0x100\n"
      "hex = 0102030405060708090A0B0C0D0E0F1011\n"
      "scramble = 0xDEADBEEF 1 2 0x0F1E2D3C\n"
      "[block]\n"
      "type = 9\n"
      "flags = 7\n"
      "text = \" spaced \"\n";
  RunResult r = testsupport::Run(Bird(), {"pack", "-", dir / "s.bird"}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  bird::Inspection img = InspectFile(dir / "s.bird");
  EXPECT_EQ(img.version, 0x0207);
  ASSERT_EQ(img.blocks.size(), 2u);
  std::vector<uint8_t> plain;
  for (int i = 1; i <= 17; ++i) plain.push_back(uint8_t(i));
  const uint32_t key[4] = {0xDEADBEEF, 1, 2, 0x0F1E2D3C};
  std::vector<uint8_t> expected{0, 0, 1, 0};
  auto scrambled = bird::Scramble(plain, key);
  expected.insert(expected.end(), scrambled.begin(), scrambled.end());
  EXPECT_EQ(img.blocks[0].data, expected);
  EXPECT_EQ(img.blocks[1].type, 9);
  EXPECT_EQ(img.blocks[1].flags, 7);
  EXPECT_EQ(std::string(img.blocks[1].data.begin(), img.blocks[1].data.end()), " spaced ");
}

// The note on stored blocks appears only when automatic compression fell back
// to them, not whenever the file came out no smaller than its content.
TEST(BirdPack, StoredNoteOnlyWhenTheFallbackWasTaken) {
  TempDir dir;
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 4096; ++i) noise.push_back(char((x = x * 1103515245u + 12345u) >> 24));
  WriteFile(dir / "noise.bin", noise);
  const std::string firmware = "[firmware]\naddress = 0\n";
  const std::string note = "stored uncompressed";
  struct Case {
    std::string manifest;
    bool noted;
  } cases[] = {
      {firmware + "file = noise.bin\n", false},             // level 9 cannot shrink it
      {"compression = 0\n" + firmware + "hex = 01\n", false},  // stored because asked
      {firmware + "size = 100000\nfill = 0\n", true},        // level 9 packs it too well
  };
  for (const Case& c : cases) {
    RunResult r = Pack(dir, c.manifest);
    ASSERT_EQ(r.status, 0) << c.manifest << r.err;
    EXPECT_EQ(r.out.find(note) != std::string::npos, c.noted) << c.manifest << r.out;
    EXPECT_EQ(r.err, "") << c.manifest;
    EXPECT_TRUE(InspectFile(dir / "out.bird").withinExpansion) << c.manifest;
  }
}

TEST(BirdPack, ManifestErrorsNameTheLineAndWriteNothing) {
  TempDir dir;
  struct Case {
    const char* manifest;
    const char* message;
  } cases[] = {
      {"[firmware]\naddress = 0\ncolour = red\n", "line 3: unknown key 'colour' in [firmware]"},
      {"[firmwear]\n", "line 1: unknown section [firmwear]"},
      {"[loader]\nhex = 01\n", "[loader] at line 1: missing address"},
      {"[firmware]\naddress = 0x\n", "line 2: address must be a number"},
      {"[firmware]\naddress = 0\nflags = 8\n", "flags must be a number from 0 to 7"},
      {"[firmware]\naddress = 0\nhex = 0\n", "hex data must be pairs of hex digits"},
      {"[firmware]\naddress = 0\nfile = nowhere.bin\n", "line 3: cannot read"},
      {"[firmware]\naddress = 0\nhex = 010203\nsize = 2\n", "exceeds size 2"},
      {"[info]\nmodel = a model name that is too long\n", "longer than 16 characters"},
      {"[firmware]\naddress = 4\nsize = 32\nvector-checksum = yes\n",
       "needs the block at address 0"},
      {"build = 3\n", "line 1: unknown key 'build' before the first block"},
      {"[block]\nhex = 00\n", "missing type"},
  };
  for (const Case& c : cases) {
    RunResult r = Pack(dir, c.manifest);
    EXPECT_EQ(r.status, 1) << c.manifest;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.manifest << "\n" << r.err;
    EXPECT_FALSE(vFile_Exists((dir / "out.bird").c_str())) << c.manifest;
  }
  RunResult r = testsupport::Run(Bird(), {"pack", dir / "absent.txt", dir / "out.bird"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

TEST(BirdCheck, RefusesWhatTheUpdaterRefusesWithTheReason) {
  TempDir dir;
  const std::string good = "[info]\nbuild = 1\nmodel = Torvik\n[firmware]\naddress = 0\nhex = 01\n";
  struct Case {
    std::string manifest;
    const char* reason;
  } cases[] = {
      {"signature = BIRD\n" + good, "does not start with the signature \"bird\""},
      {"format-version = 0x0100\n" + good, "format version 0x0100 has a zero byte"},
      {"compression = 9\n" + good + "size = 100000\nfill = 0\n", "more than eight times"},
      {"[firmware]\naddress = 0\nhex = 01\n", "no complete identity (info) block"},
      {"", "holds no blocks"},
      {good + "[serial-offsets]\n", "serial number cannot be written"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Pack(dir, c.manifest).status, 0) << c.manifest;
    RunResult r = testsupport::Run(Bird(), {"check", dir / "out.bird"});
    EXPECT_EQ(r.status, 1) << c.manifest << r.out;
    EXPECT_NE(r.out.find("refused: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.reason), std::string::npos) << c.manifest << "\n" << r.out;
  }
  WriteFile(dir / "junk.bird", "bird\x01\x01 not zlib");
  RunResult r = testsupport::Run(Bird(), {"check", dir / "junk.bird"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("not a complete zlib stream"), std::string::npos) << r.out;
  WriteFile(dir / "short.bird", "bird");
  r = testsupport::Run(Bird(), {"check", dir / "short.bird"});
  EXPECT_NE(r.out.find("only 4 bytes"), std::string::npos) << r.out;
  r = testsupport::Run(Bird(), {"check", dir / "missing.bird"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot read"), std::string::npos) << r.out;

  // Damage the updater tolerates is accepted with a warning; -v shows its log.
  ASSERT_EQ(Pack(dir, "block-count = 2\nchecksum = 7\n" + good + good).status, 0);
  r = testsupport::Run(Bird(), {"check", "-v", dir / "out.bird"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("warning: the content reports 2 blocks but holds 4"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("warning: the stored checksum differs"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Block parsing mismatch in number of blocks. (4 != 2)"), std::string::npos)
      << r.err;
}

TEST(BirdUsage, BadCommandLinesExitWithUsage) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"frobnicate"}, {"pack", "only-one"}, {"info"}, {"check"}}) {
    RunResult r = testsupport::Run(Bird(), args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
  }
  EXPECT_EQ(testsupport::Run(Bird(), {"--help"}).status, 0);
}

}  // namespace
