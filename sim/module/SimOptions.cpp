// Command-line forms of module and fault descriptions, and endpoint lines.
#include <cstdio>
#include <stdexcept>

#include "VelmarineSim.h"

namespace velsim {

namespace {

std::vector<std::pair<std::string, std::string>> SplitPairs(const std::string& spec) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t start = 0;
  while (start <= spec.size()) {
    size_t comma = spec.find(',', start);
    std::string item =
        spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos)
        out.emplace_back(item, "");
      else
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

uint32_t ParseBase(const std::string& text, int base, uint32_t max, const char* what) {
  if (text.empty()) throw std::invalid_argument(std::string("missing ") + what);
  size_t used = 0;
  unsigned long long v = 0;
  try {
    v = std::stoull(text, &used, base);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text[0] == '-' || text[0] == '+')
    throw std::invalid_argument(std::string("bad ") + what + ": \"" + text + "\"");
  if (v > max) throw std::invalid_argument(std::string(what) + " out of range: \"" + text + "\"");
  return uint32_t(v);
}

uint32_t ParseSerial(const std::string& text) {
  std::string t = text;
  if (t.size() > 2 && (t.compare(0, 2, "0x") == 0 || t.compare(0, 2, "0X") == 0)) t = t.substr(2);
  if (t.size() > 8) throw std::invalid_argument("bad serial number: \"" + text + "\"");
  uint32_t v = ParseBase(t, 16, 0xFFFFFFFFu, "serial number");
  if (v == 0) throw std::invalid_argument("serial number 0 is not a module");
  return v;
}

uint32_t ParseVersion(const std::string& text) {
  if (text.find('.') == std::string::npos) return ParseNumber(text, 0xFFFFFFFFu, "version");
  uint32_t part[3] = {0, 0, 0};
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t dot = text.find('.', start);
    if ((i < 2) != (dot != std::string::npos))
      throw std::invalid_argument("version must be MAJOR.MINOR.PATCH: \"" + text + "\"");
    part[i] =
        ParseBase(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start),
                  10, 255, "version number");
    start = dot + 1;
  }
  return PackVersion(uint8_t(part[0]), uint8_t(part[1]), uint8_t(part[2]));
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':') digits += c;
  if (digits.empty() || digits.size() % 2)
    throw std::invalid_argument("garbage must be pairs of hex digits: \"" + text + "\"");
  std::vector<uint8_t> out;
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(uint8_t(ParseBase(digits.substr(i, 2), 16, 255, "garbage byte")));
  return out;
}

}  // namespace

std::array<uint32_t, 4> ParseFingerprint(const std::string& text) {
  std::array<uint32_t, 4> words{};
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = text.find('.', start);
    if ((i < 3) != (dot != std::string::npos))
      throw std::invalid_argument("fingerprint must be four hex words W0.W1.W2.W3: \"" + text +
                                  "\"");
    std::string word =
        text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (word.size() > 8) throw std::invalid_argument("bad fingerprint word: \"" + word + "\"");
    words[size_t(i)] = ParseBase(word, 16, 0xFFFFFFFFu, "fingerprint word");
    start = dot + 1;
  }
  return words;
}

uint32_t ParseNumber(const std::string& text, uint32_t max, const char* what) {
  if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0))
    return ParseBase(text.substr(2), 16, max, what);
  return ParseBase(text, 10, max, what);
}

ModuleConfig ParseModuleSpec(const std::string& spec) {
  ModuleConfig c;
  for (const auto& kv : SplitPairs(spec)) {
    const std::string& k = kv.first;
    const std::string& v = kv.second;
    if (k == "serial") {
      c.serial = ParseSerial(v);
    } else if (k == "model") {
      c.model = uint8_t(ParseNumber(v, 255, "model"));
    } else if (k == "address") {
      uint32_t a = ParseNumber(v, 254, "address");
      if (a == 0 || (a & 1))
        throw std::invalid_argument("module address must be even and non-zero: \"" + v + "\"");
      c.address = uint8_t(a);
    } else if (k == "router") {
      uint32_t a = ParseNumber(v, 254, "router address");
      if (a & 1) throw std::invalid_argument("router address must be even: \"" + v + "\"");
      c.router = uint8_t(a);
    } else if (k == "version") {
      c.version = ParseVersion(v);
    } else if (k == "build") {
      c.build = ParseNumber(v, 0xFFFFFFFFu, "build");
    } else if (k == "hb") {
      c.heartbeatMs = ParseNumber(v, 25500, "heartbeat interval (ms)");
    } else if (k == "name") {
      if (v.size() > 32) throw std::invalid_argument("name longer than 32 bytes");
      c.name = v;
    } else if (k == "fingerprint") {
      c.fingerprint = ParseFingerprint(v);
    } else if (k == "block-size") {
      c.blockSize = uint16_t(ParseNumber(v, 0xFFFF, "block size"));
    } else if (k == "reboot-pause") {
      c.rebootPauseMs = ParseNumber(v, 600000, "reboot pause (ms)");
    } else if (k == "load-pause") {
      c.loadPauseMs = ParseNumber(v, 600000, "load pause (ms)");
    } else if (k == "loader") {
      if (!v.empty() && v != "1" && v != "0") throw std::invalid_argument("loader takes no value");
      c.inLoader = v != "0";
    } else if (k == "state") {
      if (v.empty()) throw std::invalid_argument("state needs a file name");
      c.stateFile = v;
    } else {
      throw std::invalid_argument("unknown module key \"" + k + "\"");
    }
  }
  return c;
}

void ParseFaultSpec(const std::string& spec, FaultConfig& f) {
  for (const auto& kv : SplitPairs(spec)) {
    const std::string& k = kv.first;
    const std::string& v = kv.second;
    auto two = [&](const char* a, const char* b, uint32_t maxA, uint32_t maxB, int& second) {
      size_t colon = v.find(':');
      uint32_t first = ParseNumber(v.substr(0, colon), maxA, a);
      second = colon == std::string::npos ? -1 : int(ParseNumber(v.substr(colon + 1), maxB, b));
      return first;
    };
    if (k == "garbage") {
      f.garbage = ParseHexBytes(v);
    } else if (k == "garbage-after") {
      f.garbageAfter = int(ParseNumber(v, 1000000, "garbage-after"));
    } else if (k == "drop-after") {
      f.dropAfter = int(ParseNumber(v, 1000000, "drop-after"));
    } else if (k == "refuse-after-drop") {
      if (!v.empty()) throw std::invalid_argument("refuse-after-drop takes no value");
      f.refuseAfterDrop = true;
    } else if (k == "drop-close") {
      if (!v.empty()) throw std::invalid_argument("drop-close takes no value");
      f.dropClose = true;
    } else if (k == "mute") {
      MuteRule r;
      r.command = int(two("mute command", "mute option", 255, 63, r.option));
      f.mute.push_back(r);
    } else if (k == "flaky") {
      f.flakyEvery = ParseNumber(v, 1000000, "flaky");
      if (f.flakyEvery == 1) throw std::invalid_argument("flaky=1 would answer nothing: use mute");
    } else if (k == "delay") {
      f.delayMs = two("delay (ms)", "delay command", 600000, 255, f.delayCommand);
    } else if (k == "split") {
      f.splitBytes = ParseNumber(v, 65536, "split");
    } else if (k == "split-gap") {
      f.splitGapMs = ParseNumber(v, 10000, "split-gap (ms)");
    } else if (k == "hb-timeout") {
      f.heartbeatTimeoutMs = ParseNumber(v, 600000, "hb-timeout (ms)");
      if (!f.heartbeatTimeoutMs) throw std::invalid_argument("hb-timeout must be positive");
    } else if (k == "data-short") {
      f.dataShortAt = int(ParseNumber(v, 100000000, "data-short"));
    } else if (k == "data-short-repeat") {
      f.dataShortRepeat = int(ParseNumber(v, 100000000, "data-short-repeat"));
    } else if (k == "sum-off") {
      f.sumOffAt = int(ParseNumber(v, 100000000, "sum-off"));
    } else if (k == "prepare-fail") {
      f.prepareFailAt = int(ParseNumber(v, 100000000, "prepare-fail"));
    } else if (k == "drop-in-block") {
      f.dropInBlockAt = int(ParseNumber(v, 100000000, "drop-in-block"));
    } else if (k == "load-mute" || k == "load-drop" || k == "never-back" || k == "reboot-close" ||
               k == "init-short") {
      if (!v.empty()) throw std::invalid_argument(k + " takes no value");
      if (k == "load-mute") f.mute.push_back(MuteRule{0x5F, 2});
      if (k == "load-drop") f.loadDrop = true;
      if (k == "never-back") f.neverBack = true;
      if (k == "reboot-close") f.rebootClose = true;
      if (k == "init-short") f.initShort = true;
    } else {
      throw std::invalid_argument("unknown fault \"" + k + "\"");
    }
  }
}

std::string Endpoint::Line() const {
  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", serial);
  const char* kindText = kind == EndpointKind::Tcp   ? "tcp"
                         : kind == EndpointKind::Pty ? "pty"
                                                     : "pair";
  return std::string(kindText) + " " + where + " " + serialText;
}

}  // namespace velsim
