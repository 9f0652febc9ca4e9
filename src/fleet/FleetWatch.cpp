// watch: station mode for a production line. The USB bus is looked at every
// second; each module that appears is handled once per run (by serial
// number): updated in a worker of its own, or counted when it already runs
// its target. A module is read only when it first appears, so one that a
// worker is updating is never opened twice.
#include <set>

#include "FleetInternal.h"
#include "vDirectory.h"
#include "vMutex.h"

namespace {

bool sListed(const std::vector<uint32_t>& list, uint32_t serial) {
  for (uint32_t s : list)
    if (s == serial) return true;
  return false;
}

std::string sCounts(const std::vector<FleetModule>& modules, size_t running) {
  FleetSummary s = FleetSummarize(modules);
  return "Count: " + std::to_string(s.succeeded) + " updated, " + std::to_string(s.upToDate) +
         " up to date, " + std::to_string(s.failed) + " failed, " + std::to_string(s.skipped) +
         " skipped, " + std::to_string(running) + " running";
}

}  // namespace

int FleetWatch(const FleetOptions& o, const std::string& store, FleetOutput& out,
               FleetReport* report) {
  FleetParentDisplay display(out);
  Updater updater(o.serverUrl.c_str(), store.c_str(), display);
  std::string logDir = FleetLogDir(o, store, report->started);
  if (vDirectory_Ensure(logDir.c_str(), 0755) != vErrNone) {
    fprintf(out.human, "updater-fleet: can't write the log folder %s\n", logDir.c_str());
    return 1;
  }
  std::vector<FleetModule>& modules = report->modules;
  std::string parent = store.substr(0, store.rfind('/'));
  FleetPool pool(o, parent, logDir, out, modules);
  pool.Say("Watching USB for modules; logs in " + logDir + "; interrupt (Ctrl-C) ends the run");

  std::set<uint32_t> seen;
  std::vector<size_t> queued;
  uint64_t nextLook = 0;
  std::string lastCounts;
  while (!FleetInterrupted() || pool.Running() > 0) {
    if (!FleetInterrupted() && vTime_GetMSTicks() >= nextLook) {
      for (DeviceInfo& d : updater.Enumerate_Devices(linkTypeUSB)) {
        uint32_t serial = d.spec.serialNumber;
        if (!seen.insert(serial).second) continue;
        if (sListed(o.excluded, serial) || (!o.serials.empty() && !sListed(o.serials, serial)))
          continue;
        updater.Read_Device(d);
        FleetModule m = FleetModuleFromDevice(d);
        if (!o.model.empty() && m.model != o.model) continue;
        FleetChooseTarget(o, updater, m);
        if (m.action == FleetAction::UPDATE) {
          std::vector<FleetModule*> one = {&m};
          std::string error;
          if (!FleetFetchBuilds(o, updater, one, &error)) m.state = FleetState::FAILED;
        }
        modules.push_back(m);
        std::string said = FleetHex8(serial) + ": plugged in, " + m.versionBefore + " (" +
                           std::to_string(m.buildBefore) + "), ";
        if (m.state == FleetState::PLANNED) {
          queued.push_back(modules.size() - 1);
          said += "updating to build " + std::to_string(m.buildTarget);
        } else {
          said += std::string(FleetStateText(m.state)) + (m.error.set ? ": " + m.error.message
                                                          : m.reason.empty() ? ""
                                                                             : ": " + m.reason);
        }
        pool.Say(said);
      }
      nextLook = vTime_GetMSTicks() + 1000;
    }
    if (FleetInterrupted()) {
      for (size_t i : queued) {
        modules[i].state = FleetState::CANCELED;
        modules[i].reason = "interrupted before it started";
      }
      queued.clear();
    }
    for (size_t k = 0; k < queued.size();) {
      if (pool.CanStart(queued[k])) {
        pool.Start(queued[k]);
        queued.erase(queued.begin() + long(k));
      } else {
        ++k;
      }
    }
    std::vector<size_t> finished;
    pool.Poll(200, &finished);
    std::string counts = sCounts(modules, pool.Running());
    if (counts != lastCounts) {
      pool.Say(counts);
      lastCounts = counts;
    }
  }
  return FleetExitStatus(modules);
}
