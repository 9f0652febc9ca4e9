// Benchmarks that run on the simulated USB bus re-execute themselves with the
// bus library preloaded, so that the program and the updaters it starts see
// the same kind of bus.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

// In the first pass: checks the bus library is built, sets the environment
// (marker, preload, the bus description), runs prepare, and re-executes the program;
// returns only on failure (false). In the second pass (marker set): true.
inline bool OnSimulatedBus(char** argv, const char* marker, const std::string& spec,
                           const std::function<bool()>& prepare = {}) {
  if (getenv(marker)) return true;
  std::string shim = std::string(UPDATER_BINARY_DIR) + "/sim/usb/libvelmarine_usb_sim.so";
  if (access(shim.c_str(), R_OK) != 0) {
    fprintf(stderr, "the simulated USB bus is not built: %s\n", shim.c_str());
    return false;
  }
  setenv(marker, "1", 1);
  setenv("LD_PRELOAD", shim.c_str(), 1);
  setenv("VELMARINE_USB_SIM", spec.c_str(), 1);
  if (prepare && !prepare()) return false;
  execv("/proc/self/exe", argv);
  perror("execv");
  return false;
}
