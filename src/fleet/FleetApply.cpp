// apply: the plan, every target build fetched and checked once, then one
// worker process per module (each its own process group, so a Ctrl-C on the
// terminal reaches only this parent), with their progress drawn as they run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "FleetInternal.h"
#include "vDirectory.h"
#include "vErr.h"
#include "vMutex.h"

namespace {

std::atomic<bool> gInterrupted{false};
int gInterruptPipe[2] = {-1, -1};

void sOnInterrupt(int) {
  gInterrupted = true;
  if (gInterruptPipe[1] >= 0) {
    int saved = errno;
    ssize_t ignored = write(gInterruptPipe[1], "!", 1);
    (void)ignored;
    errno = saved;
  }
}

std::string sSelf() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "updater-fleet";
  path[n] = '\0';
  return path;
}

// The words after the first n of line.
std::string sRest(const std::string& line, int n) {
  size_t pos = 0;
  for (int i = 0; i < n && pos != std::string::npos; ++i) {
    pos = line.find(' ', pos);
    if (pos != std::string::npos) ++pos;
  }
  return pos == std::string::npos ? "" : line.substr(pos);
}

// Starts the worker program argv[0] with standard input from /dev/null, its
// events into eventsFd and its standard error into logFd, in a process group
// of its own: the terminal's interrupt reaches the parent only, which lets
// the transfer finish (and the worker ignores SIGINT and SIGTERM besides).
// Spawned, not forked: the parent's memory is not copied, so starting
// sixteen workers costs the parent a few milliseconds of CPU and it is not
// kept waiting behind the workers it has already started. 0 or an errno.
int sSpawnWorker(std::vector<char*>& argv, int eventsFd, int logFd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
  int failed = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (failed == 0) failed = posix_spawn_file_actions_adddup2(&actions, eventsFd, 1);
  if (failed == 0) failed = posix_spawn_file_actions_adddup2(&actions, logFd, 2);
  if (failed == 0)
    failed = posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (failed == 0) failed = posix_spawnattr_setpgroup(&attributes, 0);
  if (failed == 0) failed = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (failed == 0) failed = posix_spawnattr_setsigmask(&attributes, &none);
  if (failed == 0) failed = posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return failed;
}

}  // namespace

void FleetCatchInterrupts() {
  if (gInterruptPipe[0] < 0 && pipe2(gInterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    gInterruptPipe[0] = gInterruptPipe[1] = -1;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = sOnInterrupt;
  sa.sa_flags = SA_RESTART;  // the library's own waits go on; the fleet's loop has the pipe
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}
bool FleetInterrupted() { return gInterrupted; }
int FleetInterruptFd() { return gInterruptPipe[0]; }

FleetPool::FleetPool(const FleetOptions& options, const std::string& storeParent,
                     const std::string& logDir, FleetOutput& out, std::vector<FleetModule>& modules)
    : options_(options),
      storeParent_(storeParent),
      logDir_(logDir),
      self_(options.workerProgram.empty() ? sSelf() : options.workerProgram),
      out_(out),
      modules_(modules) {
  jobs_ = options.jobs > 0 ? options.jobs : kFleetMaxJobs;
}

FleetPool::~FleetPool() {
  // Only reached with workers left when the parent itself fails: they finish
  // their module on their own; nothing here ends them.
  for (Worker& w : workers_) close(w.fd);
}

uint32_t FleetPool::Lane(size_t index) const {
  const FleetModule& m = modules_[index];
  return m.router ? m.router : m.serial;
}

bool FleetPool::CanStart(size_t index) const {
  if (int(workers_.size()) >= jobs_) return false;
  for (const Worker& w : workers_)
    if (Lane(w.index) == Lane(index)) return false;
  return true;
}

void FleetPool::Start(size_t index) {
  FleetModule& m = modules_[index];
  m.attempts += 1;
  m.log = logDir_ + "/" + FleetHex8(m.serial) + ".log";
  std::vector<std::string> args = {self_,
                                   "worker",
                                   "--serial",
                                   FleetHex8(m.serial),
                                   "--build",
                                   std::to_string(m.buildTarget),
                                   "--transport",
                                   m.transport == "TCPIP" ? "tcpip" : "usb",
                                   "--reboot-timeout",
                                   std::to_string(options_.rebootTimeoutS),
                                   "-X",
                                   std::to_string(options_.logMask),
                                   "-i",
                                   storeParent_};
  if (m.router) {
    args.insert(args.end(),
                {"--router", FleetHex8(m.router), "--address", std::to_string(m.networkAddress)});
  }
  if (!options_.serverUrl.empty()) args.insert(args.end(), {"-u", options_.serverUrl});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int events[2];
  int log = open(m.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0 || pipe2(events, O_CLOEXEC) != 0) {
    m.state = FleetState::FAILED;
    FleetSetError(m, vErrResource, std::string("could not start its worker: ") + strerror(errno));
    if (log >= 0) close(log);
    m.log.clear();
    return;
  }
  pid_t pid = -1;
  int failed = sSpawnWorker(argv, events[1], log, &pid);
  close(events[1]);
  close(log);
  if (failed != 0) {
    close(events[0]);
    m.state = FleetState::FAILED;
    FleetSetError(m, vErrResource, std::string("could not start its worker: ") + strerror(failed));
    return;
  }
  fcntl(events[0], F_SETFL, O_NONBLOCK);
  Worker w{index, pid, events[0], "", "starting", "", vTime_GetMSTicks()};
  workers_.push_back(w);
  if (!out_.terminal)
    Say(FleetHex8(m.serial) + ": starting (build " + std::to_string(m.buildTarget) + ")");
  Redraw();
}

void FleetPool::Say(const std::string& line) {
  if (out_.terminal && drawn_ > 0) fprintf(out_.human, "\033[%dA\033[J", drawn_);
  if (out_.terminal) drawn_ = 0;
  fprintf(out_.human, "%s\n", FleetPlainText(line).c_str());
  Redraw();
}

void FleetPool::Redraw() {
  if (!out_.terminal) return;
  if (drawn_ > 0) fprintf(out_.human, "\033[%dA", drawn_);
  for (const Worker& w : workers_)
    fprintf(out_.human, "\r\033[K  %s  %s\n", FleetHex8(modules_[w.index].serial).c_str(),
            FleetPlainText(w.phase).c_str());
  fprintf(out_.human, "\033[J");
  drawn_ = int(workers_.size());
  fflush(out_.human);
}

void FleetPool::Event(Worker& w, const std::string& line) {
  const std::string serial = FleetHex8(modules_[w.index].serial);
  if (line.compare(0, 6, "phase ") == 0) {
    w.phase = line.substr(6);
    if (!out_.terminal) Say(serial + ": " + w.phase);
  } else if (line.compare(0, 9, "progress ") == 0) {
    int percent = atoi(line.c_str() + 9);
    w.phase = "firmware " + std::to_string(percent) + " %";
    // Plain output: one line per tenth, not per packet.
    if (!out_.terminal && percent / 10 != w.lastTenth) {
      w.lastTenth = percent / 10;
      Say(serial + ": " + w.phase);
    }
  } else if (line.compare(0, 7, "result ") == 0) {
    w.resultLine = line;
  }
  Redraw();
}

void FleetPool::Finish(Worker& w, int status) {
  FleetModule& m = modules_[w.index];
  m.durationMs = vTime_GetMSTicks() - w.started;
  const std::string& r = w.resultLine;
  char word[32] = "";
  sscanf(r.c_str(), "result %31s", word);
  std::string state = word;
  if (state == "succeeded") {
    unsigned long build = 0;
    char version[64] = "";
    sscanf(r.c_str(), "result succeeded %lu %63s", &build, version);
    m.state = FleetState::SUCCEEDED;
    m.hasBuildAfter = true;
    m.buildAfter = uint32_t(build);
    m.versionAfter = version;
  } else if (state == "skipped") {
    m.state = FleetState::SKIPPED;
    m.reason = sRest(r, 2);
    FleetSetError(m, vErrBusy, m.reason);
  } else if (state == "failed") {
    int code = 0;
    char after[32] = "-", version[64] = "-";
    sscanf(r.c_str(), "result failed %d %31s %63s", &code, after, version);
    m.state = FleetState::FAILED;
    if (strcmp(after, "-") != 0) {
      m.hasBuildAfter = true;
      m.buildAfter = uint32_t(strtoul(after, nullptr, 10));
    }
    if (strcmp(version, "-") != 0) m.versionAfter = version;
    FleetSetError(m, code, sRest(r, 5));
  } else {
    m.state = FleetState::FAILED;
    std::string how = WIFSIGNALED(status)
                          ? "its worker ended by signal " + std::to_string(WTERMSIG(status))
                          : "its worker ended without a result (status " +
                                std::to_string(WEXITSTATUS(status)) + ")";
    FleetSetError(m, vErrUnknown, how + "; see its log");
  }
  std::string said = FleetHex8(m.serial) + ": " + FleetStateText(m.state);
  if (m.state == FleetState::SUCCEEDED)
    said += " (build " + std::to_string(m.buildAfter) + ", " + std::to_string(m.durationMs / 1000) +
            "." + std::to_string(m.durationMs % 1000 / 100) + " s)";
  else if (m.error.set)
    said += ": " + m.error.message;
  close(w.fd);
  w.fd = -1;
  Say(said);
}

void FleetPool::Poll(int timeoutMs, std::vector<size_t>* finished) {
  std::vector<struct pollfd> fds;
  for (const Worker& w : workers_) fds.push_back({w.fd, POLLIN, 0});
  int interruptFd = FleetInterruptFd();
  if (interruptFd >= 0) fds.push_back({interruptFd, POLLIN, 0});
  if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) vTime_MSSleep(10);
  if (interruptFd >= 0 && (fds.back().revents & POLLIN)) {
    char drain[16];
    while (read(interruptFd, drain, sizeof drain) > 0) {
    }
  }
  for (size_t i = 0; i < workers_.size(); ++i) {
    Worker& w = workers_[i];
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char chunk[4096];
    bool ended = false;
    for (;;) {
      ssize_t n = read(w.fd, chunk, sizeof chunk);
      if (n > 0) {
        w.buffer.append(chunk, size_t(n));
        continue;
      }
      ended = n == 0;
      break;
    }
    size_t nl;
    while ((nl = w.buffer.find('\n')) != std::string::npos) {
      Event(w, w.buffer.substr(0, nl));
      w.buffer.erase(0, nl + 1);
    }
    if (ended) {
      int status = 0;
      struct rusage used = {};
      while (wait4(w.pid, &status, 0, &used) < 0 && errno == EINTR) {
      }
      modules_[w.index].workerMaxRssKiB = uint64_t(used.ru_maxrss);
      Finish(w, status);
    }
  }
  for (size_t i = workers_.size(); i-- > 0;)
    if (workers_[i].fd < 0) {
      finished->push_back(workers_[i].index);
      workers_.erase(workers_.begin() + long(i));
    }
  if (!finished->empty()) Redraw();
}

std::string FleetLogDir(const FleetOptions& o, const std::string& store,
                        const std::string& started) {
  if (!o.logDir.empty()) return o.logDir;
  std::string stamp = started;
  for (char& c : stamp)
    if (c == ':') c = '-';
  std::string dir = store + "/fleet-logs/" + stamp;
  for (int n = 2; access(dir.c_str(), F_OK) == 0; ++n)
    dir = store + "/fleet-logs/" + stamp + "." + std::to_string(n);
  return dir;
}

int FleetApply(const FleetOptions& o, const std::string& store, FleetOutput& out,
               FleetReport* report) {
  int status = FleetPlan(o, store, out, report);
  if (status != 0) return status;
  std::vector<FleetModule>& modules = report->modules;
  fputs(FleetTable(modules, true).c_str(), out.human);

  std::vector<size_t> pending;
  std::vector<FleetModule*> toFetch;
  for (size_t i = 0; i < modules.size(); ++i)
    if (modules[i].action == FleetAction::UPDATE) {
      pending.push_back(i);
      toFetch.push_back(&modules[i]);
    }
  if (pending.empty()) return FleetExitStatus(modules);
  if (FleetInterrupted()) {
    // Interrupted while planning: nothing is fetched or started.
    for (size_t i : pending) {
      modules[i].state = FleetState::CANCELED;
      modules[i].reason = "interrupted before it started";
    }
    return 130;
  }

  // Before any module is touched: the log folder and every build.
  std::string logDir = FleetLogDir(o, store, report->started);
  FleetParentDisplay display(out);
  Updater updater(o.serverUrl.c_str(), store.c_str(), display);
  std::string error;
  if (vDirectory_Ensure(logDir.c_str(), 0755) != vErrNone || access(logDir.c_str(), W_OK) != 0) {
    error = "can't write the log folder " + logDir;
  } else if (!FleetFetchBuilds(o, updater, toFetch, &error)) {
    error = "nothing was updated: " + error;
  }
  if (!error.empty()) {
    fprintf(out.human, "updater-fleet: %s\n", FleetPlainText(error).c_str());
    for (size_t i : pending) {
      if (modules[i].error.set) {
        modules[i].state = FleetState::FAILED;
      } else {
        modules[i].state = FleetState::CANCELED;
        modules[i].reason = "nothing was updated: a build could not be fetched";
      }
    }
    return 1;
  }
  fprintf(out.human, "Updating %zu module%s; logs in %s\n", pending.size(),
          pending.size() == 1 ? "" : "s", logDir.c_str());

  // Where the workers find the store: the folder that holds "updater".
  std::string parent = store.substr(0, store.rfind('/'));
  FleetPool pool(o, parent, logDir, out, modules);
  int failures = 0;
  bool stopped = false, told = false;
  while (!pending.empty() || pool.Running() > 0) {
    if (FleetInterrupted() && !told) {
      told = true;
      pool.Say("Interrupted: no new update starts; waiting for " + std::to_string(pool.Running()) +
               " running to finish");
    }
    if (!stopped && o.maxFailures > 0 && failures >= o.maxFailures) {
      stopped = true;
      pool.Say("Stopping after " + std::to_string(failures) + " failure" +
               (failures == 1 ? "" : "s") + ": no new update starts");
    }
    if (FleetInterrupted() || stopped) {
      for (size_t i : pending) {
        modules[i].state = FleetState::CANCELED;
        modules[i].reason = FleetInterrupted() ? "interrupted before it started"
                                               : "not started after " + std::to_string(failures) +
                                                     (failures == 1 ? " failure" : " failures");
      }
      pending.clear();
    }
    for (size_t k = 0; k < pending.size();) {
      if (pool.CanStart(pending[k])) {
        pool.Start(pending[k]);
        if (modules[pending[k]].state == FleetState::FAILED) ++failures;
        pending.erase(pending.begin() + long(k));
      } else {
        ++k;
      }
    }
    if (pool.Running() == 0) continue;
    std::vector<size_t> finished;
    pool.Poll(250, &finished);
    for (size_t i : finished)
      if (modules[i].state == FleetState::FAILED) ++failures;
  }
  report->interrupted = FleetInterrupted();
  return report->interrupted ? 130 : FleetExitStatus(modules);
}
