// Helpers of the recovery end-to-end tests: the boot-ROM simulators and the
// update server as background programs, BIRD files packed with the birdfile tool,
// firmware images with a valid LPC vector table, and the preloads that stand
// in for hidapi and libusb in front of the updater.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace recovertest {

using testsupport::Background;
using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TempDir;

// The chip of the LPC simulator and the module it belongs to.
const char* const kLpcFingerprint = "0x11111111,0x22222222,0x33333333,0x44444444";
const char* const kLpcFingerprintWords = "11111111 22222222 33333333 44444444";
const std::string kSerial = "40F5849A";

using testsupport::Exists;

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Deterministic bytes whose first eight little-endian words sum to zero, as
// the LPC boot ROM requires of the code it starts.
inline std::string Firmware(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = char(x >> 16);
  }
  if (size >= 32) {
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w) {
      uint32_t word;
      memcpy(&word, bytes.data() + 4 * w, 4);
      sum += word;
    }
    uint32_t last = 0 - sum;
    memcpy(&bytes[28], &last, 4);
  }
  return bytes;
}

// The flash as the simulator dumps it after only `firmware` was written at 0.
inline std::string FlashWith(const std::string& firmware) {
  std::string flash(512 * 1024, '\xFF');
  flash.replace(0, firmware.size(), firmware);
  return flash;
}

class RecoverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "tree").c_str(), 0755);
    mkdir((dir / "home").c_str(), 0755);
  }

  // Packs a manifest into `relative` (under the test directory).
  void Pack(const std::string& relative, const std::string& manifest) {
    std::string path = dir / "manifest.txt";
    testsupport::WriteFile(path, manifest);
    std::string out = dir / relative;
    std::string folder = out.substr(0, out.rfind('/'));
    std::system(("mkdir -p '" + folder + "'").c_str());
    RunResult r =
        testsupport::Run(testsupport::ProgramPath("tools/birdfile", "birdfile"), {"pack", path, out});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // An LPC recovery image of `firmware` at address 0, scrambled with `key`
  // (four words separated by blanks), ended by the 4-byte end-marker block.
  void LpcImage(const std::string& relative, unsigned build, const std::string& firmware,
                const std::string& key, const std::string& extra = "") {
    testsupport::WriteFile(dir / "fw.bin", firmware);
    Pack(relative, "[info]\nbuild = " + std::to_string(build) + "\nversion = 1.2." +
                       std::to_string(build) + "\nserial = " + kSerial +
                       "\nmodel = HUB\n[firmware]\naddress = 0\nfile = fw.bin\nscramble = " + key +
                       "\n[firmware]\naddress = 0x70000\nhex = 00 00 00 00\n" + extra);
  }

  // The fingerprints file of the update server: one entry per line.
  void Fingerprints(const std::string& lines) {
    testsupport::WriteFile(dir / "tree/fingerprints", lines);
  }

  std::string Serve(const std::vector<std::string>& extra = {}) {
    std::string url = testsupport::StartUpdateServer(server, dir / "tree", extra);
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << "the update server did not start";
    return url;
  }

  // Starts the LPC boot ROM simulator; returns its pseudo-terminal.
  std::string StartLpc(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--serial",        kLpcFingerprint, "--dump",
                                     dir / "flash.bin", "--log",         dir / "lpc.log"};
    args.insert(args.end(), extra.begin(), extra.end());
    lpc.reset(new Background(testsupport::ProgramPath("sim/lpc-isp", "lpc-isp-sim"), args));
    std::string line = lpc->ReadLine();
    EXPECT_EQ(line.rfind("pty ", 0), 0u) << line;
    return line.substr(4);
  }

  // Stops the LPC simulator and returns its flash dump.
  std::string StopLpc() {
    lpc->Stop();
    return ReadFile(dir / "flash.bin");
  }

  // Starts the i.MX boot ROM simulator on a pseudo-terminal.
  std::string StartImx(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--log", dir / "rom.log"};
    args.insert(args.end(), extra.begin(), extra.end());
    imx.reset(new Background(testsupport::ProgramPath("sim/imx-sdp", "imx-sdp-sim"), args));
    std::string line = imx->ReadLine();
    EXPECT_EQ(line.rfind("pty ", 0), 0u) << line;
    return line.substr(4);
  }

  // Run options that put the HID stand-in (and, when `usbBus`, the simulated
  // USB bus, empty at the start) in front of the updater.
  testsupport::RunOptions Preloaded(const std::string& romOptions, bool usbBus) {
    testsupport::RunOptions options;
    std::string preload = testsupport::ProgramPath("sim/imx-sdp", "libhidapi_sim.so");
    if (usbBus)
      preload = testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so") + ":" + preload;
    testsupport::Preload(options.env, preload);
    options.env["IMX_SDP_SIM_OPTIONS"] = romOptions + " --log " + (dir / "rom.log");
    options.env["VELMARINE_USB_SIM"] = "";
    return options;
  }

  RunResult Updater(const std::vector<std::string>& args, testsupport::RunOptions options = {},
                    int timeoutMs = 120000) {
    options.timeoutMs = timeoutMs;
    return testsupport::RunUpdater(args, dir / "home", options);
  }

  std::string Store(const std::string& relative) {
    return dir / ("home/.corvane/updater/" + relative);
  }

  TempDir dir;
  std::unique_ptr<Background> server;
  std::unique_ptr<Background> lpc;
  std::unique_ptr<Background> imx;
};

}  // namespace recovertest
