// Helpers for the end-to-end tests of -U: images made with the birdfile tool, the
// simulated USB bus preloaded in front of the updater, the module's flash as
// the simulator keeps it in its state file, the store entry, and a run that
// is killed when a chosen diagnostic line appears.
#pragma once
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace updtest {

using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::WriteFile;

constexpr uint32_t kSerialOffset = 0x100;
constexpr uint32_t kDescriptorOffset = 0x200;

inline std::string Hex8(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "%08X", v);
  return text;
}

using testsupport::Exists;

// What one test image holds. The payload starts with the identity text the
// simulated module reads its build and version from after a reboot.
struct Image {
  uint32_t build = 1234;
  std::string version = "2.16.0";
  std::string model = "Morlet";  // the name of model 19
  uint32_t serial = 0;           // identity serial; 0 with generic
  bool generic = true;
  uint32_t size = 5000;  // firmware payload bytes
  std::string extra;     // more manifest sections

  std::string Tag() const {
    return "VLMID build=" + std::to_string(build) + " version=" + version + ";";
  }
  std::string Manifest() const {
    std::string m = "[info]\nbuild = " + std::to_string(build) + "\nversion = " + version +
                    "\nserial = " + Hex8(serial) + "\nmodel = " + model +
                    "\n[loader]\naddress = 0x10000000\nflags = 1\nhex = 00 B5 01 4B 98 47 00 BD\n"
                    "[firmware]\naddress = 0\ntext = \"" +
                    Tag() + "\"\nsize = " + std::to_string(size) + "\nfill = 0x5A\n";
    if (generic)
      m += "[serial-offsets]\nserial = " + std::to_string(kSerialOffset) +
           "\ndescriptor = " + std::to_string(kDescriptorOffset) + "\n";
    return m + extra;
  }
  // The firmware payload as the module must hold it after the update.
  std::vector<uint8_t> Flashed(uint32_t moduleSerial) const {
    std::vector<uint8_t> p(size, 0x5A);
    std::string tag = Tag();
    memcpy(p.data(), tag.data(), tag.size());
    if (generic) {
      for (int i = 0; i < 4; ++i) p[kSerialOffset + i] = uint8_t(moduleSerial >> (8 * i));
      std::string text = Hex8(moduleSerial);
      for (int i = 0; i < 8; ++i) p[kDescriptorOffset + 2 * i] = uint8_t(text[size_t(i)]);
    }
    return p;
  }
};

// Packs manifest text into a BIRD file at path; "" on success, else why not.
inline std::string Pack(const std::string& manifestText, const std::string& path) {
  std::string manifest = path + ".manifest";
  WriteFile(manifest, manifestText);
  RunResult r =
      testsupport::Run(testsupport::ProgramPath("tools/birdfile", "birdfile"), {"pack", manifest, path});
  unlink(manifest.c_str());
  return r.status == 0 ? "" : r.err;
}

// Wraps content in a BIRD header and a zlib stream of stored blocks, so a test
// can write content the birdfile tool would refuse to make.
inline std::string RawBird(const std::string& content) {
  std::string out = "bird\x01\x01";
  out += "\x78\x01";
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(content.size() - pos, 65535);
    bool last = pos + n == content.size();
    out += char(last ? 1 : 0);
    out += char(n & 0xFF);
    out += char(n >> 8);
    out += char(~n & 0xFF);
    out += char((~n >> 8) & 0xFF);
    out += content.substr(pos, n);
    pos += n;
  } while (pos < content.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : content) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  uint32_t adler = b << 16 | a;
  for (int i = 3; i >= 0; --i) out += char(adler >> (8 * i));
  return out;
}

// The module's state file: its build and version and its flash regions.
struct ModuleState {
  bool present = false;
  uint32_t build = 0;
  uint32_t version = 0;
  std::map<uint32_t, std::vector<uint8_t>> flash;
};

inline ModuleState ReadState(const std::string& path) {
  ModuleState s;
  std::string bytes = ReadFile(path);
  size_t pos = 0;
  auto line = [&]() {
    size_t nl = bytes.find('\n', pos);
    if (nl == std::string::npos) nl = bytes.size();
    std::string l = bytes.substr(pos, nl - pos);
    pos = nl + 1;
    return l;
  };
  if (bytes.empty() || line() != "velsim-state 1") return s;
  s.present = true;
  while (pos < bytes.size()) {
    std::string l = line();
    unsigned long a = 0, n = 0;
    if (sscanf(l.c_str(), "build %lu", &a) == 1) s.build = uint32_t(a);
    if (sscanf(l.c_str(), "version %lx", &a) == 1) s.version = uint32_t(a);
    if (sscanf(l.c_str(), "region %lu %lu", &a, &n) == 2 && pos + n <= bytes.size()) {
      s.flash[uint32_t(a)].assign(bytes.begin() + long(pos), bytes.begin() + long(pos + n));
      pos += n + 1;
    }
  }
  return s;
}

// The device's store entry as key/value pairs ("" for a missing file).
inline std::map<std::string, std::string> Entry(const std::string& home, uint32_t serial) {
  std::map<std::string, std::string> kv;
  std::string text = ReadFile(home + "/.corvane/updater/" + Hex8(serial) + "/.settings");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string l = text.substr(pos, nl - pos);
    size_t eq = l.find('=');
    if (eq != std::string::npos) kv[l.substr(0, eq)] = l.substr(eq + 1);
    pos = nl + 1;
  }
  return kv;
}

// Runs the updater with the simulated USB bus preloaded.
inline testsupport::RunOptions UsbBus(const std::string& bus) {
  testsupport::RunOptions options;
  testsupport::Preload(options.env, testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so"));
  options.env["VELMARINE_USB_SIM"] = bus;
  return options;
}

// Runs the updater and kills it (SIGKILL) when the nth line of its standard
// error matching pattern appears. Returns whether it was killed there.
inline bool KillAt(const std::vector<std::string>& args, testsupport::RunOptions options,
                   const std::string& pattern, int nth = 1, int timeoutMs = 60000) {
  bool killed = false;
  options.timeoutMs = timeoutMs;
  options.onErrLine = testsupport::AtErrLine(pattern, nth, [&] { return killed = true; });
  testsupport::Run(testsupport::UpdaterPath(), args, options);
  return killed;
}

// Starts the updater and kills it (SIGKILL) as soon as done() holds (polled
// every 5 ms). Returns whether it was killed before it ended by itself.
template <typename Done>
bool KillWhen(const std::vector<std::string>& args, const testsupport::RunOptions& options,
              Done done, int timeoutMs = 60000) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    testsupport::ExecChild(testsupport::UpdaterPath(), args, options.env);
  }
  bool killed = false;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    if (done()) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    usleep(5000);
  }
  if (!killed) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return killed;
}

}  // namespace updtest
