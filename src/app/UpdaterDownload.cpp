// Build lists and downloads (-B, -L, -G): asks the update server which builds
// exist, downloads one build's BIRD file into the device's store entry on a
// second thread while the spinner turns, and lists the builds already stored.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "Base64.h"
#include "BirdFile.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "UpdaterStoreAccess.h"

namespace {

// What the download thread gets: copies of everything but the URL and the result.
struct DownloadJob {
  const std::string& serverUrl;
  std::promise<bool> result;
  uint32_t serial;
  std::string versionText;
  std::string buildText;
  std::string* birdText;
  bool noCal;
  std::string failure;  // why the request failed, read after the join
};

void sDownload(DownloadJob* job) {
  bool ok = false;
  try {
    ok =
        UpdateServerRequest::GetBuild(job->serial, job->versionText.c_str(), job->buildText.c_str(),
                                      *job->birdText, job->serverUrl.c_str(), job->noCal);
    if (!ok) job->failure = UpdateServerRequest::LastFailure();
  } catch (const std::exception&) {
    // Out of memory for the reply: the download failed, the process goes on.
    job->birdText->clear();
  }
  job->result.set_value(ok);
}

// "Server request failed for URL", then the reason on a line of its own, so
// the user can tell a wrong address from a refused connection or a bad certificate.
void sServerRequestFailed(UpdaterDisplayInterface& display, const char* url) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
  std::string reason = UpdateServerRequest::LastFailure();
  if (!reason.empty()) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", reason.c_str());
}

const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
const auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

// The steps of a download, in order. Each says what went wrong itself and
// returns false when the download ends there.

// The request is well formed (the build, when given, is a number; the serial
// number is not 0) and the server answers. *number is the build asked for, 0
// for the latest.
bool sCheckRequest(UpdaterDisplayInterface& display, uint32_t serial, const std::string& build,
                   const char* url, uint32_t* number) {
  if (!build.empty() && !_parse_build(build, *number)) {
    display.message(ERROR, "Build number '%s' must be an number", build.c_str());
    return false;
  }
  if (serial == 0) {
    display.message(ERROR, "Serial Number must be non-zero");
    return false;
  }
  if (!UpdateServerRequest::ping(url)) {
    sServerRequestFailed(display, url);
    return false;
  }
  return true;
}

// The device's directory in the store, created when the device is new.
bool sEnsureEntry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                  uint32_t serial, UpdaterStoreItem* device) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Download_Firmware");
  if (!store) return false;
  // A stray file whose name holds the serial number is no device entry.
  if (store->FindDevice(serial, device) && device->kind == STORE_ITEM_DIRECTORY) return true;
  Log::log(DEBUG_APP, "Could not find device in our update history.\n");
  try {
    *device = store->AddDevice(serial);
  } catch (const std::exception&) {
    display.message(ERROR, "Could not create directory for storing BIRD file");
    return false;
  }
  return true;
}

// The build to fetch: the one asked for, else the device's latest. Unless
// override is set, the server must list it. *version is the version text the
// server gives for the device, which the fetch sends along.
bool sChooseBuild(UpdaterDisplayInterface& display, uint32_t serial, const char* url, bool override,
                  uint32_t* number, std::string* version) {
  std::string currentBuild;
  if (!UpdateServerRequest::QueryBuild(serial, currentBuild, *version, url)) {
    display.message(ERROR, "No build information for device");
    return false;
  }
  if (*number == 0 && !_parse_build(currentBuild, *number)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", currentBuild.c_str());
    *number = 0;
  }

  display.message(INFO, "Retrieving build %u", *number);
  if (override) {
    display.message(INFO, "Override specified, skipping validation of build %u", *number);
    return true;
  }
  display.message(INFO, "Validating build %u with server", *number);
  if (!_valid_build(serial, *number, url)) {
    display.message(ERROR, "No valid build %u", *number);
    return false;
  }
  display.message(INFO, "Build %u is valid", *number);
  return true;
}

// The build's Base64 text into *birdText. The request runs on its own thread;
// this one turns the spinner until the result is there, and reads birdText
// only after the join. A failed request is said, and ends the download when
// it left no text.
bool sFetchWithSpinner(UpdaterDisplayInterface& display, const std::string& serverUrl,
                       uint32_t serial, const std::string& version, const std::string& buildText,
                       bool noCal, std::string* birdText) {
  DownloadJob job{serverUrl, std::promise<bool>(), serial, version, buildText, birdText, noCal};
  std::future<bool> result = job.result.get_future();
  std::thread downloader;
  try {
    downloader = std::thread(sDownload, &job);
  } catch (const std::system_error& e) {
    display.message(ERROR, "Download failed");
    Log::log(DEBUG_Updater, "Could not start the download thread: %s\n", e.what());
    return false;
  }
  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  bool downloaded = result.get();
  downloader.join();
  if (!downloaded) {
    display.message(ERROR, "Download failed");
    if (!job.failure.empty()) display.message(ERROR, "%s", job.failure.c_str());
  }

  if (birdText->empty()) {
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    return false;
  }
  return true;
}

// Decodes the text and stores it as <build>.bird in the device's entry, which
// then names it as the latest download. The text is freed before the write.
// Nothing is stored unless the bytes are a readable BIRD file.
bool sDecodeAndStore(UpdaterDisplayInterface& display, UpdaterStoreItem& device, uint32_t number,
                     const std::string& buildText, std::string* birdText) {
  size_t length = 0;
  char* bytes = base64_decode(birdText->data(), birdText->size(), &length);
  std::string().swap(*birdText);  // the text is no longer needed: free it before writing
  if (!bytes) {
    display.message(ERROR, "Build %u arrived damaged (not Base64 text); nothing was stored",
                    number);
    return false;
  }
  // A reply that decodes but is no readable BIRD file (a proxy's error page,
  // a server that serves the wrong thing) must not become a stored build
  // that -U would later pick.
  bool isBird = false;
  {
    BirdFile image;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(bytes);
    isBird = BirdFile::VerifyBytes(raw, length) && image.LoadBytes(raw, length);
  }
  if (!isBird) {
    free(bytes);
    display.message(ERROR, "Build %u arrived damaged (not a BIRD file); nothing was stored",
                    number);
    return false;
  }
  std::string fileName = buildText + ".bird";
  vErr written =
      device.WriteFile(fileName.c_str(), reinterpret_cast<const uint8_t*>(bytes), length);
  free(bytes);
  if (written != vErrNone) {
    // The entry keeps naming the last build that really is in the store, and
    // the command fails: a build that is not stored was not downloaded.
    display.message(ERROR, "Failed to write file with %d", int(written));
    return false;
  }
  device.info.Add("LATEST_DOWNLOAD", fileName.c_str());
  device.info.Add("LAST_DOWNLOAD_DATE", _local_time_text().c_str());
  device.info.Save(nullptr);
  return true;
}

}  // namespace

bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl)) return false;
  bool found = false;
  for (const auto& entry : builds) {
    uint32_t number = 0;
    if (!_parse_build(entry.first, number)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      number = 0;
    }
    if (number == build) found = true;
  }
  return found;
}

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal) {
  const char* url = serverUrl.c_str();
  uint32_t number = 0;
  if (!sCheckRequest(display, serial, build, url, &number)) return 0;
  UpdaterStoreItem device;
  if (!sEnsureEntry(display, storeDirectory, serial, &device)) return 0;
  std::string version;
  if (!sChooseBuild(display, serial, url, override, &number, &version)) return 0;
  const std::string buildText = std::to_string(number);
  std::string birdText;
  if (!sFetchWithSpinner(display, serverUrl, serial, version, buildText, noCal, &birdText))
    return 0;
  if (!sDecodeAndStore(display, device, number, buildText, &birdText)) return 0;
  return number;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override) {
  uint32_t number = 0;
  if (!build.empty() && !_parse_build(build, number)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
    number = 0;
  }
  uint32_t serial = 0, recoveryBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &recoveryBuild,
                                            serverUrl.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Failed to retrieve recovery information from Corvane update server");
    return 0;
  }
  if (number == 0) number = recoveryBuild;
  return Download_Firmware(serial, std::to_string(number), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serial) {
  std::map<std::string, std::string> builds;
  const char* url = serverUrl.c_str();
  if (!UpdateServerRequest::ping(url)) {
    sServerRequestFailed(display, url);
  } else if (!UpdateServerRequest::GetBuildList(serial, builds, url)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X",
                    serial);
  }
  return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serial) {
  std::map<std::string, std::string> builds;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      std::string path = item.basePath + "/" + item.name;
      bool loaded = false;
      if (BirdFile::VerifyFile(path.c_str())) {
        // A file with a valid header can still be damaged inside: it lists
        // with an empty version like any other unreadable file.
        try {
          BirdFile file(path.c_str());
          std::string found = file.GetVersion();
          loaded = true;
          if (!found.empty()) {
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            version = found;
          }
        } catch (const std::exception&) {
        }
      }
      if (!loaded)
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
    }
    builds.emplace(key, version);
  }
  return builds;
}
