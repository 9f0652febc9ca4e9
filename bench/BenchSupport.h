// Helpers the benchmark programs share: elapsed and CPU time, order
// statistics of samples, a display that shows nothing (for driving the
// updater's steps in-process), and a timed run of the updater program.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "UpdaterDisplayInterface.h"

extern char** environ;

namespace benchsupport {

// Seconds since the given moment.
inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU seconds (user and system) this process has used so far.
inline double CpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds this process spends while the calling thread sleeps for
// seconds; wall (when given) receives how long the sleep took.
inline double IdleCpuSeconds(int seconds, double* wall = nullptr) {
  double before = CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  if (wall) *wall = Seconds(start);
  return CpuSeconds() - before;
}

// The sample at fraction q (0 to 1) of the sorted samples; 0 when there are none.
inline double Percentile(const std::vector<double>& samples, double q) {
  if (samples.empty()) return 0;
  std::vector<double> v(samples);
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

inline double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

struct NullDisplay : UpdaterDisplayInterface {
  void info_message(const char*) override {}
  void error_message(const char*) override {}
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
};

// Starts program with args (argv[0] is the program path), its output
// dropped; its process id, or -1 when it could not start.
inline pid_t SpawnQuiet(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Runs the built updater with args, its output dropped, and waits for it.
// Returns its wall time in seconds, or -1 when it could not start or did not
// exit with status 0; usage (when given) receives what it used.
inline double TimeUpdater(const std::vector<std::string>& args, struct rusage* usage = nullptr) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = SpawnQuiet(std::string(UPDATER_BINARY_DIR) + "/src/app/updater", args);
  if (pid < 0) return -1;
  int status = 0;
  struct rusage used = {};
  wait4(pid, &status, 0, &used);
  double t = Seconds(start);
  if (usage) *usage = used;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? t : -1;
}

}  // namespace benchsupport
