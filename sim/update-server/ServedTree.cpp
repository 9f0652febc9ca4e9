// Answers of the self-hosted update server, read from a directory tree:
//   ROOT/SERIAL/BUILD.bird           builds that are listed and served
//   ROOT/SERIAL/unlisted/BUILD.bird  builds served on request but never listed
//   ROOT/fingerprints                fingerprint -> serial number and build
#include "ServedTree.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void sAppendBase64(const std::string& bytes, std::string& out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t g = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    out += kAlphabet[g >> 18];
    out += kAlphabet[(g >> 12) & 63];
    out += kAlphabet[(g >> 6) & 63];
    out += kAlphabet[g & 63];
  }
  if (n - i == 1) {
    uint32_t g = uint32_t(in[i]) << 16;
    out += kAlphabet[g >> 18];
    out += kAlphabet[(g >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    uint32_t g = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8;
    out += kAlphabet[g >> 18];
    out += kAlphabet[(g >> 12) & 63];
    out += kAlphabet[(g >> 6) & 63];
    out += '=';
  }
}

bool sReadFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  in.seekg(0);
  bytes.resize(size_t(size));
  in.read(&bytes[0], size);
  return in.gcount() == size;
}

bool sIsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The path with every symbolic link resolved; empty when it doesn't exist.
std::string sResolve(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The build number of a file named BUILD.bird; false for any other name.
bool sBuildFromName(const std::string& name, uint32_t& number) {
  static const std::string kSuffix = ".bird";
  if (name.size() <= kSuffix.size() ||
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return false;
  return ParseBuildNumber(name.substr(0, name.size() - kSuffix.size()), number);
}

// Whether version a is newer than b; versions that don't parse are the oldest.
bool sNewer(const std::string& a, const std::string& b) {
  uint32_t pa[3], pb[3];
  bool oka = ParseVersion(a, pa), okb = ParseVersion(b, pb);
  if (oka != okb) return oka;
  if (!oka) return false;
  for (int i = 0; i < 3; ++i) {
    if (pa[i] != pb[i]) return pa[i] > pb[i];
  }
  return false;
}

std::string sFirst(const ServedTree::Query& query, const char* key, bool* present = nullptr) {
  auto it = query.find(key);
  if (present) *present = it != query.end();
  return it == query.end() ? std::string() : it->second;
}

ServerReply sReply(int status, std::string body) {
  ServerReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

ServerReply sRefusal(int status, const std::string& reason) {
  return sReply(status, "error: " + reason + "\n");
}

}  // namespace

std::string EncodeBase64(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  sAppendBase64(bytes, out);
  return out;
}

bool NormalizeSerial(const std::string& text, std::string& serial) {
  if (text.empty() || text.size() > 8) return false;
  for (char c : text) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  char buffer[16];
  snprintf(buffer, sizeof buffer, "%08lX", strtoul(text.c_str(), nullptr, 16));
  serial = buffer;
  return true;
}

bool ParseBuildNumber(const std::string& text, uint32_t& number) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > UINT32_MAX) return false;
  number = uint32_t(value);
  return true;
}

bool ParseVersion(const std::string& text, uint32_t parts[3]) {
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    size_t start = pos;
    uint64_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 10) {
      value = value * 10 + uint64_t(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > UINT32_MAX) return false;
    parts[i] = uint32_t(value);
    if (i < 2) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

bool ParseServerFault(const std::string& text, ServerFault& fault, std::string& op) {
  static const std::map<std::string, ServerFault> kNames = {{"refuse", ServerFault::Refuse},
                                                            {"error", ServerFault::Error},
                                                            {"stall", ServerFault::Stall},
                                                            {"bad-base64", ServerFault::BadBase64},
                                                            {"garbage", ServerFault::Garbage}};
  size_t colon = text.find(':');
  auto it = kNames.find(text.substr(0, colon));
  if (it == kNames.end()) return false;
  fault = it->second;
  op = colon == std::string::npos ? "" : text.substr(colon + 1);
  return true;
}

ServedTree::ServedTree(std::string root, VersionReader reader, Logger logger)
    : root_(std::move(root)), reader_(std::move(reader)), logger_(std::move(logger)) {
  std::string resolved = sResolve(root_);
  if (!resolved.empty()) root_ = resolved;
}

bool ServedTree::Inside(const std::string& path, std::string& resolved) {
  resolved = sResolve(path);
  if (resolved.empty()) return false;
  if (root_ == "/" || resolved == root_ || resolved.compare(0, root_.size() + 1, root_ + "/") == 0)
    return true;
  // A link out of the tree would serve any file the server can read.
  if (logger_) logger_("refused: " + path + " resolves to " + resolved + ", outside " + root_);
  resolved.clear();
  return false;
}

bool ServedTree::Version(const std::string& path, std::string& version) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = cache_.find(path);
    if (it != cache_.end() && it->second.mtime == int64_t(st.st_mtime) &&
        it->second.size == int64_t(st.st_size)) {
      version = it->second.version;
      return it->second.ok;
    }
  }
  // Read outside the lock: loading a large file takes a while.
  CachedVersion entry;
  entry.mtime = int64_t(st.st_mtime);
  entry.size = int64_t(st.st_size);
  entry.ok = reader_(path, entry.version);
  if (!entry.ok && logger_) logger_("not a loadable BIRD file, left out of the lists: " + path);
  version = entry.version;
  std::lock_guard<std::mutex> lock(cacheMutex_);
  cache_[path] = entry;
  return entry.ok;
}

std::vector<ServedTree::Build> ServedTree::ListBuilds(const std::string& serial) {
  // A listing is reused while the module's directory is the same one with the
  // same modification and change times (a build added, removed or renamed
  // changes them) and for at most a second, after which a build rewritten in
  // place is seen too. Reading the directory and every file's status on each
  // request would cost most of a build list's time.
  std::string path = root_ + "/" + serial;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  auto sameDirectory = [&st](const struct stat& seen) {
    return seen.st_dev == st.st_dev && seen.st_ino == st.st_ino &&
           seen.st_mtim.tv_sec == st.st_mtim.tv_sec && seen.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
           seen.st_ctim.tv_sec == st.st_ctim.tv_sec && seen.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
  };
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = listings_.find(serial);
    if (it != listings_.end() && sameDirectory(it->second.directory) &&
        now - it->second.read < std::chrono::seconds(1))
      return it->second.builds;
  }
  CachedListing listing;
  listing.directory = st;
  listing.read = now;
  listing.builds = ReadListing(path);
  std::lock_guard<std::mutex> lock(cacheMutex_);
  listings_[serial] = listing;
  return listing.builds;
}

std::vector<ServedTree::Build> ServedTree::ReadListing(const std::string& path) {
  // The module's directory is resolved once: a regular file in it is inside
  // the root too, so only the links among its entries are resolved one by one.
  std::string directory;
  if (!Inside(path, directory)) return {};
  DIR* dir = opendir(directory.c_str());
  if (!dir) return {};
  std::vector<std::pair<std::string, unsigned char>> entries;
  while (struct dirent* entry = readdir(dir)) entries.emplace_back(entry->d_name, entry->d_type);
  closedir(dir);
  std::map<uint32_t, Build> builds;
  for (const auto& entry : entries) {
    Build build;
    if (!sBuildFromName(entry.first, build.number)) continue;
    std::string file = directory + "/" + entry.first;
    if (entry.second == DT_REG) {
      build.path = file;
    } else if (!Inside(file, build.path) || !sIsFile(build.path)) {
      continue;
    }
    if (!Version(build.path, build.version)) continue;
    builds[build.number] = build;
  }
  std::vector<Build> list;
  for (auto& b : builds) list.push_back(std::move(b.second));
  return list;
}

bool ServedTree::NewestBuild(const std::string& serial, Build& build) {
  std::vector<Build> list = ListBuilds(serial);
  if (list.empty()) return false;
  // The list ascends by build number, so among equal versions the last wins.
  const Build* newest = &list[0];
  for (const Build& b : list) {
    if (!sNewer(newest->version, b.version)) newest = &b;
  }
  build = *newest;
  return true;
}

bool ServedTree::FindBuild(const std::string& serial, uint32_t number, Build& build) {
  std::string name = std::to_string(number) + ".bird";
  for (const std::string& directory : {root_ + "/" + serial, root_ + "/" + serial + "/unlisted"}) {
    std::string path;
    if (Inside(directory + "/" + name, path) && sIsFile(path)) {
      build.number = number;
      build.path = path;
      Version(path, build.version);
      return true;
    }
  }
  return false;
}

bool ServedTree::LookupFingerprint(const std::string words[4], std::string& serial, uint32_t& build,
                                   std::string& reason) {
  std::string path;
  std::ifstream in;
  if (Inside(root_ + "/fingerprints", path)) in.open(path);
  if (!in) {
    reason = "no fingerprints file";
    return false;
  }
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string field;
    while (fields >> field) f.push_back(field);
    if (f.empty()) continue;
    std::string w[4], s;
    uint32_t b = 0;
    bool valid = (f.size() == 5 || f.size() == 6) && NormalizeSerial(f[4], s) &&
                 (f.size() == 5 || ParseBuildNumber(f[5], b));
    for (int i = 0; valid && i < 4; ++i) valid = f[i].size() == 8 && NormalizeSerial(f[i], w[i]);
    if (!valid) {
      if (logger_) logger_("fingerprints line " + std::to_string(lineNumber) + " ignored: " + line);
      continue;
    }
    if (w[0] != words[0] || w[1] != words[1] || w[2] != words[2] || w[3] != words[3]) continue;
    serial = s;
    if (b == 0) {
      Build newest;
      if (!NewestBuild(s, newest)) {
        reason = "no builds for " + s;
        return false;
      }
      b = newest.number;
    }
    build = b;
    return true;
  }
  reason = "unknown fingerprint";
  return false;
}

ServerFault ServedTree::FaultFor(const std::string& op) const {
  for (const auto& f : faults_) {
    if (!f.second.empty() && f.second != op) continue;
    if (f.first == ServerFault::BadBase64 && op != "bird") continue;
    return f.first;
  }
  return ServerFault::None;
}

ServerReply ServedTree::Handle(const Query& query) {
  bool hasOp = false;
  std::string op = sFirst(query, "op", &hasOp);
  if (!hasOp) return sRefusal(400, "missing op");
  static const char* const kOps[] = {"hi", "qu", "builds", "bird", "fix"};
  bool known = false;
  for (const char* k : kOps) known = known || op == k;
  if (!known) return sRefusal(400, "unknown op");

  ServerFault fault = FaultFor(op);
  switch (fault) {
    case ServerFault::Refuse: return sReply(200, "no\n");
    case ServerFault::Error: return sRefusal(500, "injected server error");
    case ServerFault::Garbage: return sReply(200, "ok\n\x01\x02\x03;\xff\n;;;\n\r\n");
    default: break;
  }

  if (op == "hi") return sReply(200, "ok\n");

  if (op == "fix") {
    std::string fp = sFirst(query, "fp");
    std::istringstream in(fp);
    std::string words[4], extra;
    bool valid = true;
    for (int i = 0; i < 4 && valid; ++i) {
      std::string w;
      valid = bool(in >> w) && w.size() == 8 && NormalizeSerial(w, words[i]);
    }
    if (!valid || (in >> extra)) return sRefusal(400, "fp must be four words of 8 hex digits");
    std::string serial, reason;
    uint32_t build = 0;
    if (!LookupFingerprint(words, serial, build, reason)) return sRefusal(404, reason);
    return sReply(200, "ok\n" + serial + "\n" + std::to_string(build) + "\n");
  }

  std::string serial;
  if (!NormalizeSerial(sFirst(query, "sn"), serial))
    return sRefusal(400, "sn must be 1 to 8 hex digits");

  if (op == "qu") {
    Build newest;
    if (!NewestBuild(serial, newest)) return sRefusal(404, "no builds for " + serial);
    return sReply(200, "ok\n" + std::to_string(newest.number) + "\n" + newest.version + "\n");
  }

  if (op == "builds") {
    std::string body = "ok\n";
    for (const Build& b : ListBuilds(serial))
      body += std::to_string(b.number) + ";" + b.version + "\n";
    return sReply(200, body);
  }

  // "bird": the build named by bld, or the newest when bld is empty or 0; the
  // version text (fw) is the module's current one and doesn't choose a build.
  std::string noCal = sFirst(query, "no_cal");
  if (!noCal.empty() && noCal != "true" && noCal != "false")
    return sRefusal(400, "no_cal must be true or false");
  std::string bld = sFirst(query, "bld");
  uint32_t number = 0;
  if (!bld.empty() && !ParseBuildNumber(bld, number))
    return sRefusal(400, "bld must be a decimal build number");
  Build build;
  if (number == 0) {
    if (!NewestBuild(serial, build)) return sRefusal(404, "no builds for " + serial);
  } else if (!FindBuild(serial, number, build)) {
    return sRefusal(404, "no build " + std::to_string(number) + " for " + serial);
  }
  std::string bytes;
  if (!sReadFile(build.path, bytes)) return sRefusal(500, "cannot read " + build.path);
  ServerReply reply;
  reply.body.reserve(3 + (bytes.size() + 2) / 3 * 4 + 1);
  reply.body = "ok\n";
  sAppendBase64(bytes, reply.body);
  if (fault == ServerFault::BadBase64 && reply.body.size() > 3) reply.body.pop_back();
  reply.body += "\n";
  return reply;
}
