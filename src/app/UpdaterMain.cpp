// The program: parse the command line, prepare the store directory, and run
// the selected commands in their fixed order (-N, -G, then the first of -D,
// -U, -B, -L), one function per command. Returns the process exit status.
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

// What every command works with. -G leaves the build it stored in
// params.build, for a later command of the same run.
struct Command {
  Parameters& params;
  CLI_Display& display;
  Updater& updater;
};

// Reads the command line and answers what needs no store: a bad command line
// (usage, status 1), help or no command at all (usage, status 0). False when
// the program ends here with *status.
bool sReadCommandLine(CLI_Display& display, int argc, char** argv, Parameters* params,
                      int* status) {
  if (_get_params(display, argc, argv, params) == 1) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    *status = 1;
    return false;
  }
  _display_app_version(display);

  if (params->commands.IsSet(CMD_HELP) || !params->commands.IsSet(CMD_ANY_COMMAND)) {
    _display_copyright(display);
    _display_usage(params->logMaskGiven, params->helpRequested);
    *status = 0;
    return false;
  }
  return true;
}

// The store directory: "updater" under -i, or under ~/.corvane by default,
// created when missing. False, with the reason said, when there is none.
bool sPrepareStore(CLI_Display& display, const Parameters& params, std::string* store) {
  std::string parent = params.storeDirectory;
  if (parent.empty()) {
    char home[2048];
    vErr e = vDirectory_GetHomeDirectory(home, sizeof home);
    if (e != vErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedvDirectory_GetHomeDirectory()==> %d\n", int(e));
      // Without a home directory there is no default store: say so rather
      // than end silently.
      display.message(ERROR,
                      "Could not find the home directory; name the store's parent "
                      "directory with -i");
      return false;
    }
    parent = BuildPath(home, ".corvane", nullptr);
  }
  *store = BuildPath(parent.c_str(), "updater", nullptr);
  if (vDirectory_Ensure(store->c_str(), 0755) != vErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", store->c_str());
    return false;
  }
  return true;
}

// -N: reads the chip's fingerprint through the boot ROM on -s. A chip that does
// not answer sets status 1 and the later commands still run; a missing -s ends
// the run.
bool sFingerprint(Command& c, int* status) {
  if (c.params.serialPort.empty()) {
    c.display.message(ERROR, "Must specify the serial port used for connecting");
    *status = 1;
    return false;
  }
  Fingerprint fingerprint;
  if (c.updater.Get_Fingerprint(fingerprint, c.params.serialPort, 0xDEADDEAD, c.params.birdFile,
                                c.params.baudRate, true)) {
    _display_fingerprint(c.display, fingerprint);
  } else {
    c.display.message(ERROR, "Got no response from chip");
    *status = 1;
  }
  return true;
}

// -G: downloads a build (-b, else the latest) for -d into the store; its
// result is the run's status so far. A missing -d ends the run.
bool sGetBuild(Command& c, int* status) {
  if (c.params.serial == 0) {
    c.display.message(ERROR, "-G must specify a specific device via -d");
    c.display.message(ERROR, "--help for usage information");
    *status = 1;
    return false;
  }
  c.display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    c.params.serial);
  if (c.params.build.empty()) {
    c.display.message(INFO, "No build specified");
    c.display.message(INFO, "Using Latest build");
  } else {
    c.display.message(INFO, "Retrieving firmware build %s", c.params.build.c_str());
  }
  uint32_t stored =
      c.updater.Download_Firmware(c.params.serial, c.params.build, c.params.override, false);
  if (stored != 0) {
    c.params.build = std::to_string(stored);
    *status = 0;
  } else {
    *status = 1;
  }
  return true;
}

// -D: lists the modules found on the chosen transport (USB by default), or
// behind the router module given with -r.
int sDiscover(Command& c) {
  linkType type = linkTypeInvalid;
  if (c.params.transportGiven && c.params.transport != TRANSPORT_RECOVER)
    type = linkType(c.params.transport);
  std::vector<DeviceInfo> devices;
  if (c.params.routerSerial != 0) {
    c.display.message(INFO, "Searching for Velmarine Network devices connected to %08X",
                      c.params.routerSerial);
    devices = c.updater.Discover_VLNetwork_Devices(c.params.routerSerial, type);
  } else {
    c.display.message(INFO, "Searching for Velmarine devices");
    if (type == linkTypeInvalid) type = linkTypeUSB;
    devices = c.updater.Discover_Devices(type);
  }
  _display_device_list(c.display, devices, type);
  _usb_permission_hint(c.display);
  return 0;
}

// -U: updates the module -d, or with -t RECOVER rewrites a chip through its
// boot ROM.
int sUpdate(Command& c) {
  uint32_t build = 0;  // stays 0 when none is named: the update chooses
  _parse_build(c.params.build, build);
  bool ok;
  if (c.params.transport == TRANSPORT_RECOVER) {
    ok = c.updater.Recover_Firmware(c.params.serialPort, build, c.params.baudRate, c.params.serial,
                                    c.params.birdFile, c.params.override);
  } else {
    if (c.params.serial == 0) {
      c.display.message(ERROR, "Must specify the specific device to be updated");
      return 1;
    }
    ok =
        c.updater.Update_Firmware(c.params.serial, build, c.params.birdFile, c.params.moduleAddress,
                                  c.params.routerSerial, c.params.override);
  }
  return ok ? 0 : 1;
}

// -B (the builds the update server offers for -d) and -L (the builds already
// in the store for -d).
int sListBuilds(Command& c, bool local) {
  if (c.params.serial == 0) {
    c.display.message(ERROR, "Error must supply a serial number for the List %sBuilds command",
                      local ? "Local " : "");
    _display_usage(false, false);
    return 1;
  }
  auto builds = local ? c.updater.Get_BuildListLocal(c.params.serial)
                      : c.updater.Get_BuildList(c.params.serial);
  _display_builds(c.display, builds, c.params.serial);
  return 0;
}

}  // namespace

int updater_main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);
  int status = 0;
  if (!sReadCommandLine(display, argc, argv, &params, &status)) return status;
  std::string store;
  if (!sPrepareStore(display, params, &store)) return 1;

  Updater updater(params.serverUrl.c_str(), store.c_str(), display);
  Command command{params, display, updater};
  if (params.commands.IsSet(CMD_FINGERPRINT) && !sFingerprint(command, &status)) return status;
  if (params.commands.IsSet(CMD_GET_BUILD) && !sGetBuild(command, &status)) return status;
  // Of the remaining commands only the first given runs, and its status is the run's.
  if (params.commands.IsSet(CMD_DISCOVER)) return sDiscover(command);
  if (params.commands.IsSet(CMD_UPDATE)) return sUpdate(command);
  if (params.commands.IsSet(CMD_LIST_BUILDS)) return sListBuilds(command, false);
  if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) return sListBuilds(command, true);
  return status;
}
