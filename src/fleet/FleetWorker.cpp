// The worker process: updates one module through the updater's own steps,
// then waits for it to come back and reads its build. It tells the parent
// what it does with one line per event on standard output ("phase loader",
// "progress 42", "result ..."); everything it says otherwise, and the
// diagnostic log, goes to standard error, which the parent points at the
// module's log file.
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "FleetInternal.h"
#include "Log.h"
#include "UpdaterStoreAccess.h"
#include "vMutex.h"

using Corvane::Velmarine::Module;

namespace {

// Writes one event line for the parent, whole.
void sEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void sEvent(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > int(sizeof line) - 2) n = int(sizeof line) - 2;
  line[n] = '\n';
  ssize_t ignored = write(1, line, size_t(n) + 1);
  (void)ignored;
}

// The updater's messages go to the log; the first error is kept as the
// module's error message, and the transfer's progress and reboot wait
// become events.
class WorkerDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double fraction, const char* label) override {
    int percent = int(fraction * 100);
    if (percent == lastPercent_ || label) return;
    lastPercent_ = percent;
    sEvent("progress %d", percent);
  }
  void update_spinner(bool active, const char* label) override {
    if (active && !rebooting_ && label && strcmp(label, "Verifying Update") == 0) {
      rebooting_ = true;
      sEvent("phase rebooting");
    }
  }
  void info_message(const char* text) override { fprintf(stderr, "%s\n", text); }
  void error_message(const char* text) override {
    fprintf(stderr, "error: %s\n", text);
    if (firstError.empty()) firstError = text;
  }
  std::string firstError;

 private:
  int lastPercent_ = -1;
  bool rebooting_ = false;
};

// One line of text for the event protocol.
std::string sOneLine(const std::string& text) {
  std::string s = FleetPlainText(text);
  return s.empty() ? "-" : s;
}

void sFailed(UpdateJob& job, WorkerDisplay& display, vErr code, const std::string& fallback,
             const DeviceInfo* after = nullptr) {
  std::string message = display.firstError.empty() ? fallback : display.firstError;
  char version[48] = "-";
  if (after)
    snprintf(version, sizeof version, "%u.%u.%u", unsigned(after->versionMajor),
             unsigned(after->versionMinor), unsigned(after->versionPatch));
  sEvent("result failed %d %s %s %s", int(code == vErrNone ? vErrUnknown : code),
         after ? std::to_string(after->build).c_str() : "-", version, sOneLine(message).c_str());
}

// Between tries to reach a rebooting module: a module is back as soon as it
// restarts, and a try on a module that is away fails at once.
constexpr uint32_t kComeBackPollMs = 50;

// Waits (up to timeoutS) for the rebooted module to answer again over the
// transport it was reached on, and reads its build and version.
bool sComeBack(Updater& updater, UpdateJob& job, WorkerDisplay& display, int timeoutS,
               DeviceInfo* info) {
  const uint64_t deadline = vTime_GetMSTicks() + uint64_t(timeoutS) * 1000;
  job.override = true;  // the module is checked by its build now, not the image
  do {
    display.mute_messages(true);
    bool connected = false;
    if (job.routerSerial == 0) {
      if (!job.module) job.module.reset(new Module(0, 0));
      job.module->disconnect();
      _disableEther(*job.module, display);
      connected = job.module->discoverAndConnect(job.reachedOver, job.serial) == vErrNone &&
                  job.module->isConnected();
    } else {
      job.module.reset();
      job.error = vErrNone;
      connected = updater.Connect_Module(job) && job.error == vErrNone;
    }
    display.mute_messages(false);
    if (connected) {
      info->build = _get_build_number(*job.module);
      if (info->build != 0 && _get_version(*job.module, *info) == vErrNone) return true;
    }
    vTime_MSSleep(kComeBackPollMs);
  } while (vTime_GetMSTicks() < deadline);
  return false;
}

}  // namespace

int FleetWorker(const FleetOptions& o, const std::string& store) {
  // A transfer is never left halfway by a signal to stop: the parent, which
  // gets the terminal's interrupt, lets it finish.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  Log::SetOutput(stderr);
  Log::ActivatePackage(o.logMask);
  WorkerDisplay display;
  Updater updater(o.serverUrl.c_str(), store.c_str(), display);
  UpdateJob job;
  job.serial = o.serials.empty() ? 0 : o.serials[0];
  job.build = o.build;
  job.routerSerial = o.routers.empty() ? 0 : o.routers[0];
  job.moduleAddress = uint8_t(o.address);
  job.reachedOver = o.usb ? linkTypeUSB : linkTypeTCPIP;
  fprintf(stderr, "updater-fleet worker: module %08X, build %u\n", job.serial, job.build);
  if (job.serial == 0 || job.build == 0) {
    sEvent("result failed %d - - the worker needs --serial and --build", int(vErrParam));
    return 2;
  }

  sEvent("phase preparing");
  if (!updater.Find_Entry(job) || !updater.Choose_Build(job) || !updater.Prepare_Image(job)) {
    sFailed(job, display, vErrParse, "the image could not be prepared");
    return 1;
  }
  if (!updater.Hold_Module(job)) {
    sEvent("result skipped being updated by another process");
    return 1;
  }
  sEvent("phase connecting");
  if (!updater.Connect_Module(job) || job.error != vErrNone) {
    if (job.error != vErrNone) updater.Report_Failure(job);
    sFailed(job, display, job.error, "could not connect");
    return 1;
  }
  sEvent("phase loader");
  updater.Transfer_Loader(job);
  updater.Reconnect_Module(job);
  updater.Transfer_Firmware(job);
  if (job.error != vErrNone) {
    updater.Report_Failure(job);
    sFailed(job, display, job.error, "the transfer failed");
    return 1;
  }

  sEvent("phase verifying");
  DeviceInfo after;
  if (!sComeBack(updater, job, display, o.rebootTimeoutS, &after)) {
    std::string message =
        "did not come back within " + std::to_string(o.rebootTimeoutS) + " s after its reboot";
    display.error_message(message.c_str());
    sFailed(job, display, vErrTimeout, message);
    return 1;
  }
  if (after.build != job.build) {
    std::string message = "came back with build " + std::to_string(after.build) + ", expected " +
                          std::to_string(job.build);
    fprintf(stderr, "error: %s\n", message.c_str());
    display.firstError.clear();
    sFailed(job, display, vErrVersion, message, &after);
    return 1;
  }
  updater.Record_Transfer(job);
  sEvent("result succeeded %u %u.%u.%u", after.build, unsigned(after.versionMajor),
         unsigned(after.versionMinor), unsigned(after.versionPatch));
  return 0;
}
