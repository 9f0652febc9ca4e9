// updater-fleet's program: reads the command line, prepares the store, runs
// the command, prints the summary table and writes the reports.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FleetInternal.h"
#include "Log.h"
#include "UpdaterDefaults.h"
#include "vDirectory.h"

namespace {

bool sReadFile(const std::string& path, std::string* text) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Writes text whole to path ("-": standard output): a temporary file renamed
// over the old one, so a report is never left half written.
bool sWriteReport(const std::string& path, const std::string& text, std::string* error) {
  if (path == "-") {
    fputs(text.c_str(), stdout);
    return fflush(stdout) == 0;
  }
  std::string temporary = path + ".tmp";
  FILE* f = fopen(temporary.c_str(), "wb");
  bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f) ok = (fclose(f) == 0) && ok;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  *error = "can't write " + path + ": " + strerror(errno);
  unlink(temporary.c_str());
  return false;
}

// The store: "updater" in -i, or in ~/.corvane, created when missing.
bool sStore(const FleetOptions& o, std::string* store, FILE* human) {
  std::string parent = o.storeParent;
  if (parent.empty()) {
    char home[2048];
    if (vDirectory_GetHomeDirectory(home, sizeof home) != vErrNone) {
      fprintf(human,
              "updater-fleet: could not find the home directory; name the store's parent "
              "folder with -i\n");
      return false;
    }
    parent = std::string(home) + "/.corvane";
  }
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  *store = parent + "/updater";
  if (vDirectory_Ensure(store->c_str(), 0755) != vErrNone) {
    fprintf(human, "updater-fleet: Could not find updater directory at %s\n", store->c_str());
    return false;
  }
  return true;
}

int sReport(const FleetOptions& o) {
  std::vector<FleetModule> all;
  for (const std::string& path : o.reports) {
    std::string text, why;
    FleetReport report;
    if (!sReadFile(path, &text)) {
      fprintf(stderr, "updater-fleet: can't read %s: %s\n", path.c_str(), strerror(errno));
      return 1;
    }
    if (!FleetParseReport(text, &report, &why)) {
      fprintf(stderr, "updater-fleet: %s: %s\n", path.c_str(), FleetPlainText(why).c_str());
      return 1;
    }
    printf("%s: %s on %s, %s to %s\n", path.c_str(), FleetPlainText(report.mode).c_str(),
           FleetPlainText(report.host).c_str(), FleetPlainText(report.started).c_str(),
           FleetPlainText(report.finished).c_str());
    all.insert(all.end(), report.modules.begin(), report.modules.end());
  }
  bool planned = true;
  for (const FleetModule& m : all)
    planned = planned && m.state != FleetState::SUCCEEDED && m.state != FleetState::FAILED;
  fputs(FleetTable(all, false).c_str(), stdout);
  return FleetExitStatus(all);
}

}  // namespace

int fleet_main(int argc, char** argv) {
  FleetOptions o;
  std::string error;
  if (!FleetParseOptions(argc, argv, &o, &error)) {
    fprintf(stderr, "updater-fleet: %s\nTry 'updater-fleet --help'.\n", error.c_str());
    return 64;
  }
  if (o.help) {
    fputs(FleetUsage().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    printf("updater-fleet %s\n", UPDATER_FLEET_VERSION);
    return 0;
  }
  if (o.serverUrl.empty()) o.serverUrl = UPDATER_DEFAULT_SERVER_URL;
  if (o.command == "report") return sReport(o);

  FleetOutput out;
  out.human = o.json == "-" ? stderr : stdout;
  out.terminal = isatty(fileno(out.human)) == 1;
  // Line by line also into a pipe or a file: a CI log shows each event as it happens.
  setvbuf(out.human, nullptr, _IOLBF, 0);
  Log::SetOutput(stderr);
  if (o.command != "worker" && o.logMaskGiven) Log::ActivatePackage(o.logMask);
  std::string store;
  if (!sStore(o, &store, o.command == "worker" ? stderr : out.human)) return 1;
  if (o.command == "worker") return FleetWorker(o, store);

  FleetCatchInterrupts();
  FleetReport report;
  report.tool = std::string("updater-fleet ") + UPDATER_FLEET_VERSION;
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  report.host = host;
  report.mode = o.command;
  report.started = FleetUtcNow();
  int status;
  if (o.command == "apply")
    status = FleetApply(o, store, out, &report);
  else if (o.command == "watch")
    status = FleetWatch(o, store, out, &report);
  else
    status = FleetPlan(o, store, out, &report);
  if (status == 0 && o.command == "plan") status = FleetExitStatus(report.modules) == 5 ? 5 : 0;
  if (o.command == "plan" && FleetInterrupted()) status = 130;
  report.finished = FleetUtcNow();

  fputs("\n", out.human);
  fputs(FleetTable(report.modules, o.command == "plan").c_str(), out.human);
  fflush(out.human);
  bool written = true;
  if (!o.json.empty() && !sWriteReport(o.json, FleetJson(report), &error)) written = false;
  if (!o.junit.empty() && !sWriteReport(o.junit, FleetJUnit(report), &error)) written = false;
  if (!written) {
    fprintf(out.human, "updater-fleet: %s\n", error.c_str());
    if (status == 0) status = 1;
  }
  return status;
}
