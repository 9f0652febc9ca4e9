// The program: parse the command line, prepare the store directory, and run
// the selected commands in their fixed order (-N, -G, then the first of -D,
// -U, -B, -L). Returns the process exit status.
#include <cstdlib>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "vDirectory.h"

namespace {
const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The build text as an unsigned decimal number; 0 when empty or not a number.
uint32_t sBuildNumber(const std::string& build) {
  if (build.empty() || build.find_first_not_of("0123456789") != std::string::npos) return 0;
  return _get_int_arg(build.c_str(), nullptr);
}
}  // namespace

int updater_main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) == 1) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    return 1;
  }
  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
    _display_copyright(display);
    _display_usage(params.logMaskGiven, params.helpRequested);
    return 0;
  }

  std::string store = params.storeDirectory;
  if (store.empty()) {
    char home[2048];
    vErr e = vDirectory_GetHomeDirectory(home, sizeof home);
    if (e != vErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedvDirectory_GetHomeDirectory()==> %d\n", int(e));
      // Without a home directory there is no default store: say so rather
      // than end silently.
      display.message(ERROR, "Could not find the home directory; name the store's parent "
                             "directory with -i");
      return 1;
    }
    store = BuildPath(home, ".corvane", nullptr);
  }
  store = BuildPath(store.c_str(), "updater", nullptr);
  if (vDirectory_Ensure(store.c_str(), 0755) != vErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", store.c_str());
    return 1;
  }

  Updater updater(params.serverUrl.c_str(), store.c_str(), display);
  int status = 0;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serialPort.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile,
                                params.baudRate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_GET_BUILD)) {
    if (params.serial == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    params.serial);
    if (params.build.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    uint32_t stored =
        updater.Download_Firmware(params.serial, params.build, params.override, false);
    if (stored != 0) {
      params.build = std::to_string(stored);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_DISCOVER)) {
    linkType type = linkTypeInvalid;
    if (params.transportGiven && params.transport != TRANSPORT_RECOVER)
      type = linkType(params.transport);
    std::vector<DeviceInfo> devices;
    if (params.routerSerial != 0) {
      display.message(INFO, "Searching for Velmarine Network devices connected to %08X",
                      params.routerSerial);
      devices = updater.Discover_VLNetwork_Devices(params.routerSerial, type);
    } else {
      display.message(INFO, "Searching for Velmarine devices");
      if (type == linkTypeInvalid) type = linkTypeUSB;
      devices = updater.Discover_Devices(type);
    }
    _display_device_list(display, devices, type);
    return 0;
  }

  if (params.commands.IsSet(CMD_UPDATE)) {
    uint32_t build = sBuildNumber(params.build);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
      ok = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serial,
                                    params.birdFile, params.override);
    } else {
      if (params.serial == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
      }
      ok = updater.Update_Firmware(params.serial, build, params.birdFile, params.moduleAddress,
                                   params.routerSerial, params.override);
    }
    return ok ? 0 : 1;
  }

  if (params.commands.IsSet(CMD_LIST_BUILDS)) {
    if (params.serial == 0) {
      display.message(ERROR, "Error must supply a serial number for the List Builds command");
      _display_usage(false, false);
      return 1;
    }
    auto builds = updater.Get_BuildList(params.serial);
    _display_builds(display, builds, params.serial);
    return 0;
  }

  if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
    if (params.serial == 0) {
      display.message(ERROR,
                      "Error must supply a serial number for the List Local Builds command");
      _display_usage(false, false);
      return 1;
    }
    auto builds = updater.Get_BuildListLocal(params.serial);
    _display_builds(display, builds, params.serial);
    return 0;
  }

  return status;
}
