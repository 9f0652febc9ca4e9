// Update server operations ("hi", "qu", "bird", "builds", "fix") and the
// version ordering of build lists.
#include "UpdateServerRequest.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdaterDefaults.h"

namespace {

typedef std::map<std::string, std::string> Parameters;

// A non-empty line of a reply, as a range of the body.
struct Line {
  size_t start;
  size_t length;
};

// The non-empty lines of body, split at line feeds.
std::vector<Line> sSplitLines(const std::string& body) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find('\n', pos);
    if (end == std::string::npos) end = body.size();
    if (end > pos) lines.push_back({pos, end - pos});
    pos = end + 1;
  }
  return lines;
}

std::string sText(const std::string& body, const Line& line) {
  return body.substr(line.start, line.length);
}

// The text of a line up to its first carriage return.
std::string sTextToCR(const std::string& body, const Line& line) {
  std::string text = sText(body, line);
  size_t cr = text.find('\r');
  if (cr != std::string::npos) text.resize(cr);
  return text;
}

std::string sSerialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

thread_local std::string tLastFailure;
std::atomic<UpdateServerRequest::Transport> gTransport{nullptr};

const char* sURL(const char* url) { return url ? url : UPDATER_DEFAULT_SERVER_URL; }

// Runs one request and checks status and the "ok" line. On success body holds
// the reply and lines its non-empty lines (the first being the "ok" line).
bool sRequest(const char* operation, const char* url, const Parameters& parameters,
              std::string& body, std::vector<Line>& lines) {
  tLastFailure.clear();
  try {
    UpdateServerRequest::Transport transport = gTransport.load();
    HTTPResponse response =
        transport ? transport(sURL(url), parameters) : HTTPRequest::GET(sURL(url), parameters);
    if (response.get_status() != 200) {
      if (std::string(operation) == "ping")
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", int(response.get_status()),
                 response.get_response());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", operation, int(response.get_status()),
                 response.get_response());
      tLastFailure =
          "the server answered with HTTP status " + std::to_string(response.get_status());
      return false;
    }
    std::string request = response.get_request();
    body = response.take_response();
    lines = sSplitLines(body);
    if (lines.empty() || lines[0].length < 2 || body.compare(lines[0].start, 2, "ok") != 0) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation, request.c_str());
      tLastFailure = "the server refused the request (its reply does not begin with \"ok\")";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
    tLastFailure = e.what();
    return false;
  }
}

}  // namespace

void UpdateServerRequest::SetTransport(Transport transport) { gTransport = transport; }

std::string UpdateServerRequest::LastFailure() { return tLastFailure; }

bool UpdateServerRequest::ping(const char* url) {
  std::string body;
  std::vector<Line> lines;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, body, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& version,
                                     const char* url) {
  std::string body;
  std::vector<Line> lines;
  if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", sSerialText(serial)}}, body, lines))
    return false;
  // A server that ends its lines with CR LF still gives a usable build number.
  if (lines.size() > 1) build = sTextToCR(body, lines[1]);
  if (lines.size() > 2) version = sTextToCR(body, lines[2]);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* version, const char* build,
                                   std::string& birdText, const char* url, bool noCal) {
  std::string body;
  std::vector<Line> lines;
  Parameters parameters = {{"op", "bird"},
                           {"sn", sSerialText(serial)},
                           {"fw", version ? version : ""},
                           {"bld", build ? build : ""},
                           {"no_cal", noCal ? "true" : "false"}};
  if (!sRequest("GetBuild", url, parameters, body, lines)) return false;
  birdText.clear();
  if (lines.size() > 1) {
    // The image is most of the reply: cut line 2 out of the body in place
    // rather than copying it, so a large build is held in memory only once.
    // A server that ends its lines with CR LF must not leave the CR behind:
    // it would make the Base64 text undecodable and the download lost.
    Line line = lines[1];
    if (line.length > 0 && body[line.start + line.length - 1] == '\r') --line.length;
    body.resize(line.start + line.length);
    body.erase(0, line.start);
    birdText.swap(body);
  }
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  std::string body;
  std::vector<Line> lines;
  if (!sRequest("GetBuildList", url, {{"op", "builds"}, {"sn", sSerialText(serial)}}, body, lines))
    return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].length < 3) continue;
    std::string line = sText(body, lines[i]);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    // Pieces between ";", CR and LF: the build number, then the version.
    std::vector<std::string> pieces(1);
    for (char c : line) {
      if (c == ';' || c == '\r' || c == '\n')
        pieces.emplace_back();
      else
        pieces.back() += c;
    }
    const std::string& number = pieces[0];
    std::string version = pieces.size() > 1 ? pieces[1] : "";
    if (number.empty()) continue;
    builds.emplace(number, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", number.c_str(),
             version.c_str());
  }
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial,
                                          uint32_t* build, const char* url) {
  char fp[64];
  snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
           fingerprint[2], fingerprint[3]);
  std::string body;
  std::vector<Line> lines;
  if (!sRequest("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, body,
                lines))
    return false;
  std::string text[3];
  for (size_t i = 0; i < 3 && i < lines.size(); ++i) text[i] = sText(body, lines[i]);
  if (lines.size() > 1 && serial) *serial = uint32_t(strtoul(text[1].c_str(), nullptr, 16));
  if (lines.size() > 2 && build) *build = uint32_t(strtoul(text[2].c_str(), nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", text[0].c_str(),
           text[1].c_str(), text[2].c_str());
  return true;
}

std::vector<std::string> UpdateServerRequest::SplitVelmarineVersion(const std::string& version) {
  std::vector<std::string> parts(1);
  for (char c : version) {
    if (c == '.')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

bool UpdateServerRequest::_sortVersion(const BuildEntry& a, const BuildEntry& b) {
  std::vector<std::string> pa = SplitVelmarineVersion(a.second);
  std::vector<std::string> pb = SplitVelmarineVersion(b.second);
  if (pa.empty() && pb.empty()) return false;
  int va[3], vb[3];
  try {
    // a's three parts first, then b's: the first failure is the one logged.
    for (int i = 0; i < 3; ++i) va[i] = std::stoi(pa.at(i)) & 0xFF;
    for (int i = 0; i < 3; ++i) vb[i] = std::stoi(pb.at(i)) & 0xFF;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (va[i] != vb[i]) return va[i] > vb[i];
  }
  return false;
}

namespace {

// The three version numbers on their low 8 bits, as _sortVersion reads them;
// false when the text does not give three numbers.
bool sParseVersion(const std::string& version, int out[3]) {
  std::vector<std::string> parts = UpdateServerRequest::SplitVelmarineVersion(version);
  if (parts.size() != 3) return false;
  try {
    for (int i = 0; i < 3; ++i) out[i] = std::stoi(parts[i]) & 0xFF;
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  struct Keyed {
    BuildEntry entry;
    bool parsed;
    int version[3];
  };
  std::vector<Keyed> keyed;
  keyed.reserve(builds.size());
  for (const auto& b : builds) {
    Keyed k{b, false, {0, 0, 0}};
    k.parsed = sParseVersion(b.second, k.version);
    keyed.push_back(std::move(k));
  }
  auto newer = [](const Keyed& a, const Keyed& b) {
    if (!a.parsed || !b.parsed) return _sortVersion(a.entry, b.entry);
    for (int i = 0; i < 3; ++i) {
      if (a.version[i] != b.version[i]) return a.version[i] > b.version[i];
    }
    return false;
  };
  // A plain stable insertion sort: the ordering is no strict weak ordering
  // when some versions don't parse (they compare equal to everything), and
  // this stays within bounds and keeps the incoming order of such entries.
  for (size_t i = 1; i < keyed.size(); ++i) {
    size_t j = i;
    while (j > 0 && newer(keyed[i], keyed[j - 1])) --j;
    if (j != i) {
      Keyed moving = std::move(keyed[i]);
      keyed.erase(keyed.begin() + long(i));
      keyed.insert(keyed.begin() + long(j), std::move(moving));
    }
  }
  std::vector<BuildEntry> entries;
  entries.reserve(keyed.size());
  for (auto& k : keyed) entries.push_back(std::move(k.entry));
  return entries;
}
