// updater-fleet end to end: the real program (and its worker processes) on
// the simulated USB bus, builds served by the update server, each module's
// flash read back from the simulator's state file, and the reports read both
// by the program's own reader and, where python3 is there, by another one.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <thread>

#include "Fleet.h"
#include "FleetE2E.h"
#include "FleetReport.h"
#include "NetNamespaces.h"
#include "UpdateE2E.h"
#include "vDirectory.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using updtest::Hex8;

constexpr uint32_t kTarget = 1300;

class FleetRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::Exists(testsupport::ProgramPath("sim/usb", "libvelmarine_usb_sim.so")))
      GTEST_SKIP() << "the simulated USB bus is not built (target velmarine_usb_sim)";
    mkdir(home().c_str(), 0755);
    mkdir((dir / "tree").c_str(), 0755);
    image.build = kTarget;
  }

  std::string home() const { return dir / "home"; }
  std::string store() const { return home() + "/.corvane/updater"; }
  std::string state(uint32_t serial) const { return dir / ("state-" + Hex8(serial)); }

  // One module of model 19 on the bus, with its own state file.
  std::string Module(uint32_t serial, const std::string& options = "build=1180") const {
    return Hex8(serial) + ":19:state=" + state(serial) + (options.empty() ? "" : ":" + options);
  }
  // The update server, with build 1300 for each of the serials.
  std::string Serve(const std::vector<uint32_t>& serials) {
    for (uint32_t s : serials) {
      std::string d = dir / ("tree/" + Hex8(s));
      mkdir(d.c_str(), 0755);
      EXPECT_EQ(updtest::Pack(image.Manifest(), d + "/" + std::to_string(kTarget) + ".bird"), "");
    }
    std::string url = testsupport::StartUpdateServer(server, dir / "tree");
    EXPECT_FALSE(url.empty()) << "the update server did not start";
    return url;
  }
  std::map<std::string, std::string> Env(const std::string& bus) const {
    testsupport::RunOptions o = updtest::UsbBus(bus);
    o.env["HOME"] = home();
    return o.env;
  }
  RunResult Fleet(const std::vector<std::string>& args, const std::string& bus = "") {
    testsupport::RunOptions o;
    o.env = Env(bus);
    o.timeoutMs = 240000;
    return testsupport::Run(fleettest::FleetPath(), args, o);
  }
  // The report's modules by serial number.
  std::map<uint32_t, FleetModule> Modules(const std::string& path) {
    FleetReport report;
    std::string error;
    EXPECT_TRUE(FleetParseReport(testsupport::ReadFile(path), &report, &error)) << error;
    std::map<uint32_t, FleetModule> byModule;
    for (const FleetModule& m : report.modules) byModule[m.serial] = m;
    return byModule;
  }
  void ExpectFlashed(uint32_t serial) {
    updtest::ModuleState s = updtest::ReadState(state(serial));
    EXPECT_TRUE(s.present && s.build == kTarget) << Hex8(serial) << " does not run the target";
    EXPECT_TRUE(s.flash[0] == image.Flashed(serial)) << Hex8(serial) << ": flash differs";
  }
  // Modules, JUnit test cases and failures as another reader counts them:
  // "modules tests testcases failures", or "" without python3.
  std::string OtherReader(const std::string& json, const std::string& junit) {
    std::string python = testsupport::OnPath("python3");
    if (python.empty()) return "";
    RunResult r = testsupport::Run(
        python, {"-c",
                 "import json,sys,xml.etree.ElementTree as E\n"
                 "r=json.load(open(sys.argv[1]))\n"
                 "s=E.parse(sys.argv[2]).getroot().find('testsuite')\n"
                 "print(len(r['modules']),s.get('tests'),len(s.findall('testcase')),"
                 "s.get('failures'),r['summary']['failed'])",
                 json, junit});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  TempDir dir;
  std::unique_ptr<testsupport::Background> server;
  updtest::Image image;
};

// Eight modules: five to update, one already at the target, one unplugged
// at the first firmware write, one whose loader is refused.
TEST_F(FleetRun, ApplyUpdatesInParallelReportsEachModuleAndARetryMendsTheFailed) {
  const std::vector<uint32_t> plain = {0x40F5849A, 0x2181F0EE, 0x11112222, 0x33334444, 0x55556666};
  const uint32_t current = 0x66667777, unplugged = 0x77778888, refused = 0x88889999;
  std::vector<uint32_t> all = plain;
  all.insert(all.end(), {current, unplugged, refused});
  std::string url = Serve(all);
  std::vector<std::string> bus;
  for (uint32_t s : plain) bus.push_back(Module(s));
  bus.push_back(Module(current, "build=1300:version=2.16.0"));
  bus.push_back(Module(unplugged, "build=1180:unplug-on=0x5F/5"));
  bus.push_back(Module(refused, "build=1180:prepare-fail=1"));
  std::string joined;
  for (const std::string& b : bus) joined += (joined.empty() ? "" : ",") + b;

  std::string json = dir / "run.json", junit = dir / "run.xml";
  RunResult r =
      Fleet({"apply", "-u", url, "--transport", "usb", "--json", json, "--junit", junit}, joined);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_EQ(r.out.find_first_of("\r\033"), std::string::npos)
      << "control characters in plain output";
  EXPECT_NE(r.out.find("77778888: firmware"), std::string::npos) << r.out;
  auto modules = Modules(json);
  ASSERT_EQ(modules.size(), 8u);
  for (uint32_t s : plain) {
    SCOPED_TRACE(Hex8(s));
    const FleetModule& m = modules[s];
    EXPECT_EQ(m.state, FleetState::SUCCEEDED) << m.error.message;
    EXPECT_EQ(m.buildBefore, 1180u);
    EXPECT_TRUE(m.hasBuildAfter && m.buildAfter == kTarget);
    EXPECT_EQ(m.versionAfter, "2.16.0");
    EXPECT_TRUE(testsupport::Exists(m.log)) << m.log;
    ExpectFlashed(s);
    EXPECT_EQ(updtest::Entry(home(), s)["LATEST_TRANSFER"], "1300.bird");
  }
  EXPECT_EQ(modules[current].state, FleetState::UP_TO_DATE);
  EXPECT_EQ(modules[current].action, FleetAction::NONE);
  EXPECT_TRUE(modules[current].log.empty());
  for (uint32_t s : {unplugged, refused}) {
    SCOPED_TRACE(Hex8(s));
    const FleetModule& m = modules[s];
    EXPECT_EQ(m.state, FleetState::FAILED);
    EXPECT_TRUE(m.error.set && m.error.code != 0 && !m.error.message.empty());
    EXPECT_FALSE(m.hasBuildAfter);
    EXPECT_NE(testsupport::ReadFile(m.log).find("error: "), std::string::npos) << m.log;
    EXPECT_NE(updtest::ReadState(state(s)).build, kTarget);
  }
  std::string counted = OtherReader(json, junit);
  if (!counted.empty()) {
    EXPECT_EQ(counted, "8 8 8 2 2\n");
  }

  // The same two again, without their faults: only they are tried.
  joined.replace(joined.find(":unplug-on=0x5F/5"), 17, "");
  joined.replace(joined.find(":prepare-fail=1"), 15, "");
  std::string again = dir / "again.json";
  r = Fleet({"apply", "-u", url, "--transport", "usb", "--retry-failed", json, "--json", again},
            joined);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  modules = Modules(again);
  ASSERT_EQ(modules.size(), 2u);
  for (uint32_t s : {unplugged, refused}) {
    EXPECT_EQ(modules[s].state, FleetState::SUCCEEDED) << modules[s].error.message;
    EXPECT_EQ(modules[s].attempts, 2);
    ExpectFlashed(s);
  }

  // Both reports together: the earlier failures still count.
  r = Fleet({"report", json, again});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("10 modules: 7 succeeded, 2 failed, 1 up to date"), std::string::npos)
      << r.out;
}

// The plan reads its modules side by side: the table and the report list
// them in the order found, each with its own figures, exactly as when they
// are read one at a time; one that can't be read keeps its place.
TEST_F(FleetRun, ThePlanReadsSideBySideAndListsTheModulesInTheOrderFound) {
  std::string bus;
  std::vector<uint32_t> serials;
  for (uint32_t i = 0; i < 8; ++i) {
    serials.push_back(0x40F58400u + i);
    std::string options =
        "build=" + std::to_string(1180 + i) + ":version=2.15." + std::to_string(i);
    if (i == 3) options += ":busy";
    if (i == 5) options = "build=1300:version=2.16.0";
    bus += (bus.empty() ? "" : ",") + Module(serials.back(), options);
  }
  const std::vector<std::string> plan = {"plan", "--transport", "usb", "--build", "1300"};
  std::vector<std::string> oneByOne = plan;
  oneByOne.insert(oneByOne.end(), {"--jobs", "1", "--json", dir / "one.json"});
  std::vector<std::string> allAtOnce = plan;
  allAtOnce.insert(allAtOnce.end(), {"--json", dir / "all.json"});
  RunResult one = Fleet(oneByOne, bus);
  RunResult all = Fleet(allAtOnce, bus);
  EXPECT_EQ(all.status, 0) << all.out << all.err;
  EXPECT_EQ(all.out, one.out);

  FleetReport report;
  std::string error;
  ASSERT_TRUE(FleetParseReport(testsupport::ReadFile(dir / "all.json"), &report, &error)) << error;
  ASSERT_EQ(report.modules.size(), serials.size());
  for (uint32_t i = 0; i < serials.size(); ++i) {
    const FleetModule& m = report.modules[i];
    SCOPED_TRACE(Hex8(serials[i]));
    EXPECT_EQ(m.serial, serials[i]);
    if (i == 3) {
      EXPECT_EQ(m.state, FleetState::SKIPPED);
      EXPECT_NE(m.error.message.find("could not be read"), std::string::npos) << m.error.message;
    } else if (i == 5) {
      EXPECT_EQ(m.state, FleetState::UP_TO_DATE);
    } else {
      EXPECT_EQ(m.state, FleetState::PLANNED);
      EXPECT_EQ(m.buildBefore, 1180 + i);
      EXPECT_EQ(m.versionBefore, "2.15." + std::to_string(i));
    }
  }
}

// Ctrl-C on the terminal signals the whole group: the running transfers
// finish, the rest never start.
TEST_F(FleetRun, AnInterruptLetsRunningTransfersFinishAndCancelsTheRest) {
  const std::vector<uint32_t> serials = {0x40F5849A, 0x2181F0EE, 0x11112222, 0x33334444};
  image.size = 60000;  // a transfer long enough to interrupt
  std::string url = Serve(serials);
  std::string bus;
  for (uint32_t s : serials) bus += (bus.empty() ? "" : ",") + Module(s);
  std::string json = dir / "run.json";
  fleettest::Started run({"apply", "-u", url, "--transport", "usb", "--jobs", "2", "--json", json},
                         Env(bus));
  ASSERT_TRUE(run.WaitFor(": firmware ")) << run.Output();
  run.Interrupt();
  EXPECT_EQ(run.Wait(), 130) << run.Output();
  EXPECT_NE(run.Output().find("Interrupted: no new update starts"), std::string::npos);
  auto modules = Modules(json);
  ASSERT_EQ(modules.size(), 4u);
  int succeeded = 0, canceled = 0;
  for (auto& kv : modules) {
    if (kv.second.state == FleetState::SUCCEEDED) {
      ++succeeded;
      ExpectFlashed(kv.first);
    } else {
      EXPECT_EQ(kv.second.state, FleetState::CANCELED) << Hex8(kv.first);
      EXPECT_FALSE(updtest::ReadState(state(kv.first)).present) << "touched after the interrupt";
      ++canceled;
    }
  }
  EXPECT_EQ(succeeded, 2);
  EXPECT_EQ(canceled, 2);
}

// The router's network is scanned once (by the plan); the workers are given
// the addresses, and the modules behind the router go one at a time.
TEST_F(FleetRun, ModulesBehindARouterAreScannedOnceAndUpdatedOneAtATime) {
  const uint32_t router = 0xD272031D, first = 0x55556666, second = 0x77778888;
  std::string url = Serve({router, first, second});
  std::string bus = Module(router, "address=4:build=1300:version=2.16.0") + "," +
                    Module(first, "address=6:router=4") + "," +
                    Module(second, "address=8:router=4");
  std::string events = dir / "events";
  std::string json = dir / "run.json";
  testsupport::RunOptions o;
  o.env = Env(bus);
  o.env["VELMARINE_USB_SIM_LOG"] = events;
  o.timeoutMs = 240000;
  RunResult r = testsupport::Run(
      fleettest::FleetPath(),
      {"apply", "-u", url, "--transport", "usb", "--router", Hex8(router), "--json", json}, o);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto modules = Modules(json);
  EXPECT_EQ(modules[router].state, FleetState::UP_TO_DATE);
  for (uint32_t s : {first, second}) {
    EXPECT_EQ(modules[s].state, FleetState::SUCCEEDED) << modules[s].error.message;
    EXPECT_EQ(modules[s].router, router);
    ExpectFlashed(s);
  }
  EXPECT_EQ(modules[first].networkAddress, 6);
  std::string log = testsupport::ReadFile(events);
  size_t probes = 0;
  for (size_t at = 0; (at = log.find(" i2c-write 06 ", at)) != std::string::npos; ++at) ++probes;
  EXPECT_EQ(probes, 1u) << "the network was scanned more than once";
  // Claims and releases of the router's device alternate: never two holders.
  std::regex use(Hex8(router) + " (claim|release)");
  std::string last = "release";
  for (std::sregex_iterator it(log.begin(), log.end(), use), end; it != end; ++it) {
    EXPECT_NE((*it)[1].str(), last) << "the router was used by two at once";
    last = (*it)[1].str();
  }
}

// Station mode: one module on the bus at the start, two plugged in while it
// watches (one already at the target), and the first unplugged and plugged
// in again. Runs FleetWatchChild in a child process under the simulated bus,
// so the test can plug modules into the watching process's own bus.
TEST_F(FleetRun, WatchUpdatesEachModulePluggedInOncePerRun) {
  const uint32_t first = 0x40F5849A, second = 0x2181F0EE, current = 0x11112222;
  std::string url = Serve({first, second, current});
  std::string self;
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) self.assign(path, size_t(n));
  testsupport::RunOptions o;
  o.env = Env(Module(first) + "," + Module(second) + "," +
              Module(current, "build=1300:version=2.16.0"));
  o.env["FLEET_WATCH_CHILD"] = url;
  o.timeoutMs = 240000;
  RunResult r = testsupport::Run(self, {"--gtest_filter=FleetWatchChild.*"}, o);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.out.find("SKIPPED"), std::string::npos) << r.out;
  ExpectFlashed(first);
  ExpectFlashed(second);
}

TEST(FleetWatchChild, PlugUnplugAndInterrupt) {
  const char* url = getenv("FLEET_WATCH_CHILD");
  if (!url) GTEST_SKIP() << "runs inside FleetRun.WatchUpdatesEachModulePluggedInOncePerRun";
  using Control = const char* (*)(const char*);
  auto control = reinterpret_cast<Control>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
  ASSERT_NE(control, nullptr) << "the simulated bus is not preloaded";
  const std::string first = "40F5849A", second = "2181F0EE", current = "11112222";
  // The bus as the environment gives it, less the two plugged in later; the
  // workers' buses hold all three.
  std::string bus = getenv("VELMARINE_USB_SIM");
  auto spec = [&](const std::string& serial) {
    size_t at = bus.find(serial);
    return bus.substr(at, bus.find(',', at) - at);
  };
  control(("unplug " + second).c_str());
  control(("unplug " + current).c_str());

  FleetOptions options;
  options.command = "watch";
  options.tcpip = false;
  options.serverUrl = url;
  options.storeParent = std::string(getenv("HOME")) + "/.corvane";
  options.logDir = std::string(getenv("HOME")) + "/watch-logs";
  options.workerProgram = fleettest::FleetPath();
  std::string store = options.storeParent + "/updater";
  ASSERT_EQ(vDirectory_Ensure(store.c_str(), 0755), vErrNone);
  FleetOutput out;
  FleetCatchInterrupts();
  FleetReport report;
  report.started = FleetUtcNow();
  int status = -1;
  std::thread watcher([&] { status = FleetWatch(options, store, out, &report); });
  auto updated = [&](const std::string& serial) {
    for (int i = 0; i < 1200; ++i) {
      if (testsupport::ReadFile(options.logDir + "/" + serial + ".log").find("Update time") !=
          std::string::npos)
        return true;
      usleep(100000);
    }
    return false;
  };
  EXPECT_TRUE(updated(first));
  control(("unplug " + first).c_str());
  control(("plug " + spec(current)).c_str());
  control(("plug " + spec(second)).c_str());
  control(("plug " + spec(first)).c_str());
  EXPECT_TRUE(updated(second));
  usleep(1500000);  // one more look at the bus, with the first back on it
  kill(getpid(), SIGINT);
  watcher.join();
  control("stop");
  EXPECT_EQ(status, 0);
  std::map<std::string, FleetState> states;
  for (const FleetModule& m : report.modules) {
    EXPECT_EQ(states.count(Hex8(m.serial)), 0u) << Hex8(m.serial) << " handled twice";
    states[Hex8(m.serial)] = m.state;
  }
  EXPECT_EQ(states[first], FleetState::SUCCEEDED);
  EXPECT_EQ(states[second], FleetState::SUCCEEDED);
  EXPECT_EQ(states[current], FleetState::UP_TO_DATE);
}

// Bad input and refusals: each a clear error, the right exit status and the
// right state in the report, and no module touched that should not be.
TEST_F(FleetRun, BadInputEndsWithAClearErrorAndTheRightState) {
  const uint32_t a = 0x40F5849A, b = 0x2181F0EE;
  std::string url = Serve({a, b});  // build 1300 only
  const std::string bus = Module(a) + "," + Module(b);
  testsupport::WriteFile(dir / "garbage.json", "{\"report_version\": 1, \"modules\": [");
  testsupport::WriteFile(dir / "v2.json", "{\"report_version\": 2, \"modules\": []}");
  testsupport::WriteFile(dir / "gone.json",
                         "{\"report_version\": 1, \"tool\": \"t\", \"host\": \"h\", \"mode\": "
                         "\"apply\", \"started\": \"s\", \"finished\": \"f\", \"modules\": "
                         "[{\"serial\": \"12345678\", \"model\": \"Morlet\", \"transport\": "
                         "\"USB\", \"router\": null, \"network_address\": 0, \"build_before\": 1, "
                         "\"version_before\": null, \"build_target\": 2, \"build_after\": null, "
                         "\"version_after\": null, \"action\": \"update\", \"state\": \"failed\", "
                         "\"error\": null, \"attempts\": 1, \"duration_ms\": 5, \"log\": null}]}");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* said;                       // in standard output or error
    std::map<uint32_t, FleetState> states;  // in the JSON report, when there is one
  } cases[] = {
      {"report that is not JSON", {"report", dir / "garbage.json"}, 1, "not JSON", {}},
      {"report of another version", {"report", dir / "v2.json"}, 1, "report_version", {}},
      {"usage error", {"apply", "--jobs", "99"}, 64, "--jobs takes 1 to 16", {}},
      {"unknown option", {"plan", "--frobnicate"}, 64, "unknown option '--frobnicate'", {}},
      {"serial that does not exist",
       {"plan", "-u", url, "--transport", "usb", "--serial", "12345678,40F5849A"},
       5,
       "module 12345678 was not found",
       {{0x12345678, FleetState::NOT_FOUND}, {a, FleetState::PLANNED}}},
      {"module gone since the earlier report",
       {"apply", "-u", url, "--transport", "usb", "--retry-failed", dir / "gone.json"},
       5,
       "not found",
       {{0x12345678, FleetState::NOT_FOUND}}},
      {"a build the server does not have: nothing flashed",
       {"apply", "-u", url, "--transport", "usb", "--build", "1400"},
       1,
       "nothing was updated: build 1400 for module 40F5849A could not be downloaded",
       {{a, FleetState::FAILED}, {b, FleetState::CANCELED}}},
      {"store that can't be written", {"plan", "-i", "/dev/null/x"}, 1, "Could not find", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string json = dir / "case.json";
    unlink(json.c_str());
    std::vector<std::string> args = c.args;
    if (!c.states.empty()) args.insert(args.end(), {"--json", json});
    RunResult r = Fleet(args, bus);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
    if (c.states.empty()) continue;
    auto modules = Modules(json);
    for (const auto& kv : c.states) EXPECT_EQ(modules[kv.first].state, kv.second) << Hex8(kv.first);
    EXPECT_FALSE(testsupport::Exists(state(a))) << "a module was touched";
  }

  // Another process holds a's update: a is skipped with the reason; b is
  // not asked for.
  testsupport::Run("/bin/mkdir", {"-p", store() + "/.locks"});
  int held = open((store() + "/.locks/" + Hex8(a) + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  std::string json = dir / "held.json";
  RunResult r =
      Fleet({"apply", "-u", url, "--transport", "usb", "--serial", Hex8(a), "--json", json}, bus);
  close(held);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  auto modules = Modules(json);
  EXPECT_EQ(modules[a].state, FleetState::SKIPPED);
  EXPECT_EQ(modules[a].error.message, "being updated by another process");
  EXPECT_FALSE(testsupport::Exists(state(a)));
}

// The report reader refuses what is not a report, and reads back what the
// writer wrote, texts with quotes, control characters and bad bytes included.
TEST(FleetReportText, TheReaderRefusesBadInputAndReadsWhatTheWriterWrote) {
  FleetReport report;
  report.tool = "updater-fleet 9";
  report.host = "host \"A\"\\\n\x01";
  report.mode = "apply";
  report.started = report.finished = "2024-11-08T12:00:00Z";
  FleetModule m;
  m.serial = 0x40F5849A;
  m.model = "Mor\xFFlet";
  m.router = 0xD272031D;
  m.state = FleetState::FAILED;
  m.action = FleetAction::UPDATE;
  m.buildBefore = 1;
  m.buildTarget = 4000000000u;
  m.error.set = true;
  m.error.code = 25;
  m.error.name = "vErrConnection";
  m.error.message = "<tab>\t\"é\"";
  report.modules.push_back(m);
  std::string json = FleetJson(report);
  FleetReport back;
  std::string error;
  ASSERT_TRUE(FleetParseReport(json, &back, &error)) << error << json;
  EXPECT_EQ(back.host, report.host);
  ASSERT_EQ(back.modules.size(), 1u);
  EXPECT_EQ(back.modules[0].model, "Mor\xEF\xBF\xBDlet");  // the bad byte became U+FFFD
  EXPECT_EQ(back.modules[0].error.message, m.error.message);
  EXPECT_EQ(back.modules[0].router, m.router);
  EXPECT_EQ(back.modules[0].buildTarget, m.buildTarget);
  std::string junit = FleetJUnit(report);
  EXPECT_EQ(junit.find('\x01'), std::string::npos);
  EXPECT_NE(junit.find("&lt;tab&gt;\t&quot;"), std::string::npos) << junit;

  const char* bad[] = {
      "",
      "[]",
      "{\"report_version\": 1",
      "{\"report_version\": \"1\", \"modules\": []}",
      "{\"report_version\": 1.5}",
      "{\"report_version\": 1} x",
      "{\"report_version\": 1, \"report_version\": 1}",
      "{\"a\": \"\\ud800\"}",
      "{\"a\": \"\x01\"}",
      "{\"a\": \"\xC0\xAF\"}",
      "{\"a\": 01}",
      "{\"a\": -}",
      "{\"a\": tru}",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(FleetParseReport(text, &back, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // A field of the wrong kind names itself; nesting is bounded.
  std::string wrong = json;
  wrong.replace(wrong.find("\"attempts\": 0"), 13, "\"attempts\": -1");
  EXPECT_FALSE(FleetParseReport(wrong, &back, &error));
  EXPECT_NE(error.find("\"attempts\""), std::string::npos) << error;
  EXPECT_FALSE(FleetParseReport(std::string(100000, '['), &back, &error));
}

}  // namespace
