// Console display and the listings of -D, -B, -L and -N.
#include "CLI_Display.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "UpdateServerRequest.h"
#include "vDefs.h"

namespace {
// One spinner frame counter for the whole process.
uint8_t sSpinnerFrame = 0;
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
const char kBar[] = "=====================================================================";
static_assert(sizeof(kBar) - 1 == 69, "the bar text is 69 characters");

bool sOnTerminal() { return isatty(fileno(stdout)) == 1; }

// A program started with standard input, output or error closed would hand
// that descriptor number to the next file it opens, and its messages would
// then be written into a store file. Each closed one is opened on /dev/null.
void sOpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}
}  // namespace

CLI_Display::CLI_Display() {
  sOpenClosedStandardStreams();
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool start) {
  if (!sOnTerminal() || start) return;
  printf("\r%*s\r", 88, " ");
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!sOnTerminal()) return;
  if (!(fraction >= 0.0)) fraction = 0.0;  // also catches NaN
  if (fraction > 1.0) fraction = 1.0;
  int width = 69;
  if (label) width = 69 - int(strlen(label)) - 4;
  if (width < 0) width = 0;
  int filled = int(width * fraction);
  int percent = int(100 * fraction);
  if (label)
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  else
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  if (!sOnTerminal()) return;
  if (!active) {
    display_progress(false);
    return;
  }
  const char* frame = kSpinnerFrames[sSpinnerFrame];
  if (label)
    printf("\r (%s) %s      \r", label, frame);
  else
    printf("\r %s      \r", frame);
  sSpinnerFrame = uint8_t((sSpinnerFrame + 1) % 8);
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }

static const char* sLinkTypeName(linkType type) {
  switch (type) {
    case linkTypeUSB: return "USB";
    case linkTypeTCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& devices, linkType type) {
  const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
  display.message(INFO, "Discovered Devices: (%s)", sLinkTypeName(type));
  if (devices.empty()) {
    display.message(INFO, "    No devices found.");
    return;
  }
  if (type == linkTypeUSB)
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)");
  else
    display.message(
        INFO,
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  for (const DeviceInfo& d : devices) {
    const linkSpec& s = d.spec;
    const char* model = vDefs_GetModelName(s.model);
    if (s.type == linkTypeTCPIP) {
      const uint8_t* ip = reinterpret_cast<const uint8_t*>(&s.t.ip.ipAddress);
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) [%d.%d.%d.%d]",
                      s.serialNumber, s.moduleAddress, s.routerAddress, model, d.versionMajor,
                      d.versionMinor, int(d.versionPatch), d.build, ip[0], ip[1], ip[2], ip[3]);
    } else if (d.error != 0) {
      display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                      s.serialNumber, int(d.error));
    } else {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", s.serialNumber,
                      s.moduleAddress, s.routerAddress, model, d.versionMajor, d.versionMinor,
                      int(d.versionPatch), d.build);
    }
  }
}

void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     uint32_t serial) {
  const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
  if (builds.empty()) {
    display.message(INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(INFO, "Build List for device [%08X]:\n", serial);
  display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& pair : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(INFO, "%-15.15s\t%-15.15s", pair.first.c_str(), pair.second.c_str());
}

void _display_fingerprint(CLI_Display& display, Fingerprint& f) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "[ %08X %08X %08X %08X ]", f.words[0],
                  f.words[1], f.words[2], f.words[3]);
}
