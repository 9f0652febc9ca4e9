// Client of the update server: one HTTP GET per operation with a fixed
// operation code, answered by a short line-oriented text reply whose first
// line begins with "ok". Also orders build lists by version.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class HTTPResponse;

class UpdateServerRequest {
 public:
  typedef std::pair<std::string, std::string> BuildEntry;  // (build, version)

  // Every operation uses the default server URL when url is null,
  // returns false on any failure and never throws.
  static bool ping(const char* url);
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& version,
                         const char* url);
  static bool GetBuild(uint32_t serial, const char* version, const char* build,
                       std::string& birdText, const char* url, bool noCal);
  static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                           const char* url);
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial, uint32_t* build,
                              const char* url);

  // Why the calling thread's last operation failed, in one line: libcurl's
  // reason for a transport failure, the HTTP status of an error reply, or a
  // refusal; empty after a success.
  static std::string LastFailure();

  // The request every operation runs: HTTPRequest::GET unless replaced (a
  // fake server for tests and the fuzzer); null restores HTTPRequest::GET.
  typedef HTTPResponse (*Transport)(const char* url,
                                    const std::map<std::string, std::string>& parameters);
  static void SetTransport(Transport transport);

  // The entries as (build, version), newest version first; entries whose
  // versions don't parse keep their incoming order relative to their neighbours.
  static std::vector<BuildEntry> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three parts of MAJOR.MINOR.PATCH; empty unless there are exactly three.
  static std::vector<std::string> SplitVelmarineVersion(const std::string& version);
  // True when a's version is newer than b's (each part compared on its low 8 bits).
  static bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
};
