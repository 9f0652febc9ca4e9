// What a fleet run did to each module, and the forms it is kept in: the JSON
// report (written and read back), the JUnit file for CI systems, the summary
// table for people, and the exit status that sums it up.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "vLinkSpec.h"

enum class FleetState { PLANNED, SUCCEEDED, FAILED, UP_TO_DATE, SKIPPED, CANCELED, NOT_FOUND };
enum class FleetAction { UPDATE, NONE, SKIP };

// The report's texts of states and actions ("up-to-date", "update", ...).
const char* FleetStateText(FleetState state);
const char* FleetActionText(FleetAction action);
bool FleetStateFromText(const std::string& text, FleetState* state);
bool FleetActionFromText(const std::string& text, FleetAction* action);

struct FleetError {
  bool set = false;
  int code = 0;
  std::string name;  // the vErr name ("vErrConnection")
  std::string message;
};

// One module of a run.
struct FleetModule {
  uint32_t serial = 0;
  std::string model;
  std::string transport = "USB";  // "USB" or "TCPIP"
  uint32_t router = 0;            // 0: reached directly
  uint16_t networkAddress = 0;    // its address behind the router
  uint32_t buildBefore = 0;
  std::string versionBefore;
  uint32_t buildTarget = 0;
  bool hasBuildAfter = false;
  uint32_t buildAfter = 0;
  std::string versionAfter;  // empty: not read
  FleetAction action = FleetAction::SKIP;
  FleetState state = FleetState::PLANNED;
  std::string reason;  // why it is skipped, or why it needs no update
  FleetError error;
  int attempts = 0;
  uint64_t durationMs = 0;
  std::string log;               // its worker's log file, empty: none
  uint64_t workerMaxRssKiB = 0;  // its worker's peak resident memory; 0: no worker

  linkSpec spec{};  // how to reach it (not reported)
};

struct FleetSummary {
  int total = 0, succeeded = 0, failed = 0, upToDate = 0, skipped = 0, canceled = 0, notFound = 0,
      planned = 0;
};

struct FleetReport {
  std::string tool;  // "updater-fleet VERSION"
  std::string host;
  std::string mode;  // plan, apply or watch
  std::string started, finished;
  std::vector<FleetModule> modules;
  bool interrupted = false;  // not reported: the run's own exit status says it
};

FleetSummary FleetSummarize(const std::vector<FleetModule>& modules);

// The exit status of a run's modules (interruption and fatal errors aside):
// 5 when a module asked for was not found, 4 when every attempted update
// failed, 3 when some failed, were canceled or skipped, else 0.
int FleetExitStatus(const std::vector<FleetModule>& modules);

std::string FleetJson(const FleetReport& report);
std::string FleetJUnit(const FleetReport& report);
// The summary table, one line per module, then the counts.
std::string FleetTable(const std::vector<FleetModule>& modules, bool planned);

// Reads a JSON report. False with *error saying what is wrong (not JSON,
// another report_version, a key of the wrong kind) and where.
bool FleetParseReport(const std::string& text, FleetReport* report, std::string* error);

// The current UTC time as ISO 8601 ("2024-11-08T12:00:00Z").
std::string FleetUtcNow();
// Text with every control character and invalid byte replaced by '?', for
// plain output that must never carry one.
std::string FleetPlainText(const std::string& text);
