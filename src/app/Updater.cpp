// The Updater object and the steps its operations share.
#include "Updater.h"

#include <atomic>
#include <ctime>

#include "Module.h"
#include "vMutex.h"
#include "vStream_USB.h"

Updater::Updater(const char* url, const char* store, UpdaterDisplayInterface& d)
    : serverUrl(url ? url : ""), storeDirectory(store ? store : ""), display(d) {}

bool _parse_build(const std::string& text, uint32_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
    if (v > UINT32_MAX) return false;
  }
  value = uint32_t(v);
  return true;
}

std::string _local_time_text() {
  time_t now = time(nullptr);
  char text[64] = "";
  if (!ctime_r(&now, text)) return "";
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

void _usb_permission_hint(UpdaterDisplayInterface& display) {
  static std::atomic<bool> given{false};
  if (!vlusb_permission_denied() || given.exchange(true)) return;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  "No permission to open a Velmarine USB device: install the udev rules "
                  "70-velmarine-updater.rules (packaging/ in the sources) with 'sudo cp "
                  "70-velmarine-updater.rules /etc/udev/rules.d/ && sudo udevadm control "
                  "--reload-rules && sudo udevadm trigger', then plug the module in again "
                  "(man updater, USB ACCESS)");
}

bool _connect_with_retries(Corvane::Velmarine::Module& module, linkType type,
                           const std::vector<uint32_t>& serials) {
  constexpr int kRounds = 15;
  constexpr uint32_t kPauseMs = 1000;
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t serial : serials) {
      module.discoverAndConnect(type, serial);
      if (module.isConnected()) return true;
      // A try whose link could not be brought up still holds it.
      module.disconnect();
    }
    if (round + 1 < kRounds) vTime_MSSleep(kPauseMs);
  }
  return false;
}
