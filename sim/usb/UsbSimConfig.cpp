// Parses the simulated bus's configuration text into device records.
#include "UsbSimConfig.h"

#include <libusb.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "VelmarineSim.h"

namespace usbsim {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

uint32_t Number(const std::string& text, int base, uint32_t max, const std::string& what) {
  if (text.empty()) throw std::invalid_argument("empty " + what);
  size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used, base);
  } catch (const std::exception&) {
    throw std::invalid_argument("bad " + what + " '" + text + "'");
  }
  if (used != text.size() || text[0] == '-' || value > max) {
    throw std::invalid_argument("bad " + what + " '" + text + "'");
  }
  return uint32_t(value);
}

void ApplyOption(DeviceConfig& c, const std::string& option) {
  std::string name = option, value;
  size_t eq = option.find('=');
  if (eq != std::string::npos) {
    name = option.substr(0, eq);
    value = option.substr(eq + 1);
  }
  if (name == "address") {
    c.address = uint8_t(Number(value, 0, 0xFE, "address"));
  } else if (name == "vid") {
    c.vendor = uint16_t(Number(value, 0, 0xFFFF, "vendor id"));
  } else if (name == "pid") {
    c.product = uint16_t(Number(value, 0, 0xFFFF, "product id"));
  } else if (name == "serial-text") {
    if (value.size() > 126) throw std::invalid_argument("serial text too long");
    c.serialText = value;
  } else if (name == "subclass") {
    c.interfaceSubclass = uint8_t(Number(value, 0, 0xFF, "subclass"));
  } else if (name == "no-in") {
    c.inEndpoint = false;
  } else if (name == "no-out") {
    c.outEndpoint = false;
  } else if (name == "busy") {
    c.claim = LIBUSB_ERROR_BUSY;
  } else if (name == "access") {
    c.claim = LIBUSB_ERROR_ACCESS;
  } else if (name == "denied") {
    c.denied = true;
  } else if (name == "node") {
    c.node = true;
  } else if (name == "stall-out") {
    c.stallOut = true;
  } else if (name == "stall-in") {
    c.stallIn = true;
  } else if (name == "io-error") {
    c.ioError = true;
  } else if (name == "gone") {
    c.gone = true;
  } else if (name == "router") {
    c.module.router = uint8_t(Number(value, 0, 0xFE, "router address"));
    if (c.module.router == 0 || (c.module.router & 1))
      throw std::invalid_argument("router address must be even");
  } else if (name == "build") {
    c.module.build = Number(value, 0, 0xFFFFFFFF, "build");
  } else if (name == "version") {
    // X.Y.Z as the module reports it.
    unsigned major = 0, minor = 0, patch = 0;
    char extra = 0;
    if (sscanf(value.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &extra) != 3 || major > 255 ||
        minor > 255 || patch > 255)
      throw std::invalid_argument("bad version '" + value + "'");
    c.module.version = velsim::PackVersion(uint8_t(major), uint8_t(minor), uint8_t(patch));
  } else if (name == "mute" || name == "unplug-on") {
    // CMD or CMD/OPTION: requests with that command (and option code) get no
    // reply, or unplug the device as they are sent.
    size_t slash = value.find('/');
    int command = int(Number(value.substr(0, slash), 0, 0xFF, name + " command"));
    int option = slash == std::string::npos
                     ? -1
                     : int(Number(value.substr(slash + 1), 0, 0x3F, name + " option"));
    if (name == "mute")
      c.faults.mute.push_back(velsim::MuteRule{command, option});
    else
      c.unplugOn.emplace_back(command, option);
  } else if (name == "stream") {
    // CMD/OPTION/INDEX[/KIND]: one value the module streams.
    std::vector<std::string> parts = Split(value, '/');
    if (parts.size() < 3 || parts.size() > 4)
      throw std::invalid_argument("stream needs CMD/OPTION/INDEX[/KIND], not '" + value + "'");
    velsim::StreamSource source;
    source.command = uint8_t(velsim::ParseNumber(parts[0], 0xFF, "stream command"));
    source.option = uint8_t(velsim::ParseNumber(parts[1], 0x3F, "stream option"));
    source.index = uint8_t(velsim::ParseNumber(parts[2], 0x1F, "stream index"));
    if (parts.size() == 4) {
      source.kind = uint8_t(velsim::ParseNumber(parts[3], 7, "stream kind"));
      if (source.kind == 0 || source.kind == 4)
        throw std::invalid_argument("stream kind must be 1, 2, 3, 5, 6 or 7");
    }
    c.streams.push_back(source);
  } else if (name == "stream-rate") {
    c.streamRate = Number(value, 10, 100000, "stream rate");
  } else if (name == "unplug-after") {
    c.unplugAfter = int(Number(value, 0, 100000000, "unplug-after"));
  } else if (name == "fingerprint" || name == "block-size" || name == "reboot-pause" ||
             name == "load-pause" || name == "state" || name == "name" || name == "hb" ||
             name == "loader") {
    // Module keys, as the simulator's module description takes them.
    velsim::ModuleConfig parsed = velsim::ParseModuleSpec(option);
    velsim::ModuleConfig& m = c.module;
    if (name == "fingerprint") m.fingerprint = parsed.fingerprint;
    if (name == "block-size") m.blockSize = parsed.blockSize;
    if (name == "reboot-pause") m.rebootPauseMs = parsed.rebootPauseMs;
    if (name == "load-pause") m.loadPauseMs = parsed.loadPauseMs;
    if (name == "state") m.stateFile = parsed.stateFile;
    if (name == "name") m.name = parsed.name;
    if (name == "hb") m.heartbeatMs = parsed.heartbeatMs;
    if (name == "loader") m.inLoader = parsed.inLoader;
  } else if (name == "data-short" || name == "data-short-repeat" || name == "sum-off" ||
             name == "prepare-fail" || name == "drop-in-block" || name == "load-mute" ||
             name == "load-drop" || name == "never-back" || name == "init-short" ||
             name == "flaky") {
    // Upgrade loader faults, as the simulator's fault description takes them.
    velsim::ParseFaultSpec(option, c.faults);
  } else {
    throw std::invalid_argument("unknown option '" + option + "'");
  }
}

}  // namespace

DeviceConfig ParseDeviceSpec(const std::string& entry) {
  std::vector<std::string> fields = Split(entry, ':');
  if (fields.size() < 2) throw std::invalid_argument("entry '" + entry + "' needs SERIAL:MODEL");
  DeviceConfig c;
  c.serial = Number(fields[0], 16, 0xFFFFFFFF, "serial number");
  c.model = uint8_t(Number(fields[1], 0, 0xFF, "model"));
  c.product = c.model;
  for (size_t i = 2; i < fields.size(); i++) ApplyOption(c, fields[i]);
  if (c.serialText.empty()) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", c.serial);
    c.serialText = text;
  }
  if (c.address == 0 || (c.address & 1)) throw std::invalid_argument("address must be even");
  c.module.serial = c.serial;
  c.module.model = c.model;
  c.module.address = c.address;
  return c;
}

std::vector<DeviceConfig> ParseBusSpec(const std::string& spec) {
  std::vector<DeviceConfig> devices;
  if (spec.empty()) return devices;
  for (const std::string& entry : Split(spec, ',')) {
    DeviceConfig c = ParseDeviceSpec(entry);
    for (const auto& d : devices) {
      if (d.serial == c.serial) throw std::invalid_argument("serial number given twice");
    }
    devices.push_back(c);
  }
  return devices;
}

}  // namespace usbsim
