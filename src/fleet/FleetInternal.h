// What the fleet's commands share: the display the Updater talks to in the
// parent, the plan of one module, fetching builds before anything is
// flashed, and the pool of worker processes with its progress lines.
#pragma once
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "Fleet.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The parent's display: errors go to the human output prefixed with the
// program's name; info messages, spinner and progress are not shown (the
// fleet draws its own).
class FleetParentDisplay : public UpdaterDisplayInterface {
 public:
  explicit FleetParentDisplay(FleetOutput& out) : out_(out) {}
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char* text) override;

 private:
  FleetOutput& out_;
};

// A discovered module as the report keeps it; a module that could not be
// read is skipped with the reason.
FleetModule FleetModuleFromDevice(const DeviceInfo& info);
// A module asked for (by --serial, --router or a report) that is not there.
FleetModule FleetNotFound(uint32_t serial, const std::string& reason);
// Sets the module's target build and its action: --build, the store's newest
// valid build (--offline) or the server's newest.
void FleetChooseTarget(const FleetOptions& options, Updater& updater, FleetModule& module);
// Puts each module's target build into its store entry, fetching each build
// from the server once, and checks it against the module. False with *error
// saying which build failed and why (nothing has touched a module then).
bool FleetFetchBuilds(const FleetOptions& options, Updater& updater,
                      std::vector<FleetModule*>& modules, std::string* error);
void FleetSetError(FleetModule& module, int code, const std::string& message);
std::string FleetHex8(uint32_t value);
// The run's log folder: --log-dir, else fleet-logs/START-TIME in the store
// (colons made dashes), with .2, .3 ... added while that name is taken.
std::string FleetLogDir(const FleetOptions& options, const std::string& store,
                        const std::string& started);

// Worker processes, at most `jobs` at once, one per lane: the modules behind
// one router (and the router itself) share a lane, every other module has
// its own. Draws their progress.
class FleetPool {
 public:
  FleetPool(const FleetOptions& options, const std::string& storeParent, const std::string& logDir,
            FleetOutput& out, std::vector<FleetModule>& modules);
  ~FleetPool();

  // Whether the module may start now (a free job and a free lane).
  bool CanStart(size_t index) const;
  // Starts the module's worker; a worker that can't be started fails it.
  void Start(size_t index);
  size_t Running() const { return workers_.size(); }
  // Waits up to timeoutMs for workers' events or an interrupt; fills
  // finished with the modules whose workers ended.
  void Poll(int timeoutMs, std::vector<size_t>* finished);
  // A line above the progress lines (an event, a count).
  void Say(const std::string& line);

 private:
  struct Worker {
    size_t index;
    pid_t pid;
    int fd;
    std::string buffer;
    std::string phase;
    std::string resultLine;
    uint64_t started;
    int lastTenth = -1;
  };
  void Event(Worker& w, const std::string& line);
  void Finish(Worker& w, int status);
  void Redraw();
  uint32_t Lane(size_t index) const;

  const FleetOptions& options_;
  std::string storeParent_, logDir_, self_;
  FleetOutput& out_;
  std::vector<FleetModule>& modules_;
  std::vector<Worker> workers_;
  int jobs_;
  int drawn_ = 0;  // progress lines on the terminal now
};
