// The command line of updater-fleet: a command word (plan, apply, watch,
// report) and options, read through one table of rows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct FleetOptions {
  std::string command = "plan";  // plan, apply, watch, report, or the internal worker
  bool help = false;
  bool version = false;

  // What to look at.
  bool usb = true, tcpip = true;   // --transport
  std::vector<uint32_t> routers;   // --router, each scanned once
  std::vector<uint32_t> serials;   // --serial
  std::vector<uint32_t> excluded;  // --exclude
  std::string model;               // --model

  // Which build.
  uint32_t build = 0;  // --build; 0: the server's newest (or the store's with --offline)
  bool offline = false;
  std::string serverUrl;    // -u; empty: the updater's default
  std::string storeParent;  // -i; empty: ~/.corvane

  // How to run.
  int jobs = 0;  // 0: every module at once, at most 16
  int rebootTimeoutS = 30;
  int maxFailures = 0;  // 0: no limit
  std::string retryFailed;
  uint32_t logMask = 0x00000101;  // DEBUG_Updater and DEBUG_Network in the module logs
  bool logMaskGiven = false;

  // Reports.
  std::string json, junit, logDir;

  std::vector<std::string> reports;  // report FILE...

  // The worker's own: the module's address behind its router.
  uint32_t address = 0;
  // The program the workers run (with the command word worker); empty: this
  // program itself.
  std::string workerProgram;
};

constexpr int kFleetMaxJobs = 16;

// Reads argv into *options. False with *error set on a usage error.
bool FleetParseOptions(int argc, char** argv, FleetOptions* options, std::string* error);
// The --help text.
std::string FleetUsage();
// A serial number as the reports write it: one to eight hexadecimal digits; not 0.
bool FleetParseHexSerial(const std::string& digits, uint32_t* serial);
// A serial number on the command line: the same, optionally after 0x.
bool FleetParseSerial(const std::string& text, uint32_t* serial);
