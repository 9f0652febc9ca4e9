// The update server's view of its directory tree: builds per serial number,
// the newest build by version, unlisted builds, the fingerprints file, and
// the answers to the query vocabulary ("hi", "qu", "builds", "bird", "fix").
#pragma once
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// One reply: HTTP status and body text.
struct ServerReply {
  int status = 200;
  std::string body;
};

// Faults the server can inject into its replies, for tests and demonstrations.
enum class ServerFault {
  None,
  Refuse,     // answer 200 with a first line that is not "ok"
  Error,      // answer 500
  Stall,      // accept the request and never answer
  BadBase64,  // "bird": drop the last character of the Base64 text
  Garbage,    // answer 200 "ok" followed by lines that mean nothing
};

// Parses "NAME" or "NAME:OP"; false for an unknown name.
bool ParseServerFault(const std::string& text, ServerFault& fault, std::string& op);

class ServedTree {
 public:
  // Reads the version text of a BIRD file; false when the file is not a
  // loadable BIRD file.
  typedef std::function<bool(const std::string& path, std::string& version)> VersionReader;
  typedef std::function<void(const std::string& line)> Logger;
  typedef std::multimap<std::string, std::string> Query;

  struct Build {
    uint32_t number = 0;
    std::string version;
    std::string path;
  };

  ServedTree(std::string root, VersionReader reader, Logger logger);

  // Listed builds of a serial (upper-case "%08X" text), ascending build number;
  // files that don't load, and links that lead out of the root, are left out
  // and logged. A build's path is the file's real path.
  std::vector<Build> ListBuilds(const std::string& serial);
  // The listed build with the highest version (ties: the higher build number).
  bool NewestBuild(const std::string& serial, Build& build);
  // A listed or unlisted build of a serial, by number.
  bool FindBuild(const std::string& serial, uint32_t number, Build& build);
  // Serial and build for a fingerprint of four words (as upper-case hex
  // texts); the build is the newest one when the fingerprints file names none.
  bool LookupFingerprint(const std::string words[4], std::string& serial, uint32_t& build,
                         std::string& reason);

  // Answers one query. Faults apply to every operation or to the one named.
  ServerReply Handle(const Query& query);
  void AddFault(ServerFault fault, const std::string& op) { faults_.emplace_back(fault, op); }
  // The fault that applies to an operation, or None.
  ServerFault FaultFor(const std::string& op) const;

 private:
  // Resolves the symbolic links of a path below the root; false (and logged)
  // when it resolves outside the root, false when it doesn't exist.
  bool Inside(const std::string& path, std::string& resolved);
  bool Version(const std::string& path, std::string& version);
  // The listed builds in a module's directory, read afresh.
  std::vector<Build> ReadListing(const std::string& path);

  std::string root_;
  VersionReader reader_;
  Logger logger_;
  std::vector<std::pair<ServerFault, std::string>> faults_;

  // Versions read so far, by path; an entry is reused while the file's size
  // and modification time are unchanged.
  struct CachedVersion {
    int64_t mtime = 0;
    int64_t size = 0;
    bool ok = false;
    std::string version;
  };
  // The last listing of each module's directory, by serial text, with the
  // directory's status when it was read.
  struct CachedListing {
    struct stat directory;
    std::chrono::steady_clock::time_point read;
    std::vector<Build> builds;
  };
  std::mutex cacheMutex_;
  std::map<std::string, CachedVersion> cache_;
  std::map<std::string, CachedListing> listings_;
};

// Base64 with the standard alphabet and "=" fill, no line breaks.
std::string EncodeBase64(const std::string& bytes);
// A serial number text of 1 to 8 hexadecimal digits as "%08X"; false otherwise.
bool NormalizeSerial(const std::string& text, std::string& serial);
// A build number text of decimal digits that fits 32 bits; false otherwise.
bool ParseBuildNumber(const std::string& text, uint32_t& number);
// MAJOR.MINOR.PATCH as three numbers; false when the text isn't of that form.
bool ParseVersion(const std::string& text, uint32_t parts[3]);
