// Arbitrary reply bodies into every update server operation, through a fake
// transport that answers status 200 with the input. The first byte picks the
// status instead when its top bit is set. Outputs must stay consistent with
// what the reply held, and sorting any build list must stay in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "HTTPRequest.h"
#include "UpdateServerRequest.h"

namespace {

const uint8_t* gData;
size_t gSize;

HTTPResponse sFakeGet(const char* url, const std::map<std::string, std::string>& parameters) {
  HTTPResponse response(HTTPRequest::BuildURL(url, parameters).c_str());
  size_t skip = 0;
  int64_t status = 200;
  if (gSize > 0 && (gData[0] & 0x80)) {
    status = gData[0] == 0x80 ? 200 : int64_t(gData[0]) + 100;
    skip = 1;
  }
  response.set_status(status);
  response.process(reinterpret_cast<const char*>(gData) + skip, gSize - skip);
  return response;
}

void sCheck(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gData = data;
  gSize = size;
  UpdateServerRequest::SetTransport(sFakeGet);
  const std::string body(reinterpret_cast<const char*>(data), size);
  const char* url = "http://127.0.0.1:1/cgi/u";

  UpdateServerRequest::ping(url);

  std::string build = "unset", version = "unset";
  if (UpdateServerRequest::QueryBuild(0x1A2B, build, version, url)) {
    // Line texts never carry their line end.
    sCheck(build.find('\n') == std::string::npos && build.find('\r') == std::string::npos);
    sCheck(version.find('\n') == std::string::npos && version.find('\r') == std::string::npos);
  }

  std::string bird = "unset";
  if (UpdateServerRequest::GetBuild(0x1A2B, "1.0.0", "1", bird, url, false)) {
    sCheck(bird.size() <= size);
    sCheck(bird.find('\n') == std::string::npos);
  }

  std::map<std::string, std::string> builds = {{"stale", "entry"}};
  bool listed = UpdateServerRequest::GetBuildList(0x1A2B, builds, url);
  sCheck(listed || builds.empty() || builds.count("stale") == 0);
  for (const auto& b : builds) {
    sCheck(!b.first.empty());
    sCheck(b.first.find_first_of(";\r\n") == std::string::npos);
    sCheck(b.second.find_first_of(";\r\n") == std::string::npos);
  }
  auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  sCheck(sorted.size() == builds.size());
  for (const auto& entry : sorted) sCheck(builds.count(entry.first) == 1);

  const uint32_t fingerprint[4] = {1, 2, 3, 4};
  uint32_t serial = 0, recoveryBuild = 0;
  UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &recoveryBuild, url);

  UpdateServerRequest::SetTransport(nullptr);
  return 0;
}
