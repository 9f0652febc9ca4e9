// Soak run of the updater: for a given time, cycles of the real updater
// binary (discover -D, download -G, update -U) against the simulators, each
// cycle with a fault drawn at random (or none):
//   - the simulated USB bus preloaded in front of the updater (modules that
//     are busy, unplugged, stalling, failing I/O, muted, or whose loader
//     acknowledges data short, answers a wrong sum, drops the link...);
//   - the bundled update server (started once per fault: refusing, erring,
//     stalling, sending damaged or meaningless replies), a fake server that
//     truncates, stalls mid-body, sends no BIRD file or redirects for ever,
//     and a port nobody listens on;
//   - the TCP module simulator in a network namespace of the run's own, with
//     the updater in another (skipped where namespaces can't be made).
// The random choices come from one seed, printed first, so a run can be
// replayed: soak [MINUTES [SEED]].
//
// Every cycle's outcome is classified by exit status and the first line of
// standard error. An unexpected outcome (success where the fault must fail
// the command, a failure without a fault or with a fault the updater must
// ride out, the wrong message, a wrong result, a crash signal, a hang, a
// damaged store) is reported with the cycle's command and makes the program
// exit non-zero. Per cycle it records the updater's peak resident memory
// (wait4) and the most descriptors it held (sampled from /proc/PID/fd while
// it runs), and checks that neither grows from the first to the last fifth
// of the cycles of each kind. After every cycle the store must be whole.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "E2EFaults.h"
#include "NetNamespaces.h"
#include "TestSupport.h"
#include "UpdateE2E.h"

extern char** environ;

namespace {

// Set by SIGINT or SIGTERM: the run stops after the current cycle and reports.
volatile sig_atomic_t gStop = 0;
void sStop(int) { gStop = 1; }

using Clock = std::chrono::steady_clock;
using benchsupport::Median;
using testsupport::Background;
using testsupport::ReadFile;
using updtest::Hex8;

constexpr uint32_t kUsbSerial = 0x40F5849A;
constexpr uint32_t kTcpSerial = 0x3000000A;
constexpr int kCycleTimeoutSeconds = 150;
const std::string kNoServer = "http://127.0.0.1:1/cgi/u";
// The builds the update server offers, with their firmware sizes.
const std::vector<std::pair<uint32_t, uint32_t>> kBuilds = {
    {1300, 4000}, {1301, 9000}, {1302, 20000}, {1303, 6000}};

std::string Bin(const std::string& relative) {
  return std::string(UPDATER_BINARY_DIR) + "/" + relative;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Running one updater

struct Outcome {
  bool timedOut = false;
  int signal = 0;   // the signal that ended it, or 0
  int status = -1;  // exit status when it exited
  long maxRssKiB = 0;
  int peakFds = 0;
  double seconds = 0;
  std::string out, err;
};

int CountFds(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/fd", int(pid));
  DIR* d = opendir(path);
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// The process has become the program (not the forked copy of this one).
bool IsUpdater(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
  std::string comm = ReadFile(path);
  return comm.rfind("updater", 0) == 0;
}

// Runs the updater with args, the environment changed by env, inside network
// namespace ns when given; standard output and error go to files in dir.
Outcome RunUpdater(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& dir,
                   const std::string& ns = "") {
  std::string program = testsupport::UpdaterPath();
  std::vector<std::string> argText = {program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argText) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq) all[std::string(*e, size_t(eq - *e))] = eq + 1;
  }
  for (const auto& kv : env) all[kv.first] = kv.second;
  std::vector<std::string> envText;
  for (const auto& kv : all) envText.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::string outPath = dir + "/out.txt", errPath = dir + "/err.txt";
  std::string nsPath = ns.empty() ? "" : "/run/netns/" + ns;

  Outcome o;
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!nsPath.empty()) {
      int fd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
    }
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) {
    o.status = 127;
    return o;
  }
  auto deadline = start + std::chrono::seconds(kCycleTimeoutSeconds);
  int status = 0;
  struct rusage usage = {};
  for (;;) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      o.timedOut = true;
      break;
    }
    if (IsUpdater(pid)) o.peakFds = std::max(o.peakFds, CountFds(pid));
    usleep(4000);
  }
  o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  o.maxRssKiB = usage.ru_maxrss;
  if (!o.timedOut) {
    if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
    if (WIFEXITED(status)) o.status = WEXITSTATUS(status);
  }
  o.out = ReadFile(outPath);
  o.err = ReadFile(errPath);
  return o;
}

// ---------------------------------------------------------------------------
// The store

std::string StoreEntry(const std::string& home, uint32_t serial) {
  return home + "/.corvane/updater/" + Hex8(serial);
}

// "" when the device's store entry is whole: a settings file (if any) of
// "KEY=VALUE" lines, each ended by a line feed, and a LATEST_DOWNLOAD that
// names a stored build; else what is wrong.
std::string CheckStore(const std::string& home, uint32_t serial) {
  std::string entry = StoreEntry(home, serial);
  std::string settings = entry + "/.settings";
  if (!updtest::Exists(settings)) return "";
  std::string text = ReadFile(settings);
  if (!text.empty() && text.back() != '\n') return ".settings does not end with a line feed";
  if (text.find('\0') != std::string::npos) return ".settings holds a NUL byte";
  size_t pos = 0;
  std::map<std::string, std::string> keys;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return ".settings line without KEY=: '" + line + "'";
    if (line.size() > 2046) return ".settings line longer than a loader reads";
    keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  auto latest = keys.find("LATEST_DOWNLOAD");
  if (latest != keys.end() && !latest->second.empty() &&
      !updtest::Exists(entry + "/" + latest->second))
    return "LATEST_DOWNLOAD names " + latest->second + ", which is not in the store";
  DIR* d = opendir(entry.c_str());
  if (d) {
    std::string stray;
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == ".." || name == ".settings") continue;
      if (name.size() < 6 || name.compare(name.size() - 5, 5, ".bird") != 0) stray = name;
    }
    closedir(d);
    if (!stray.empty()) return "left in the store: " + stray;
  }
  return "";
}

std::map<std::string, std::string> Settings(const std::string& home, uint32_t serial) {
  return updtest::Entry(home, serial);
}

// The builds whose BIRD file is in the device's store entry.
std::vector<uint32_t> StoredBuilds(const std::string& home, uint32_t serial) {
  std::vector<uint32_t> builds;
  for (const auto& b : kBuilds)
    if (updtest::Exists(StoreEntry(home, serial) + "/" + std::to_string(b.first) + ".bird"))
      builds.push_back(b.first);
  return builds;
}

// ---------------------------------------------------------------------------
// Faults and what they must do

enum class Expect { Success, Failure, Either };

struct Fault {
  std::string name;    // as reported
  std::string option;  // bus option, server name, simulator --fault text
  Expect expect;
  std::string said;    // a failure must say this on standard error ("" for anything)
};

// Options of the device on the simulated bus during an update. K stands for
// a number drawn for the cycle, from 2 (Data packet 1 carries the loader) to
// 120 (every build's firmware needs more Data packets).
const std::vector<Fault> kUsbUpdateFaults = {
    {"none", "", Expect::Success, ""},
    {"data-short", "data-short=K", Expect::Success, ""},
    {"sum-off", "sum-off=2", Expect::Success, ""},  // a firmware chunk: sent again
    {"sum-off-loader", "sum-off=1", Expect::Failure, "Unable to validate transfer"},
    {"load-mute", "load-mute", Expect::Success, ""},
    {"load-drop", "load-drop", Expect::Success, ""},
    {"never-back", "never-back", Expect::Success, ""},
    {"prepare-fail", "prepare-fail=2", Expect::Failure, "Firmware update of module [40F5849A] failed"},
    {"drop-in-block", "drop-in-block=K", Expect::Failure, "Firmware update of module [40F5849A] failed"},
    {"data-short-always", "data-short=K:data-short-repeat=1000", Expect::Failure,
     "Data packet not accepted after 16 sends"},
    {"block-size-0", "block-size=0", Expect::Failure, "Loader announced a block size of 0"},
    {"init-short", "init-short", Expect::Failure,
     "Firmware update of module [40F5849A] failed [24, vErrPacket]"},
    {"busy", "busy", Expect::Failure, "Failed to connect to module [40F5849A]"},
    {"access", "access", Expect::Failure, "Failed to connect to module [40F5849A]"},
    {"io-error", "io-error", Expect::Failure, "Failed to connect to module [40F5849A]"},
    {"unplugged", "gone", Expect::Failure, "Failed to connect to module [40F5849A]"},
    {"stall-in", "stall-in", Expect::Either, ""},
    {"stall-out", "stall-out", Expect::Either, ""},
    {"muted-build-query", "mute=0x49", Expect::Either, ""},
};

// Options of the extra devices on the bus during a discovery: the listing
// must still succeed and show every well-behaved module.
const std::vector<std::string> kDiscoverFaults = {
    "",          "",         "busy",      "access",       "io-error", "gone",
    "stall-in",  "stall-out", "mute=0x49", "mute=3/1",    "no-in",    "no-out"};

// Download faults: the server the updater is pointed at.
enum class Peer { Clean, Served, Fake, Refusing };
struct DownloadFault {
  Fault fault;
  Peer peer;
  faults::BirdFault fake = faults::BirdFault::None;
};
const std::vector<DownloadFault> kDownloadFaults = {
    {{"none", "", Expect::Success, ""}, Peer::Clean},
    {{"none-latest", "", Expect::Success, ""}, Peer::Clean},
    {{"server-refuse", "refuse", Expect::Failure, ""}, Peer::Served},
    {{"server-refuse-bird", "refuse:bird", Expect::Failure, ""}, Peer::Served},
    {{"server-error", "error", Expect::Failure, ""}, Peer::Served},
    {{"server-error-bird", "error:bird", Expect::Failure, ""}, Peer::Served},
    {{"server-stall-bird", "stall:bird", Expect::Failure, ""}, Peer::Served},
    {{"server-bad-base64", "bad-base64", Expect::Failure, ""}, Peer::Served},
    {{"server-garbage", "garbage", Expect::Failure, ""}, Peer::Served},
    {{"server-garbage-bird", "garbage:bird", Expect::Failure, ""}, Peer::Served},
    {{"truncated", "", Expect::Failure, "Download failed"}, Peer::Fake,
     faults::BirdFault::Truncated},
    {{"stalled-mid-body", "", Expect::Failure, "Download failed"}, Peer::Fake,
     faults::BirdFault::StallMidBody},
    {{"not-a-bird", "", Expect::Failure, "arrived damaged"}, Peer::Fake,
     faults::BirdFault::WrongContent},
    {{"redirect-loop", "", Expect::Failure, "HTTP status 302"}, Peer::Fake,
     faults::BirdFault::RedirectLoop},
    {{"refused-connection", "", Expect::Failure, "Couldn't connect to server"}, Peer::Refusing},
};

// --fault text of the TCP module simulator during an update.
const std::vector<Fault> kTcpUpdateFaults = {
    {"none", "", Expect::Success, ""},
    {"split", "split=7", Expect::Success, ""},
    {"delay", "delay=20", Expect::Success, ""},
    {"data-short", "data-short=K", Expect::Success, ""},
    {"sum-off", "sum-off=2", Expect::Success, ""},
    {"sum-off-loader", "sum-off=1", Expect::Failure, "Unable to validate transfer"},
    {"prepare-fail", "prepare-fail=2", Expect::Failure, "Firmware update of module [3000000A] failed"},
    // A reset link mid-block: the block is sent again over a new link, or the update fails.
    {"drop-in-block", "drop-in-block=K", Expect::Either, ""},
    {"reboot-close", "reboot-close", Expect::Failure, "The link did not drop within 10000 ms"},
    {"drop-after", "drop-after=K", Expect::Either, ""},
    {"garbage-after", "garbage-after=K", Expect::Either, ""},
    {"muted-probe", "mute=0xAD", Expect::Either, ""},
};

std::string WithK(std::string text, std::mt19937_64& random, int lo, int hi) {
  size_t at;
  while ((at = text.find('K')) != std::string::npos) {
    int k = std::uniform_int_distribution<int>(lo, hi)(random);
    text.replace(at, 1, std::to_string(k));
  }
  return text;
}

// ---------------------------------------------------------------------------
// Results

struct Cycle {
  int index = 0;
  std::string kind;   // discover-usb, download, update-usb, update-tcp
  std::string fault;  // the fault's name
  Outcome outcome;
};

struct Report {
  std::vector<Cycle> cycles;
  std::map<std::string, int> failures;    // expected failures by cause
  std::map<std::string, int> unexpected;  // by category
  std::map<std::string, std::map<std::string, int>> byFault;  // kind/fault -> outcome counts
  std::vector<std::string> details;       // one text per unexpected outcome (the first ones)
};

// "exit N: first line of standard error", digits folded so causes group.
std::string Cause(const Outcome& o) {
  std::string first;
  size_t pos = 0;
  while (pos < o.err.size() && first.empty()) {
    size_t nl = o.err.find('\n', pos);
    if (nl == std::string::npos) nl = o.err.size();
    first = o.err.substr(pos, nl - pos);
    pos = nl + 1;
  }
  std::string folded;
  for (char c : first) {
    if (isdigit(static_cast<unsigned char>(c))) {
      if (folded.empty() || folded.back() != '#') folded += '#';
    } else {
      folded += c;
    }
  }
  if (folded.size() > 90) folded = folded.substr(0, 90) + "...";
  return "exit " + std::to_string(o.status) + ": " + (folded.empty() ? "(nothing said)" : folded);
}

std::string Tail(const std::string& text, size_t n) {
  return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

class Soak {
 public:
  Soak(uint64_t seed, double minutes) : seed_(seed), minutes_(minutes), random_(seed) {}

  bool Setup();
  int Run();
  // Stops the simulators; removes the work directory unless it is kept.
  void Finish(bool keep);

 private:
  void OneCycle(int index);
  void Discover(Cycle& c);
  void Download(Cycle& c, uint32_t serial);
  void UpdateUsb(Cycle& c);
  void UpdateTcp(Cycle& c);
  // A build from the device's store entry to update with; when the entry holds
  // none, the cycle becomes a download and this returns false.
  bool PickStoredBuild(Cycle& c, uint32_t serial, uint32_t* build);
  // "" when the module runs build and its store entry records the transfer, else what is wrong.
  std::string CheckUpdated(uint32_t serial, uint32_t build) const;
  // "" when a failed update left LATEST_TRANSFER as it was (before), else what is wrong.
  std::string CheckTransferKept(uint32_t serial, const std::string& before) const;
  // Books the outcome against the expectation; check (run on success)
  // returns "" when the result is right, else what is wrong.
  void Judge(Cycle& c, const Fault& fault, const std::string& command,
             const std::function<std::string()>& check,
             const std::function<std::string()>& afterFailure = {});
  void Unexpected(const Cycle& c, const std::string& category, const std::string& command,
                  const std::string& what);
  bool GrowthCheck();

  std::map<std::string, std::string> UsbEnv(const std::string& bus) const {
    std::map<std::string, std::string> env = {
        {"HOME", home_},
        {"LD_PRELOAD", preload_},
        {"VELMARINE_USB_SIM", bus},
    };
    return env;
  }
  std::string State(uint32_t serial) const { return dir_ + "/state-" + Hex8(serial); }
  std::string Served(uint32_t serial, uint32_t build) const {
    return dir_ + "/tree/" + Hex8(serial) + "/" + std::to_string(build) + ".bird";
  }

  uint64_t seed_;
  double minutes_;
  std::mt19937_64 random_;
  std::string dir_, home_, preload_, stallShim_;
  std::string cleanUrl_;
  std::unique_ptr<Background> clean_;
  std::map<std::string, std::unique_ptr<Background>> faulted_;  // by fault option
  std::map<std::string, std::string> faultedUrl_;
  std::unique_ptr<testsupport::NetNamespaces> hosts_;
  std::string noTcpReason_;
  Report report_;
  // The clean server's descriptors and resident memory after the first cycle and at the end.
  int serverFdsFirst_ = -1;
  long serverRssFirst_ = -1;
};

long VmRssKiB(pid_t pid) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

bool Soak::Setup() {
  char tmpl[] = "/tmp/updater-soak.XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return false;
  }
  dir_ = tmpl;
  home_ = dir_ + "/home";
  mkdir(home_.c_str(), 0755);
  mkdir((dir_ + "/tree").c_str(), 0755);
  mkdir((dir_ + "/run").c_str(), 0755);
  preload_ = Bin("sim/usb/libvelmarine_usb_sim.so");
  if (!updtest::Exists(preload_)) {
    fprintf(stderr, "soak: the simulated USB bus is not built: %s\n", preload_.c_str());
    return false;
  }
  // The test preload that shortens the updater's stall and connect time-outs
  // (a stalled server then costs 2 s, not 30 s); without it stalls take longer.
  stallShim_ = Bin("tests/libcurl_stall_shim.so");
  if (!updtest::Exists(stallShim_)) stallShim_.clear();
  for (uint32_t serial : {kUsbSerial, kTcpSerial}) {
    mkdir((dir_ + "/tree/" + Hex8(serial)).c_str(), 0755);
    for (const auto& b : kBuilds) {
      updtest::Image image;
      image.build = b.first;
      image.size = b.second;
      std::string why = updtest::Pack(image.Manifest(), Served(serial, b.first));
      if (!why.empty()) {
        fprintf(stderr, "soak: the birdfile tool could not make build %u: %s\n", b.first, why.c_str());
        return false;
      }
    }
  }
  cleanUrl_ = testsupport::StartUpdateServer(clean_, dir_ + "/tree");
  if (cleanUrl_.empty()) {
    fprintf(stderr, "soak: the update server did not start\n");
    return false;
  }
  for (const auto& d : kDownloadFaults) {
    if (d.peer != Peer::Served || faulted_.count(d.fault.option)) continue;
    std::string url = testsupport::StartUpdateServer(faulted_[d.fault.option], dir_ + "/tree",
                                                     {"--fault", d.fault.option});
    if (url.empty()) {
      fprintf(stderr, "soak: the update server with --fault %s did not start\n",
              d.fault.option.c_str());
      return false;
    }
    faultedUrl_[d.fault.option] = url;
  }
  // Each device's store entry starts with one build, downloaded cleanly.
  for (uint32_t serial : {kUsbSerial, kTcpSerial}) {
    std::vector<std::string> args = {"-u", cleanUrl_, "-G", "-b", std::to_string(kBuilds[0].first),
                                     "-d", Hex8(serial)};
    Outcome o = RunUpdater(args, {{"HOME", home_}}, dir_ + "/run");
    if (o.status != 0) {
      fprintf(stderr, "soak: the first download failed: %s\n", o.err.c_str());
      return false;
    }
  }
  hosts_.reset(new testsupport::NetNamespaces);
  noTcpReason_ = hosts_->Create("vsoak");
  if (!noTcpReason_.empty()) hosts_.reset();
  return true;
}

void Soak::Unexpected(const Cycle& c, const std::string& category, const std::string& command,
                      const std::string& what) {
  report_.unexpected[category]++;
  report_.byFault[c.kind + " / " + c.fault]["UNEXPECTED"]++;
  if (report_.details.size() >= 20) return;
  char head[160];
  snprintf(head, sizeof head, "cycle %d (%s, fault %s): %s", c.index, c.kind.c_str(),
           c.fault.c_str(), category.c_str());
  report_.details.push_back(std::string(head) + "\n    command: " + command + "\n    " + what +
                            "\n    exit: " + std::to_string(c.outcome.status) +
                            (c.outcome.signal ? " signal " + std::to_string(c.outcome.signal) : "") +
                            "\n    stdout: " + Tail(c.outcome.out, 400) +
                            "\n    stderr: " + Tail(c.outcome.err, 800));
}

void Soak::Judge(Cycle& c, const Fault& fault, const std::string& command,
                 const std::function<std::string()>& check,
                 const std::function<std::string()>& afterFailure) {
  // A cycle cut short by the user's interrupt (which reaches the updater too) is not judged.
  if (gStop) return;
  const Outcome& o = c.outcome;
  auto& counts = report_.byFault[c.kind + " / " + c.fault];
  if (o.timedOut) {
    Unexpected(c, "hang (killed after " + std::to_string(kCycleTimeoutSeconds) + " s)", command,
               "");
    return;
  }
  if (o.signal) {
    Unexpected(c, std::string("crash: ") + strsignal(o.signal), command, "");
    return;
  }
  if (o.status == 0) {
    if (fault.expect == Expect::Failure) {
      Unexpected(c, "success despite a fault that must fail", command, "");
      return;
    }
    std::string wrong = check ? check() : "";
    if (!wrong.empty()) {
      Unexpected(c, "wrong result of a success", command, wrong);
      return;
    }
    counts["ok"]++;
    return;
  }
  if (fault.expect == Expect::Success) {
    Unexpected(c,
               fault.option.empty() ? "failure without a fault"
                                    : "failure of a fault the updater must ride out",
               command, "");
    return;
  }
  if (!fault.said.empty() && !Contains(o.err, fault.said)) {
    Unexpected(c, "failure without the expected message", command, "expected: " + fault.said);
    return;
  }
  if (o.err.empty()) {
    Unexpected(c, "failure that says nothing on standard error", command, "");
    return;
  }
  std::string wrong = afterFailure ? afterFailure() : "";
  if (!wrong.empty()) {
    Unexpected(c, "wrong state after a failure", command, wrong);
    return;
  }
  counts["failed"]++;
  report_.failures[Cause(o)]++;
}

std::string Join(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

void Soak::Discover(Cycle& c) {
  // The target module, and one to three more with a fault each (or none).
  std::string bus = Hex8(kUsbSerial) + ":19:address=4:state=" + State(kUsbSerial);
  int extra = std::uniform_int_distribution<int>(1, 3)(random_);
  std::vector<std::string> clean = {Hex8(kUsbSerial)};
  std::string names;
  for (int i = 0; i < extra; ++i) {
    const std::string& f = kDiscoverFaults[random_() % kDiscoverFaults.size()];
    std::string serial = Hex8(0x21000000u + uint32_t(i));
    bus += "," + serial + ":5:address=" + std::to_string(6 + 2 * i) + (f.empty() ? "" : ":" + f);
    if (f.empty()) clean.push_back(serial);
    names += (names.empty() ? "" : "+") + (f.empty() ? std::string("none") : f);
  }
  c.fault = names;
  std::vector<std::string> args = {"-D", "-t", "USB"};
  c.outcome = RunUpdater(args, UsbEnv(bus), dir_ + "/run");
  Fault fault{names, "", Expect::Success, ""};
  Judge(c, fault, "VELMARINE_USB_SIM=" + bus + " updater " + Join(args), [&]() -> std::string {
    for (const std::string& serial : clean) {
      size_t at = c.outcome.out.find("    " + serial + "  ");
      if (at == std::string::npos) return serial + " is missing from the listing";
      size_t nl = c.outcome.out.find('\n', at);
      if (Contains(c.outcome.out.substr(at, nl - at), "[Error"))
        return serial + " is listed with an error";
    }
    return "";
  });
}

void Soak::Download(Cycle& c, uint32_t serial) {
  const DownloadFault& d = kDownloadFaults[random_() % kDownloadFaults.size()];
  c.fault = d.fault.name;
  std::unique_ptr<faults::FakeServer> fake;
  std::string url;
  switch (d.peer) {
    case Peer::Clean: url = cleanUrl_; break;
    case Peer::Served: url = faultedUrl_[d.fault.option]; break;
    case Peer::Fake:
      fake.reset(new faults::FakeServer(ReadFile(Served(serial, kBuilds[0].first)), d.fake));
      url = fake->Url();
      break;
    case Peer::Refusing: url = faults::RefusingUrl(); break;
  }
  // A named build, or the latest one the server lists.
  uint32_t build = kBuilds.back().first;
  std::vector<std::string> args = {"-u", url, "-G", "-d", Hex8(serial)};
  if (d.fault.name != "none-latest") {
    build = kBuilds[random_() % kBuilds.size()].first;
    if (d.peer == Peer::Clean) args.insert(args.end(), {"-b", std::to_string(build)});
  }
  std::map<std::string, std::string> env = {{"HOME", home_}};
  if (!stallShim_.empty()) env["LD_PRELOAD"] = stallShim_;
  auto before = Settings(home_, serial);
  std::string stored = StoreEntry(home_, serial) + "/" + std::to_string(build) + ".bird";
  c.outcome = RunUpdater(args, env, dir_ + "/run");
  Judge(
      c, d.fault, "updater " + Join(args),
      [&]() -> std::string {
        if (ReadFile(stored) != ReadFile(Served(serial, build)))
          return "the stored build " + std::to_string(build) + " differs from the served one";
        std::string latest = Settings(home_, serial)["LATEST_DOWNLOAD"];
        if (latest != std::to_string(build) + ".bird")
          return "LATEST_DOWNLOAD is '" + latest + "', not build " + std::to_string(build);
        return "";
      },
      [&]() -> std::string {
        if (Settings(home_, serial)["LATEST_DOWNLOAD"] != before["LATEST_DOWNLOAD"])
          return "a failed download changed LATEST_DOWNLOAD";
        return "";
      });
}

bool Soak::PickStoredBuild(Cycle& c, uint32_t serial, uint32_t* build) {
  std::vector<uint32_t> builds = StoredBuilds(home_, serial);
  if (builds.empty()) {
    c.kind = "download";
    Download(c, serial);
    return false;
  }
  *build = builds[random_() % builds.size()];
  return true;
}

std::string Soak::CheckUpdated(uint32_t serial, uint32_t build) const {
  updtest::ModuleState s = updtest::ReadState(State(serial));
  if (!s.present || s.build != build)
    return "the module does not run build " + std::to_string(build) + " (it runs " +
           std::to_string(s.build) + ")";
  std::string transfer = Settings(home_, serial)["LATEST_TRANSFER"];
  if (transfer != std::to_string(build) + ".bird") return "LATEST_TRANSFER is '" + transfer + "'";
  return "";
}

std::string Soak::CheckTransferKept(uint32_t serial, const std::string& before) const {
  if (Settings(home_, serial)["LATEST_TRANSFER"] != before)
    return "a failed update changed LATEST_TRANSFER";
  return "";
}

void Soak::UpdateUsb(Cycle& c) {
  uint32_t build = 0;
  if (!PickStoredBuild(c, kUsbSerial, &build)) return;
  const Fault& f = kUsbUpdateFaults[random_() % kUsbUpdateFaults.size()];
  c.fault = f.name;
  std::string option = WithK(f.option, random_, 2, 120);
  std::string bus = Hex8(kUsbSerial) + ":19:state=" + State(kUsbSerial) +
                    (option.empty() ? "" : ":" + option);
  std::vector<std::string> args = {"-u", kNoServer, "-U", "-b", std::to_string(build),
                                   "-d", Hex8(kUsbSerial)};
  // One in four downloads the latest build from the clean server and updates with it.
  bool fetch = random_() % 4 == 0;
  if (fetch) {
    build = kBuilds.back().first;
    args = {"-u", cleanUrl_, "-G", "-U", "-d", Hex8(kUsbSerial)};
    c.kind = "download+update-usb";
  }
  std::string before = Settings(home_, kUsbSerial)["LATEST_TRANSFER"];
  c.outcome = RunUpdater(args, UsbEnv(bus), dir_ + "/run");
  Judge(
      c, f, "VELMARINE_USB_SIM=" + bus + " updater " + Join(args),
      [&]() -> std::string {
        std::string wrong = CheckUpdated(kUsbSerial, build);
        if (!wrong.empty()) return wrong;
        std::string latest = Settings(home_, kUsbSerial)["LATEST_DOWNLOAD"];
        if (fetch && latest != std::to_string(build) + ".bird")
          return "LATEST_DOWNLOAD is '" + latest + "'";
        return "";
      },
      [&] { return CheckTransferKept(kUsbSerial, before); });
}

void Soak::UpdateTcp(Cycle& c) {
  uint32_t build = 0;
  if (!PickStoredBuild(c, kTcpSerial, &build)) return;
  const Fault& f = kTcpUpdateFaults[random_() % kTcpUpdateFaults.size()];
  c.fault = f.name;
  std::string option = WithK(f.option, random_, 2, 120);
  const std::string address = testsupport::NetNamespaces::kAddressB;
  std::vector<std::string> simArgs = {
      "--module", "serial=" + Hex8(kTcpSerial) + ",model=19,address=4,state=" + State(kTcpSerial),
      "--tcp", address + ":0"};
  if (!option.empty()) simArgs.insert(simArgs.end(), {"--fault", option});
  simArgs.insert(simArgs.end(), {"--discovery-interface", address});
  // The simulator's closing statistics on standard error go to a log file.
  std::vector<std::string> shArgs = {"-c", "exec \"$0\" \"$@\" 2>>'" + dir_ + "/tcp-sim.log'",
                                     Bin("sim/module/velmarine-sim")};
  shArgs.insert(shArgs.end(), simArgs.begin(), simArgs.end());
  Background sim(hosts_->IpProgram(), hosts_->ExecArgs(hosts_->b, "/bin/sh", shArgs));
  std::string line;
  while (!(line = sim.ReadLine()).empty() && line.rfind("discovery", 0) != 0) {
  }
  if (line.empty()) {
    Unexpected(c, "the TCP module simulator did not start", Join(simArgs), "");
    return;
  }
  std::vector<std::string> args = {"-u", kNoServer, "-U", "-b", std::to_string(build),
                                   "-d", Hex8(kTcpSerial)};
  std::string before = Settings(home_, kTcpSerial)["LATEST_TRANSFER"];
  c.outcome = RunUpdater(args, {{"HOME", home_}}, dir_ + "/run", hosts_->a);
  sim.Stop();
  Judge(
      c, f, "velmarine-sim " + Join(simArgs) + "; updater " + Join(args),
      [&] { return CheckUpdated(kTcpSerial, build); },
      [&] { return CheckTransferKept(kTcpSerial, before); });
}

void Soak::OneCycle(int index) {
  Cycle c;
  c.index = index;
  // Weights: discover 2, download 4, USB update 4, TCP update 2 (when possible).
  int total = hosts_ ? 12 : 10;
  int pick = std::uniform_int_distribution<int>(0, total - 1)(random_);
  if (pick < 2) {
    c.kind = "discover-usb";
    Discover(c);
  } else if (pick < 6) {
    c.kind = "download";
    Download(c, hosts_ && random_() % 3 == 0 ? kTcpSerial : kUsbSerial);
  } else if (pick < 10) {
    c.kind = "update-usb";
    UpdateUsb(c);
  } else {
    c.kind = "update-tcp";
    UpdateTcp(c);
  }
  if (gStop) return;
  for (uint32_t serial : {kUsbSerial, kTcpSerial}) {
    std::string why = CheckStore(home_, serial);
    if (!why.empty()) Unexpected(c, "store damaged", "(after the cycle)", Hex8(serial) + ": " + why);
  }
  report_.cycles.push_back(c);
}

// Peak memory and descriptors of the first and the last fifth of each kind's
// cycles; false when either grew past its tolerance.
bool Soak::GrowthCheck() {
  std::map<std::string, std::vector<const Cycle*>> byKind;
  for (const Cycle& c : report_.cycles)
    if (!c.outcome.timedOut && c.outcome.maxRssKiB > 0) byKind[c.kind].push_back(&c);
  bool ok = true;
  printf("\nPeak memory (max RSS, wait4) and open descriptors of the updater, first vs last fifth:\n");
  printf("  %-20s %6s  %12s %12s %12s  %8s %8s %8s  %s\n", "kind", "cycles", "RSS first", "RSS last",
         "RSS max", "fd first", "fd last", "fd max", "verdict");
  for (const auto& kv : byKind) {
    const auto& list = kv.second;
    size_t fifth = list.size() / 5;
    long rssMax = 0;
    int fdMax = 0;
    for (const Cycle* c : list) {
      rssMax = std::max(rssMax, c->outcome.maxRssKiB);
      fdMax = std::max(fdMax, c->outcome.peakFds);
    }
    if (fifth < 2) {
      printf("  %-20s %6zu  %12s %12s %9.1f MiB  %8s %8s %8d  too few cycles to judge\n",
             kv.first.c_str(), list.size(), "-", "-", double(rssMax) / 1024, "-", "-", fdMax);
      continue;
    }
    std::vector<double> rssFirst, rssLast;
    int fdFirst = 0, fdLast = 0;
    for (size_t i = 0; i < fifth; ++i) {
      rssFirst.push_back(double(list[i]->outcome.maxRssKiB));
      fdFirst = std::max(fdFirst, list[i]->outcome.peakFds);
      const Cycle* late = list[list.size() - fifth + i];
      rssLast.push_back(double(late->outcome.maxRssKiB));
      fdLast = std::max(fdLast, late->outcome.peakFds);
    }
    double first = Median(rssFirst), last = Median(rssLast);
    // Tolerances: 10 % plus 2 MiB of memory, two descriptors.
    bool rssGrew = last > first * 1.10 + 2048;
    bool fdGrew = fdLast > fdFirst + 2;
    ok = ok && !rssGrew && !fdGrew;
    printf("  %-20s %6zu  %8.1f MiB %8.1f MiB %8.1f MiB  %8d %8d %8d  %s\n", kv.first.c_str(),
           list.size(), first / 1024, last / 1024, double(rssMax) / 1024, fdFirst, fdLast, fdMax,
           rssGrew ? "MEMORY GREW" : fdGrew ? "DESCRIPTORS GREW" : "steady");
  }
  // The long-running update server, after the first cycle and at the end.
  if (clean_) {
    pid_t pid = clean_->pid();
    int fds = CountFds(pid);
    long rss = VmRssKiB(pid);
    bool fdGrew = serverFdsFirst_ >= 0 && fds > serverFdsFirst_ + 4;
    printf("  update server (whole run): %d -> %d descriptors, %.1f -> %.1f MiB resident%s\n",
           serverFdsFirst_, fds, double(serverRssFirst_) / 1024, double(rss) / 1024,
           fdGrew ? "  DESCRIPTORS GREW" : "");
    ok = ok && !fdGrew;
  }
  return ok;
}

void Soak::Finish(bool keep) {
  clean_.reset();
  faulted_.clear();
  hosts_.reset();
  if (dir_.empty()) return;
  if (keep) {
    printf("soak: the work directory is kept for a look at the store: %s\n", dir_.c_str());
  } else {
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
}

int Soak::Run() {
  printf("soak: seed %llu (replay: soak %g %llu), %g minutes\n", (unsigned long long)seed_,
         minutes_, (unsigned long long)seed_, minutes_);
  printf("soak: work directory %s\n", dir_.c_str());
  if (!hosts_) printf("soak: TCP/IP cycles skipped: %s\n", noTcpReason_.c_str());
  // A forked child starts with a copy of this process, so wait4 can report no
  // less than this for the updater.
  printf("soak: its own resident memory %.1f MiB (the floor of the peak figures)\n",
         double(VmRssKiB(getpid())) / 1024);
  if (stallShim_.empty())
    printf("soak: the stall preload is not built: stalled servers take the full 30 s time-out\n");
  fflush(stdout);
  auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(minutes_ * 60));
  auto nextNote = Clock::now() + std::chrono::seconds(30);
  int index = 0;
  while (Clock::now() < end && !gStop) {
    OneCycle(++index);
    if (index == 1 && clean_) {
      serverFdsFirst_ = CountFds(clean_->pid());
      serverRssFirst_ = VmRssKiB(clean_->pid());
    }
    if (Clock::now() >= nextNote) {
      int bad = 0;
      for (const auto& kv : report_.unexpected) bad += kv.second;
      printf("soak: %d cycles, %d unexpected\n", index, bad);
      fflush(stdout);
      nextNote += std::chrono::seconds(30);
    }
  }

  if (gStop) printf("\nsoak: interrupted; the cycles up to here are reported\n");
  printf("\nCycles: %zu\n", report_.cycles.size());
  std::map<std::string, int> kinds;
  for (const Cycle& c : report_.cycles) kinds[c.kind]++;
  for (const auto& kv : kinds) printf("  %-20s %d\n", kv.first.c_str(), kv.second);
  printf("\nOutcomes by kind and fault (ok / failed as expected / unexpected):\n");
  for (const auto& kv : report_.byFault) {
    auto counts = kv.second;
    printf("  %-52s %4d %4d %4d\n", kv.first.c_str(), counts["ok"], counts["failed"],
           counts["UNEXPECTED"]);
  }
  printf("\nExpected failures by cause:\n");
  std::vector<std::pair<int, std::string>> causes;
  for (const auto& kv : report_.failures) causes.emplace_back(kv.second, kv.first);
  std::sort(causes.rbegin(), causes.rend());
  for (const auto& c : causes) printf("  %5d  %s\n", c.first, c.second.c_str());
  int unexpected = 0;
  printf("\nUnexpected outcomes:%s\n", report_.unexpected.empty() ? " none" : "");
  for (const auto& kv : report_.unexpected) {
    printf("  %5d  %s\n", kv.second, kv.first.c_str());
    unexpected += kv.second;
  }
  for (const std::string& d : report_.details) printf("\n  %s\n", d.c_str());
  bool steady = GrowthCheck();
  printf("\nsoak: %s (seed %llu)\n",
         unexpected == 0 && steady ? "passed" : "FAILED", (unsigned long long)seed_);
  return unexpected == 0 && steady ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  uint64_t seed = std::random_device{}();
  seed = seed << 32 | std::random_device{}();
  if (argc > 1) minutes = atof(argv[1]);
  if (argc > 2) seed = strtoull(argv[2], nullptr, 10);
  if (argc > 3 || minutes <= 0) {
    fprintf(stderr, "Usage: soak [MINUTES [SEED]]  (default 10 minutes, a random seed)\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, sStop);
  signal(SIGTERM, sStop);
  Soak soak(seed, minutes);
  int rc = 1;
  if (soak.Setup()) rc = soak.Run();
  soak.Finish(rc != 0);
  return rc;
}
