// plan: discover the modules (USB, TCP/IP, and behind each router, each
// scanned once), select them, and choose a target build per module. Also
// fetching the target builds into the store before apply touches a module.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <system_error>
#include <thread>

#include "BirdFile.h"
#include "FleetInternal.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "vDefs.h"
#include "vErr.h"

namespace {

bool sContains(const std::vector<uint32_t>& list, uint32_t serial) {
  return std::find(list.begin(), list.end(), serial) != list.end();
}

bool sSameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Whether the image at path can go to the module: a BIRD file that loads,
// with a firmware block, for the module's model, and (unless generic) for
// its serial number. Otherwise why not.
bool sImageFits(const std::string& path, const FleetModule& m, std::string* why) {
  if (!BirdFile::VerifyFile(path.c_str())) return *why = "it is not a BIRD file", false;
  try {
    BirdFile image(path.c_str());
    if (image.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
      return *why = "it holds no firmware block", false;
    if (!image.ValidateModel(m.model.c_str())) return *why = "it is for another model", false;
    if (!image.serialBlockPresent && !image.ValidateSerialNumber(m.serial))
      return *why = "it is for another module", false;
  } catch (const std::exception& e) {
    return *why = std::string("it can't be loaded (") + e.what() + ")", false;
  }
  return true;
}

std::string sStoredPath(Updater& updater, uint32_t serial, uint32_t build) {
  return updater.storeDirectory + "/" + FleetHex8(serial) + "/" + std::to_string(build) + ".bird";
}

// The highest build number stored for the module whose image fits it; 0 for none.
uint32_t sNewestStored(Updater& updater, const FleetModule& m) {
  uint32_t best = 0;
  std::string folder = updater.storeDirectory + "/" + FleetHex8(m.serial);
  DIR* dir = opendir(folder.c_str());
  if (!dir) return 0;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    uint32_t build = 0;
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".bird") != 0 ||
        !_parse_build(name.substr(0, name.size() - 5), build) || build <= best)
      continue;
    std::string why;
    if (sImageFits(folder + "/" + name, m, &why)) best = build;
  }
  closedir(dir);
  return best;
}

// Runs work(0) ... work(count - 1), on up to `threads` threads at once
// (this one included); returns when every call has returned.
void sEachAtOnce(size_t count, int threads, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  auto drain = [&] {
    for (size_t i = next++; i < count; i = next++) work(i);
  };
  std::vector<std::thread> helpers;
  for (size_t n = 1; n < std::min(count, size_t(std::max(threads, 1))); ++n) {
    try {
      helpers.emplace_back(drain);
    } catch (const std::system_error&) {
      break;  // fewer threads: the ones there are take the rest
    }
  }
  drain();
  for (std::thread& t : helpers) t.join();
}

}  // namespace

void FleetParentDisplay::error_message(const char* text) {
  fprintf(out_.human, "updater-fleet: %s\n", FleetPlainText(text).c_str());
}

std::string FleetHex8(uint32_t value) {
  char t[16];
  snprintf(t, sizeof t, "%08X", value);
  return t;
}

void FleetSetError(FleetModule& m, int code, const std::string& message) {
  m.error.set = true;
  m.error.code = code;
  m.error.name = vError_GetErrorText(uint32_t(code));
  m.error.message = message;
}

FleetModule FleetModuleFromDevice(const DeviceInfo& info) {
  FleetModule m;
  m.serial = info.spec.serialNumber;
  m.model = info.modelName.empty() ? vDefs_GetModelName(info.spec.model) : info.modelName;
  m.transport = info.spec.type == linkTypeTCPIP ? "TCPIP" : "USB";
  m.router = info.networkAddress ? info.spec.routerSerialNumber : 0;
  m.networkAddress = info.networkAddress;
  m.buildBefore = info.build;
  char version[48];
  snprintf(version, sizeof version, "%u.%u.%u", unsigned(info.versionMajor),
           unsigned(info.versionMinor), unsigned(info.versionPatch));
  m.versionBefore = version;
  m.spec = info.spec;
  if (info.error != 0) {
    m.action = FleetAction::SKIP;
    m.state = FleetState::SKIPPED;
    m.reason = "could not be read";
    FleetSetError(m, int(info.error),
                  std::string("could not be read: ") + vError_GetErrorDescription(info.error));
  }
  return m;
}

FleetModule FleetNotFound(uint32_t serial, const std::string& reason) {
  FleetModule m;
  m.serial = serial;
  m.action = FleetAction::SKIP;
  m.state = FleetState::NOT_FOUND;
  m.transport = "USB";
  FleetSetError(m, vErrNotFound, reason);
  return m;
}

void FleetChooseTarget(const FleetOptions& o, Updater& updater, FleetModule& m) {
  if (m.state == FleetState::NOT_FOUND || m.error.set) return;
  uint32_t target = o.build;
  if (target == 0 && o.offline) {
    target = sNewestStored(updater, m);
    if (target == 0) m.reason = "no valid build for it in the store";
  } else if (target == 0) {
    std::string buildText, versionText;
    if (!UpdateServerRequest::QueryBuild(m.serial, buildText, versionText,
                                         updater.serverUrl.c_str()) ||
        !_parse_build(buildText, target) || target == 0) {
      target = 0;
      std::string why = UpdateServerRequest::LastFailure();
      m.reason = "the update server named no build for it" + (why.empty() ? "" : " (" + why + ")");
    }
  }
  m.buildTarget = target;
  if (target == 0) {
    m.action = FleetAction::SKIP;
    m.state = FleetState::SKIPPED;
  } else if (target == m.buildBefore) {
    m.action = FleetAction::NONE;
    m.state = FleetState::UP_TO_DATE;
    m.reason = "already runs build " + std::to_string(target);
  } else {
    m.action = FleetAction::UPDATE;
    m.state = FleetState::PLANNED;
  }
}

bool FleetFetchBuilds(const FleetOptions& o, Updater& updater, std::vector<FleetModule*>& modules,
                      std::string* error) {
  // One fetch per build: a generic image fetched for one module is copied
  // into the entries of the others that need the same build.
  std::map<uint32_t, std::string> generic;  // build -> a stored generic image
  for (FleetModule* m : modules) {
    const std::string path = sStoredPath(updater, m->serial, m->buildTarget);
    const std::string name = FleetHex8(m->serial);
    std::string why;
    bool stored = BirdFile::VerifyFile(path.c_str());
    if (!stored && generic.count(m->buildTarget)) {
      std::string bytes;
      if (FILE* f = fopen(generic[m->buildTarget].c_str(), "rb")) {
        char chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
        fclose(f);
      }
      try {
        UpdaterStore store(updater.storeDirectory.c_str());
        UpdaterStoreItem item = store.AddDevice(m->serial);
        stored = item.WriteFile((std::to_string(m->buildTarget) + ".bird").c_str(),
                                reinterpret_cast<const uint8_t*>(bytes.data()),
                                bytes.size()) == vErrNone;
        if (!stored) why = "could not be written into the store";
      } catch (const std::exception& e) {
        why = std::string("could not be written into the store: ") + e.what();
      }
    }
    if (!stored && why.empty()) {
      if (o.offline) {
        why = "is not in the store (--offline)";
      } else if (updater.Download_Firmware(m->serial, std::to_string(m->buildTarget), false,
                                           false) != m->buildTarget ||
                 !BirdFile::VerifyFile(path.c_str())) {
        why = "could not be downloaded";
      } else {
        stored = true;
      }
    }
    if (stored && !sImageFits(path, *m, &why)) {
      stored = false;
      why = "can't be used: " + why;
    }
    if (!stored) {
      *error = "build " + std::to_string(m->buildTarget) + " for module " + name + " " + why;
      FleetSetError(*m, vErrNotFound, *error);
      return false;
    }
    try {
      BirdFile image(path.c_str());
      if (image.serialBlockPresent) generic.emplace(m->buildTarget, path);
    } catch (const std::exception&) {
    }
  }
  return true;
}

int FleetPlan(const FleetOptions& o, const std::string& store, FleetOutput& out,
              FleetReport* report) {
  FleetParentDisplay display(out);
  Updater updater(o.serverUrl.c_str(), store.c_str(), display);
  // Retrying: only what the earlier report lists as failed or canceled.
  std::vector<uint32_t> wanted = o.serials;
  std::map<uint32_t, int> attempts;
  if (!o.retryFailed.empty()) {
    FleetReport earlier;
    std::string text, why;
    if (FILE* f = fopen(o.retryFailed.c_str(), "rb")) {
      char chunk[65536];
      size_t n;
      while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
      fclose(f);
    } else {
      fprintf(out.human, "updater-fleet: can't read %s: %s\n", o.retryFailed.c_str(),
              strerror(errno));
      return 1;
    }
    if (!FleetParseReport(text, &earlier, &why)) {
      fprintf(out.human, "updater-fleet: %s: %s\n", o.retryFailed.c_str(),
              FleetPlainText(why).c_str());
      return 1;
    }
    std::vector<uint32_t> retry;
    for (const FleetModule& m : earlier.modules)
      if (m.state == FleetState::FAILED || m.state == FleetState::CANCELED) {
        if (wanted.empty() || sContains(wanted, m.serial)) retry.push_back(m.serial);
        attempts[m.serial] = m.attempts;
      }
    if (retry.empty()) {
      fprintf(out.human, "updater-fleet: %s lists no failed or canceled module\n",
              o.retryFailed.c_str());
    }
    wanted = retry;
    if (wanted.empty()) wanted.push_back(0);  // selects nothing
  }

  // Every module is listed first and only the selected ones are opened and
  // read.
  std::vector<DeviceInfo> found;
  if (o.usb) found = updater.Enumerate_Devices(linkTypeUSB);
  if (o.tcpip) {
    std::vector<DeviceInfo> tcp = updater.Enumerate_Devices(linkTypeTCPIP);
    found.insert(found.end(), tcp.begin(), tcp.end());
  }
  std::set<uint32_t> direct;
  for (const DeviceInfo& d : found) direct.insert(d.spec.serialNumber);
  std::vector<FleetModule> missing;
  std::set<uint32_t> scanned;
  for (uint32_t router : o.routers) {
    if (!scanned.insert(router).second) continue;  // each router is scanned once
    std::vector<DeviceInfo> behind = updater.Discover_VLNetwork_Devices(router, linkType(0));
    if (behind.empty() && !direct.count(router))
      missing.push_back(FleetNotFound(router, "router " + FleetHex8(router) + " was not found"));
    found.insert(found.end(), behind.begin(), behind.end());
  }

  std::set<uint32_t> seen;
  std::vector<DeviceInfo> selected;
  for (const DeviceInfo& d : found) {
    uint32_t serial = d.spec.serialNumber;
    if (!seen.insert(serial).second) continue;
    if (sContains(o.excluded, serial)) continue;
    if (!wanted.empty() && !sContains(wanted, serial)) continue;
    if (!o.model.empty() && !sSameText(o.model, vDefs_GetModelName(d.spec.model))) continue;
    selected.push_back(d);
  }
  // Each selected module is read (over a link of its own) and given its
  // target on a thread of its own, at most --jobs at once: connecting is
  // mostly waiting, so the plan costs about one module's read, not one per
  // module. The table keeps the order in which they were found.
  std::vector<FleetModule> planned(selected.size());
  sEachAtOnce(selected.size(), o.jobs > 0 ? o.jobs : kFleetMaxJobs, [&](size_t i) {
    DeviceInfo info = selected[i];
    if (info.networkAddress == 0) updater.Read_Device(info);  // behind a router: read by the scan
    FleetModule m = FleetModuleFromDevice(info);
    auto earlier = attempts.find(info.spec.serialNumber);
    m.attempts = earlier == attempts.end() ? 0 : earlier->second;
    FleetChooseTarget(o, updater, m);
    planned[i] = m;
  });
  report->modules.insert(report->modules.end(), planned.begin(), planned.end());
  for (uint32_t serial : wanted)
    if (serial != 0 && !seen.count(serial) && !sContains(o.excluded, serial))
      missing.push_back(FleetNotFound(serial, "module " + FleetHex8(serial) + " was not found"));
  report->modules.insert(report->modules.end(), missing.begin(), missing.end());
  return 0;
}
