// libhidapi_sim.so: the hidapi functions the HID transport calls, serving the
// simulated boot ROM over HID reports, for loading with LD_PRELOAD in front of
// a real program. Options come from the IMX_SDP_SIM_OPTIONS environment
// variable (the same options as imx-sdp-sim, separated by blanks).
#include <dlfcn.h>
#include <hidapi/hidapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "SdpRom.h"

namespace {
constexpr size_t kStatusReportSize = 5;   // identifier and 4 bytes
constexpr size_t kResultReportSize = 65;  // identifier and 64 bytes
constexpr size_t kCommandReportSize = 17;
constexpr int kLongestWaitMs = 2000;

std::mutex sMutex;
bool sLoaded = false;
bool sValid = false;
imxsim::Options sOptions;

// Parses the options once; a bad option set leaves no device to open.
bool LoadOptions() {
  if (sLoaded) return sValid;
  sLoaded = true;
  const char* text = getenv("IMX_SDP_SIM_OPTIONS");
  std::vector<std::string> args;
  std::istringstream words(text ? text : "");
  for (std::string word; words >> word;) args.push_back(word);
  std::string error = imxsim::ParseOptions(args, sOptions);
  if (!error.empty()) fprintf(stderr, "hidapi_sim: %s\n", error.c_str());
  sValid = error.empty();
  return sValid;
}

void LogEvent(const std::string& line) {
  if (sOptions.logPath.empty()) return;
  FILE* log = fopen(sOptions.logPath.c_str(), "a");
  if (!log) return;
  fprintf(log, "%s\n", line.c_str());
  fclose(log);
}

// The started loader shows up as a module on the simulated USB bus, when
// that bus is loaded in this process too.
void PlugLoaderModule() {
  if (sOptions.plugSpec.empty()) return;
  using Control = const char* (*)(const char*);
  Control control = reinterpret_cast<Control>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
  if (!control) {
    LogEvent("plug failed: no simulated USB bus");
    return;
  }
  std::string command = "plug " + sOptions.plugSpec;
  const char* reply = control(command.c_str());
  LogEvent("plug " + sOptions.plugSpec + (reply && *reply ? std::string(" ") + reply : ""));
}

// A loader started over the serial line is announced by the file the
// pseudo-terminal simulator writes at the jump; wait for it in the background
// (polled, for the life of the process) and plug the module then.
void WatchForJump(std::string path) {
  struct stat st;
  while (stat(path.c_str(), &st) != 0) usleep(20000);
  std::lock_guard<std::mutex> lock(sMutex);
  PlugLoaderModule();
}

// Started when the library is loaded, after the option data above exists
// (objects of one file are constructed in the order they are defined).
struct JumpWatcher {
  JumpWatcher() {
    std::lock_guard<std::mutex> lock(sMutex);
    if (!LoadOptions() || sOptions.watchPath.empty()) return;
    std::thread(WatchForJump, sOptions.watchPath).detach();
  }
} sJumpWatcher;
}  // namespace

struct hid_device_ {
  explicit hid_device_(const imxsim::Options& options) : rom(options, LogEvent) {}
  imxsim::Rom rom;
  std::deque<std::vector<uint8_t>> input;  // input reports waiting to be read
};

namespace {
// Queues the ROM's replies as input reports: report 3 holds the 4 status
// bytes, report 4 carries 64 bytes (zero-padded), several if needed.
void QueueReplies(hid_device* dev, const std::vector<imxsim::Rom::Reply>& replies) {
  if (dev->rom.Silent()) return;
  for (const auto& reply : replies) {
    if (reply.report == 3) {
      std::vector<uint8_t> report(kStatusReportSize, 0);
      report[0] = 3;
      memcpy(report.data() + 1, reply.bytes.data(),
             reply.bytes.size() < 4 ? reply.bytes.size() : 4);
      dev->input.push_back(report);
      continue;
    }
    size_t at = 0;
    do {
      std::vector<uint8_t> report(kResultReportSize, 0);
      report[0] = reply.report;
      size_t n = reply.bytes.size() - at;
      if (n > kResultReportSize - 1) n = kResultReportSize - 1;
      if (n) memcpy(report.data() + 1, reply.bytes.data() + at, n);
      at += n;
      dev->input.push_back(report);
    } while (at < reply.bytes.size());
  }
}
}  // namespace

extern "C" {

int HID_API_EXPORT hid_init(void) {
  std::lock_guard<std::mutex> lock(sMutex);
  return LoadOptions() ? 0 : -1;
}

int HID_API_EXPORT hid_exit(void) { return 0; }

hid_device* HID_API_EXPORT hid_open(unsigned short vendor_id, unsigned short product_id,
                                    const wchar_t* serial_number) {
  std::lock_guard<std::mutex> lock(sMutex);
  if (!LoadOptions() || sOptions.noDevice) return nullptr;
  if (vendor_id != sOptions.vendor || product_id != sOptions.product) return nullptr;
  LogEvent("open");
  return new hid_device_(sOptions);
}

void HID_API_EXPORT hid_close(hid_device* dev) {
  std::lock_guard<std::mutex> lock(sMutex);
  if (dev) LogEvent("close");
  delete dev;
}

int HID_API_EXPORT hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  std::lock_guard<std::mutex> lock(sMutex);
  if (!dev || !data || length == 0) return -1;
  // A started image has left the ROM: the HID device is gone.
  if (dev->rom.Started()) return -1;
  std::vector<imxsim::Rom::Reply> replies;
  switch (data[0]) {
    case 1:
      if (length < kCommandReportSize) return -1;
      dev->rom.Command(data + 1, replies);
      if (dev->rom.Started()) PlugLoaderModule();
      break;
    case 2:
      // Data outside a transfer is dropped, as a ROM waiting for a command would.
      dev->rom.Data(data + 1, length - 1, replies);
      break;
    default: return -1;
  }
  QueueReplies(dev, replies);
  return int(length);
}

int HID_API_EXPORT hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                    int milliseconds) {
  {
    std::lock_guard<std::mutex> lock(sMutex);
    if (!dev || !data) return -1;
    if (!dev->input.empty()) {
      std::vector<uint8_t> report = dev->input.front();
      dev->input.pop_front();
      size_t n = report.size() < length ? report.size() : length;
      memcpy(data, report.data(), n);
      return int(n);
    }
  }
  // Nothing to read: the time-out runs out (bounded, so a blocking read ends).
  int wait = milliseconds < 0 || milliseconds > kLongestWaitMs ? kLongestWaitMs : milliseconds;
  if (wait > 0) usleep(useconds_t(wait) * 1000);
  return 0;
}

}  // extern "C"
