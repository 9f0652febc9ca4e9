// The console display: info messages on standard output, errors on standard
// error, and a progress bar and spinner drawn only on a terminal. Also the
// listings of the commands' results.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "vLinkSpec.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  CLI_Display();

  void display_progress(bool start) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& devices, linkType type);
void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     uint32_t serial);
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
