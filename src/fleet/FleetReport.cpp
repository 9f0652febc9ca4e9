// The report forms of a fleet run. JSON and XML are written and read by the
// small code here: every text is escaped on the way out, and the reader
// refuses anything that is not a well-formed report, saying where.
#include "FleetReport.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "FleetOptions.h"

namespace {

struct Named {
  const char* text;
  int value;
};
const Named kStates[] = {
    {"planned", int(FleetState::PLANNED)},     {"succeeded", int(FleetState::SUCCEEDED)},
    {"failed", int(FleetState::FAILED)},       {"up-to-date", int(FleetState::UP_TO_DATE)},
    {"skipped", int(FleetState::SKIPPED)},     {"canceled", int(FleetState::CANCELED)},
    {"not-found", int(FleetState::NOT_FOUND)},
};
const Named kActions[] = {
    {"update", int(FleetAction::UPDATE)},
    {"none", int(FleetAction::NONE)},
    {"skip", int(FleetAction::SKIP)},
};

template <size_t N>
const char* sText(const Named (&table)[N], int value) {
  for (const Named& n : table)
    if (n.value == value) return n.text;
  return "?";
}
template <size_t N>
bool sValue(const Named (&table)[N], const std::string& text, int* value) {
  for (const Named& n : table)
    if (text == n.text) {
      *value = n.value;
      return true;
    }
  return false;
}

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t sUtf8Length(const std::string& s, size_t i) {
  unsigned char c = (unsigned char)s[i];
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    unsigned char d = (unsigned char)s[i + k];
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  // No overlong forms, surrogates or code points past Unicode.
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

// A JSON string literal of text; invalid UTF-8 bytes become U+FFFD.
std::string sJsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = (unsigned char)text[i];
    size_t n = sUtf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char u[8];
      snprintf(u, sizeof u, "\\u%04x", c);
      out += u;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string sJsonStringOrNull(const std::string& text) {
  return text.empty() ? "null" : sJsonString(text);
}

std::string sHex8(uint32_t v) {
  char t[16];
  snprintf(t, sizeof t, "%08X", v);
  return t;
}

// Text for XML character data and attribute values. XML 1.0 allows no
// control characters but tab, line feed and carriage return: the rest become '?'.
std::string sXml(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t n = sUtf8Length(text, i);
    unsigned char c = (unsigned char)text[i];
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
          out += '?';
        else
          out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

// ---- JSON reading: a value tree, then the report out of it. ----

struct JsonValue {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool boolean = false;
  double number = 0;
  bool integral = false;  // the number was written without fraction or exponent
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  bool Read(JsonValue* value, std::string* error) {
    bool ok = Value(value, 0) && (Space(), pos_ == s_.size() || Fail("text after the value"));
    if (!ok) *error = error_ + " at byte " + std::to_string(pos_);
    return ok;
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool Fail(const char* what) {
    if (error_.empty()) error_ = what;
    return false;
  }
  void Space() {
    while (pos_ < s_.size() && strchr(" \t\r\n", s_[pos_]) && s_[pos_] != '\0') ++pos_;
  }
  bool Literal(const char* word) {
    size_t n = strlen(word);
    if (s_.compare(pos_, n, word) != 0) return Fail("not a JSON value");
    pos_ += n;
    return true;
  }

  bool Value(JsonValue* v, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deeply");
    Space();
    if (pos_ >= s_.size()) return Fail("unexpected end");
    char c = s_[pos_];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v->kind = JsonValue::STRING;
      return String(&v->text);
    }
    if (c == 't' || c == 'f') {
      v->kind = JsonValue::BOOL;
      v->boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      v->kind = JsonValue::NUL;
      return Literal("null");
    }
    return Number(v);
  }

  bool Number(JsonValue* v) {
    size_t start = pos_;
    auto digits = [&] {
      size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '0')
      ++pos_;
    else if (!digits())
      return Fail("not a JSON value");
    v->integral = true;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!digits()) return Fail("bad number");
      v->integral = false;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!digits()) return Fail("bad number");
      v->integral = false;
    }
    v->kind = JsonValue::NUMBER;
    v->number = strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }

  bool Hex4(uint32_t* cp) {
    if (pos_ + 4 > s_.size()) return Fail("bad \\u escape");
    *cp = 0;
    for (int i = 0; i < 4; ++i) {
      char h = s_[pos_++];
      int d = h >= '0' && h <= '9'   ? h - '0'
              : h >= 'a' && h <= 'f' ? h - 'a' + 10
              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                     : -1;
      if (d < 0) return Fail("bad \\u escape");
      *cp = *cp << 4 | uint32_t(d);
    }
    return true;
  }

  static void Utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += char(cp);
    } else if (cp < 0x800) {
      *out += char(0xC0 | cp >> 6);
      *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += char(0xE0 | cp >> 12);
      *out += char(0x80 | ((cp >> 6) & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    } else {
      *out += char(0xF0 | cp >> 18);
      *out += char(0x80 | ((cp >> 12) & 0x3F));
      *out += char(0x80 | ((cp >> 6) & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    }
  }

  bool String(std::string* out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      unsigned char c = (unsigned char)s_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        size_t n = sUtf8Length(s_, pos_);
        if (n == 0) return Fail("invalid UTF-8 in a string");
        out->append(s_, pos_, n);
        pos_ += n;
        continue;
      }
      if (++pos_ >= s_.size()) return Fail("unterminated string");
      char e = s_[pos_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(&cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return Fail("lone surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (s_.compare(pos_, 2, "\\u") != 0) return Fail("lone surrogate");
            pos_ += 2;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          Utf8(cp, out);
          break;
        }
        default: return Fail("bad escape in a string");
      }
    }
  }

  bool Array(JsonValue* v, int depth) {
    v->kind = JsonValue::ARRAY;
    ++pos_;
    Space();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      v->items.emplace_back();
      if (!Value(&v->items.back(), depth + 1)) return false;
      Space();
      if (pos_ >= s_.size()) return Fail("unterminated array");
      char c = s_[pos_++];
      if (c == ']') return true;
      if (c != ',') return Fail("expected ',' or ']'");
    }
  }

  bool Object(JsonValue* v, int depth) {
    v->kind = JsonValue::OBJECT;
    ++pos_;
    Space();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      Space();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a key");
      std::string key;
      if (!String(&key)) return false;
      Space();
      if (pos_ >= s_.size() || s_[pos_++] != ':') return Fail("expected ':'");
      JsonValue member;
      if (!Value(&member, depth + 1)) return false;
      if (v->members.count(key)) return Fail("duplicate key");
      v->members[key] = std::move(member);
      Space();
      if (pos_ >= s_.size()) return Fail("unterminated object");
      char c = s_[pos_++];
      if (c == '}') return true;
      if (c != ',') return Fail("expected ',' or '}'");
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::string error_;
};

// Typed reads of an object's members; each says which key is wrong.
class Fields {
 public:
  Fields(const JsonValue& object, std::string where, std::string* error)
      : o_(object), where_(std::move(where)), error_(error) {}

  const JsonValue* Get(const char* key, JsonValue::Kind kind, bool nullable) {
    auto it = o_.members.find(key);
    if (it == o_.members.end()) return Bad(key, "is missing");
    if (nullable && it->second.kind == JsonValue::NUL) return &it->second;
    if (it->second.kind != kind) return Bad(key, "has the wrong kind of value");
    return &it->second;
  }
  bool Text(const char* key, std::string* out, bool nullable = false) {
    const JsonValue* v = Get(key, JsonValue::STRING, nullable);
    if (!v) return false;
    *out = v->text;
    return true;
  }
  // A whole number from 0 to max; null leaves *present false.
  bool Unsigned(const char* key, uint64_t max, uint64_t* out, bool nullable = false,
                bool* present = nullptr) {
    const JsonValue* v = Get(key, JsonValue::NUMBER, nullable);
    if (!v) return false;
    if (present) *present = v->kind != JsonValue::NUL;
    if (v->kind == JsonValue::NUL) return true;
    if (!v->integral || v->number < 0 || v->number > double(max))
      return Bad(key, "is out of range"), false;
    *out = uint64_t(v->number);
    return true;
  }

 private:
  const JsonValue* Bad(const char* key, const char* what) {
    if (error_->empty()) *error_ = where_ + "\"" + key + "\" " + what;
    return nullptr;
  }
  const JsonValue& o_;
  std::string where_;
  std::string* error_;
};

bool sParseModule(const JsonValue& m, size_t index, FleetModule* out, std::string* error) {
  std::string where = "modules[" + std::to_string(index) + "]: ";
  if (m.kind != JsonValue::OBJECT) return *error = where + "not an object", false;
  Fields f(m, where, error);
  std::string serial, router, action, state;
  uint64_t n = 0;
  bool routerGiven = m.members.count("router") && m.members.at("router").kind != JsonValue::NUL;
  if (!f.Text("serial", &serial) || !f.Text("model", &out->model) ||
      !f.Text("transport", &out->transport) || !f.Text("router", &router, true) ||
      !f.Text("action", &action) || !f.Text("state", &state) ||
      !f.Text("version_before", &out->versionBefore, true) ||
      !f.Text("version_after", &out->versionAfter, true) || !f.Text("log", &out->log, true))
    return false;
  if (!FleetParseHexSerial(serial, &out->serial)) return *error = where + "bad serial", false;
  if (routerGiven && !FleetParseHexSerial(router, &out->router))
    return *error = where + "bad router", false;
  int value = 0;
  if (!sValue(kActions, action, &value)) return *error = where + "unknown action", false;
  out->action = FleetAction(value);
  if (!sValue(kStates, state, &value)) return *error = where + "unknown state", false;
  out->state = FleetState(value);
  if (!f.Unsigned("network_address", 0xFFFF, &n)) return false;
  out->networkAddress = uint16_t(n);
  n = 0;
  if (!f.Unsigned("build_before", UINT32_MAX, &n, true)) return false;
  out->buildBefore = uint32_t(n);
  n = 0;
  if (!f.Unsigned("build_target", UINT32_MAX, &n, true)) return false;
  out->buildTarget = uint32_t(n);
  n = 0;
  if (!f.Unsigned("build_after", UINT32_MAX, &n, true, &out->hasBuildAfter)) return false;
  out->buildAfter = uint32_t(n);
  if (!f.Unsigned("attempts", 1000000, &n)) return false;
  out->attempts = int(n);
  if (!f.Unsigned("duration_ms", uint64_t(1) << 50, &out->durationMs)) return false;
  const JsonValue* e = f.Get("error", JsonValue::OBJECT, true);
  if (!e) return false;
  if (e->kind == JsonValue::OBJECT) {
    Fields ef(*e, where + "error: ", error);
    uint64_t code = 0;
    out->error.set = true;
    if (!ef.Unsigned("code", 0x7FFFFFFF, &code) || !ef.Text("message", &out->error.message))
      return false;
    out->error.code = int(code);
    ef.Text("name", &out->error.name, true);
    error->clear();  // the name is optional
  }
  auto reason = m.members.find("reason");
  if (reason != m.members.end() && reason->second.kind == JsonValue::STRING)
    out->reason = reason->second.text;
  return true;
}

}  // namespace

const char* FleetStateText(FleetState state) { return sText(kStates, int(state)); }
const char* FleetActionText(FleetAction action) { return sText(kActions, int(action)); }
bool FleetStateFromText(const std::string& text, FleetState* state) {
  int v = 0;
  if (!sValue(kStates, text, &v)) return false;
  *state = FleetState(v);
  return true;
}
bool FleetActionFromText(const std::string& text, FleetAction* action) {
  int v = 0;
  if (!sValue(kActions, text, &v)) return false;
  *action = FleetAction(v);
  return true;
}

FleetSummary FleetSummarize(const std::vector<FleetModule>& modules) {
  FleetSummary s;
  for (const FleetModule& m : modules) {
    ++s.total;
    switch (m.state) {
      case FleetState::PLANNED: ++s.planned; break;
      case FleetState::SUCCEEDED: ++s.succeeded; break;
      case FleetState::FAILED: ++s.failed; break;
      case FleetState::UP_TO_DATE: ++s.upToDate; break;
      case FleetState::SKIPPED: ++s.skipped; break;
      case FleetState::CANCELED: ++s.canceled; break;
      case FleetState::NOT_FOUND: ++s.notFound; break;
    }
  }
  return s;
}

int FleetExitStatus(const std::vector<FleetModule>& modules) {
  FleetSummary s = FleetSummarize(modules);
  if (s.notFound > 0) return 5;
  if (s.failed > 0 && s.succeeded == 0 && s.canceled == 0) return 4;
  if (s.failed + s.canceled + s.skipped > 0) return 3;
  return 0;
}

std::string FleetJson(const FleetReport& r) {
  std::string j = "{\n  \"report_version\": 1,\n";
  j += "  \"tool\": " + sJsonString(r.tool) + ",\n";
  j += "  \"host\": " + sJsonString(r.host) + ",\n";
  j += "  \"mode\": " + sJsonString(r.mode) + ",\n";
  j += "  \"started\": " + sJsonString(r.started) + ",\n";
  j += "  \"finished\": " + sJsonString(r.finished) + ",\n";
  j += "  \"modules\": [";
  for (size_t i = 0; i < r.modules.size(); ++i) {
    const FleetModule& m = r.modules[i];
    j += i ? ",\n" : "\n";
    j += "    {\"serial\": " + sJsonString(sHex8(m.serial));
    j += ", \"model\": " + sJsonString(m.model);
    j += ", \"transport\": " + sJsonString(m.transport);
    j += ", \"router\": " + (m.router ? sJsonString(sHex8(m.router)) : std::string("null"));
    j += ", \"network_address\": " + std::to_string(m.networkAddress);
    j += ", \"build_before\": " + std::to_string(m.buildBefore);
    j += ", \"version_before\": " + sJsonStringOrNull(m.versionBefore);
    j += ", \"build_target\": " + std::to_string(m.buildTarget);
    j += ", \"build_after\": " +
         (m.hasBuildAfter ? std::to_string(m.buildAfter) : std::string("null"));
    j += ", \"version_after\": " + sJsonStringOrNull(m.versionAfter);
    j += ", \"action\": " + sJsonString(FleetActionText(m.action));
    j += ", \"state\": " + sJsonString(FleetStateText(m.state));
    j += ", \"reason\": " + sJsonStringOrNull(m.reason);
    if (m.error.set)
      j += ", \"error\": {\"code\": " + std::to_string(m.error.code) +
           ", \"name\": " + sJsonStringOrNull(m.error.name) +
           ", \"message\": " + sJsonString(m.error.message) + "}";
    else
      j += ", \"error\": null";
    j += ", \"attempts\": " + std::to_string(m.attempts);
    j += ", \"duration_ms\": " + std::to_string(m.durationMs);
    j += ", \"log\": " + sJsonStringOrNull(m.log);
    if (m.workerMaxRssKiB) j += ", \"worker_max_rss_kib\": " + std::to_string(m.workerMaxRssKiB);
    j += "}";
  }
  j += r.modules.empty() ? "],\n" : "\n  ],\n";
  FleetSummary s = FleetSummarize(r.modules);
  j += "  \"summary\": {\"total\": " + std::to_string(s.total) +
       ", \"succeeded\": " + std::to_string(s.succeeded) +
       ", \"failed\": " + std::to_string(s.failed) +
       ", \"up_to_date\": " + std::to_string(s.upToDate) +
       ", \"skipped\": " + std::to_string(s.skipped) +
       ", \"canceled\": " + std::to_string(s.canceled) +
       ", \"not_found\": " + std::to_string(s.notFound) + "}\n}\n";
  return j;
}

std::string FleetJUnit(const FleetReport& r) {
  FleetSummary s = FleetSummarize(r.modules);
  uint64_t totalMs = 0;
  for (const FleetModule& m : r.modules) totalMs += m.durationMs;
  auto seconds = [](uint64_t ms) {
    char t[32];
    snprintf(t, sizeof t, "%.3f", double(ms) / 1000.0);
    return std::string(t);
  };
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<testsuites tests=\"" + std::to_string(s.total) + "\" failures=\"" +
       std::to_string(s.failed) + "\" errors=\"" + std::to_string(s.notFound) + "\" skipped=\"" +
       std::to_string(s.skipped + s.canceled) + "\" time=\"" + seconds(totalMs) + "\">\n";
  x += "  <testsuite name=\"updater-fleet " + sXml(r.mode) + "\" tests=\"" +
       std::to_string(s.total) + "\" failures=\"" + std::to_string(s.failed) + "\" errors=\"" +
       std::to_string(s.notFound) + "\" skipped=\"" + std::to_string(s.skipped + s.canceled) +
       "\" time=\"" + seconds(totalMs) + "\" timestamp=\"" + sXml(r.started) + "\" hostname=\"" +
       sXml(r.host) + "\">\n";
  for (const FleetModule& m : r.modules) {
    x += "    <testcase classname=\"updater-fleet." + sXml(m.model.empty() ? "module" : m.model) +
         "\" name=\"" + sHex8(m.serial) + "\" time=\"" + seconds(m.durationMs) + "\"";
    std::string message = m.error.set ? m.error.message : m.reason;
    std::string type =
        m.error.set && !m.error.name.empty() ? m.error.name : FleetStateText(m.state);
    switch (m.state) {
      case FleetState::FAILED:
        x += ">\n      <failure message=\"" + sXml(message) + "\" type=\"" + sXml(type) + "\">" +
             sXml(message) + "</failure>\n    </testcase>\n";
        break;
      case FleetState::NOT_FOUND:
        x += ">\n      <error message=\"" + sXml(message) +
             "\" type=\"not-found\"/>\n"
             "    </testcase>\n";
        break;
      case FleetState::SKIPPED:
      case FleetState::CANCELED:
        x += ">\n      <skipped message=\"" +
             sXml(std::string(FleetStateText(m.state)) + (message.empty() ? "" : ": " + message)) +
             "\"/>\n    </testcase>\n";
        break;
      default: x += "/>\n";
    }
  }
  x += "  </testsuite>\n</testsuites>\n";
  return x;
}

std::string FleetTable(const std::vector<FleetModule>& modules, bool planned) {
  std::string t;
  char line[512];
  snprintf(line, sizeof line, "%-8s  %-12s  %-18s  %-20s  %-8s  %s\n", "Serial", "Model",
           "Transport", "Current (build)", "Target", planned ? "Action" : "State");
  t += line;
  for (const FleetModule& m : modules) {
    std::string transport = m.transport;
    if (m.router) transport += " via " + sHex8(m.router);
    std::string current = m.versionBefore.empty() ? "-" : m.versionBefore;
    current += " (" + std::to_string(m.buildBefore) + ")";
    std::string target = m.buildTarget ? std::to_string(m.buildTarget) : "-";
    std::string what;
    if (planned) {
      what = m.action == FleetAction::NONE ? "up to date" : FleetActionText(m.action);
      if (m.state == FleetState::NOT_FOUND) what = "not found";
    } else {
      what = FleetStateText(m.state);
      if (m.hasBuildAfter && m.state != FleetState::UP_TO_DATE)
        what += " (now " + std::to_string(m.buildAfter) + ")";
    }
    std::string detail = m.error.set ? m.error.message : m.reason;
    if (!detail.empty() && (m.state != FleetState::UP_TO_DATE)) what += ": " + detail;
    snprintf(line, sizeof line, "%-8s  %-12s  %-18s  %-20s  %-8s  ", sHex8(m.serial).c_str(),
             FleetPlainText(m.model.empty() ? "-" : m.model).c_str(), transport.c_str(),
             FleetPlainText(current).c_str(), target.c_str());
    t += line + FleetPlainText(what) + "\n";
  }
  FleetSummary s = FleetSummarize(modules);
  if (planned)
    snprintf(line, sizeof line, "%d modules: %d to update, %d up to date, %d skipped, %d not found",
             s.total, s.planned, s.upToDate, s.skipped, s.notFound);
  else
    snprintf(line, sizeof line,
             "%d modules: %d succeeded, %d failed, %d up to date, %d skipped, %d canceled, "
             "%d not found",
             s.total, s.succeeded, s.failed, s.upToDate, s.skipped, s.canceled, s.notFound);
  t += line;
  return t + "\n";
}

bool FleetParseReport(const std::string& text, FleetReport* report, std::string* error) {
  error->clear();
  JsonValue root;
  std::string why;
  if (!JsonReader(text).Read(&root, &why)) return *error = "not JSON: " + why, false;
  if (root.kind != JsonValue::OBJECT) return *error = "not a report: not a JSON object", false;
  auto version = root.members.find("report_version");
  if (version == root.members.end()) return *error = "not a report: no report_version", false;
  if (version->second.kind != JsonValue::NUMBER || version->second.number != 1)
    return *error = "report_version is not 1 (this program reads version 1 only)", false;
  Fields f(root, "", error);
  const JsonValue* modules = f.Get("modules", JsonValue::ARRAY, false);
  if (!modules || !f.Text("tool", &report->tool) || !f.Text("host", &report->host) ||
      !f.Text("mode", &report->mode) || !f.Text("started", &report->started) ||
      !f.Text("finished", &report->finished))
    return false;
  report->modules.clear();
  for (size_t i = 0; i < modules->items.size(); ++i) {
    FleetModule m;
    if (!sParseModule(modules->items[i], i, &m, error)) return false;
    report->modules.push_back(m);
  }
  return true;
}

std::string FleetUtcNow() {
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

std::string FleetPlainText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t n = sUtf8Length(text, i);
    unsigned char c = (unsigned char)text[i];
    // C0 and C1 control characters and DEL: a terminal would act on them.
    bool control =
        c < 0x20 || c == 0x7F || (n == 2 && c == 0xC2 && (unsigned char)text[i + 1] < 0xA0);
    if (n == 0 || control) {
      out += '?';
      i += n ? n : 1;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}
