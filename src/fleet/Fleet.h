// The fleet's commands: plan (discover, select, choose a target build per
// module), apply (fetch every build once, then one worker process per module,
// lanes for modules that share a router), watch (station mode on USB), and
// the worker that updates one module through the updater's own steps.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

#include "FleetOptions.h"
#include "FleetReport.h"

// Where a run writes what people read: standard output, or standard error
// when the JSON report goes to standard output.
struct FleetOutput {
  FILE* human = stdout;
  bool terminal = false;
};

// Each returns the exit status; the report holds the modules.
int FleetPlan(const FleetOptions& options, const std::string& store, FleetOutput& out,
              FleetReport* report);
int FleetApply(const FleetOptions& options, const std::string& store, FleetOutput& out,
               FleetReport* report);
int FleetWatch(const FleetOptions& options, const std::string& store, FleetOutput& out,
               FleetReport* report);
// The worker process for one module (--serial, --build, ...): events on
// standard output for the parent, diagnostics on standard error (its log).
int FleetWorker(const FleetOptions& options, const std::string& store);

// Interrupts: the first SIGINT or SIGTERM sets the flag (and wakes the loop
// through the pipe); the run then starts nothing new.
void FleetCatchInterrupts();
bool FleetInterrupted();
int FleetInterruptFd();

// Whole program: parses, runs, writes the reports; returns the exit status.
int fleet_main(int argc, char** argv);
