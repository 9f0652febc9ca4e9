// velmarine-sim: simulated Velmarine modules on TCP ports and pseudo-terminals.
// Prints one line per endpoint as soon as it listens, then serves until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "VelmarineSim.h"

namespace {

const char kUsage[] =
    "Usage: velmarine-sim [options]\n"
    "Simulates Velmarine modules that speak the packet protocol on TCP ports and\n"
    "pseudo-terminals. Each endpoint is printed on standard output as soon as it\n"
    "listens, one per line: \"tcp HOST:PORT SERIAL\" or \"pty PATH SERIAL\", then\n"
    "\"discovery 232.2.2.2:9888 ADDRESS\" (\"*\" for every interface) once the\n"
    "discovery responder answers.\n"
    "Runs until SIGTERM or SIGINT, then prints what each endpoint saw on standard error.\n"
    "\n"
    "Options (--tcp, --pty and --fault apply to the module given last):\n"
    "  --module SPEC       add a module; SPEC is a comma-separated list of\n"
    "                        serial=HEX      serial number (default 40F5849A)\n"
    "                        model=N         model number (default 19)\n"
    "                        address=N       even, non-zero module address (default 4)\n"
    "                        router=N        address of the module it sits behind (default 0);\n"
    "                                        packets for it arrive through that module's links\n"
    "                        version=X.Y.Z   firmware version, or a packed 0x value (default "
    "2.15.3)\n"
    "                        build=N         build number (default 1)\n"
    "                        hb=MS           heartbeat interval in ms, 0 for none (default 0)\n"
    "                        name=TEXT       the system entity's name (at most 32 bytes)\n"
    "                        fingerprint=W0.W1.W2.W3\n"
    "                                        chip fingerprint, hex words; option 39 with\n"
    "                                        parameter j reads word 3-j\n"
    "                        block-size=N    upgrade loader chunk size (default 2048)\n"
    "                        reboot-pause=MS time away after Reboot (default 500)\n"
    "                        load-pause=MS   time away after a Load that restarts (default 300)\n"
    "                        state=FILE      keep flash, build and version in FILE across runs\n"
    "                        loader          start in the upgrade loader (no Init or Load needed)\n"
    "  --tcp [HOST:]PORT   TCP server for the module, one link per connection;\n"
    "                      PORT 0 picks a free port; HOST defaults to 127.0.0.1\n"
    "  --pty               pseudo-terminal for the module (a serial link)\n"
    "  --fault SPEC        faults of the module; SPEC is a comma-separated list of\n"
    "                        garbage=HEX       bytes injected by the faults below (default "
    "01FF03)\n"
    "                        garbage-after=N   inject them after N packets sent on a link\n"
    "                        drop-after=N      drop the first link after N host packets\n"
    "                                          (TCP: reset; pty: hang up)\n"
    "                        refuse-after-drop stop listening once a link was dropped\n"
    "                        drop-close        drop TCP links with an orderly close, not a reset\n"
    "                        mute=CMD[:OPT]    never answer command CMD (option OPT);\n"
    "                                          mute=0xAD leaves the probe unanswered\n"
    "                        flaky=N           leave every Nth request unanswered, probes\n"
    "                                          included (flaky=2: every other one)\n"
    "                        delay=MS[:CMD]    send replies (to CMD only) MS ms late\n"
    "                        split=N           write every burst in chunks of N bytes\n"
    "                        split-gap=MS      pause between those chunks (default 2)\n"
    "                        hb-timeout=MS     time the host has to answer a heartbeat\n"
    "                                          (default 1000)\n"
    "                        data-short=K      acknowledge upgrade Data packet K short\n"
    "                        data-short-repeat=N  ...and N packets in a row (default 1)\n"
    "                        sum-off=K         upgrade Sum K answers the sum plus one\n"
    "                        prepare-fail=K    upgrade Prepare K answers status 1\n"
    "                        drop-in-block=K   reset the link on upgrade Data packet K\n"
    "                        load-mute         never answer upgrade Load\n"
    "                        load-drop         Load restarts the module; the reply follows\n"
    "                                          on the next link\n"
    "                        never-back        after Reboot the module never comes back\n"
    "                        init-short        answer upgrade Init with 5 bytes\n"
    "                        reboot-close      at Reboot close TCP links gracefully and\n"
    "                                          keep listening\n"
    "  --discovery         answer UDP discovery requests (232.2.2.2 port 9888) for the\n"
    "                      modules with a --tcp endpoint, on every interface\n"
    "  --discovery-interface ADDRESS\n"
    "                      answer them only on the interface with this IPv4 address\n"
    "                      (implies --discovery)\n"
    "  --discovery-malformed\n"
    "                      send a short, an overlong and an empty reply before the real ones\n"
    "  --frame-timeout MS  drop a partly received packet after MS ms of silence (default 250)\n"
    "  --verbose           trace every packet on standard error\n"
    "  --help              show this text\n"
    "\n"
    "Example:\n"
    "  velmarine-sim --module serial=40F5849A,model=19,address=4,hb=1000 --tcp 0 --pty \\\n"
    "                --module serial=1234ABCD,address=6,router=4\n";

int Fail(const std::string& text) {
  fprintf(stderr, "velmarine-sim: %s\n", text.c_str());
  fprintf(stderr, "Try 'velmarine-sim --help'.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGTERM and SIGINT are taken with sigwait below; every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The whole command line is checked before anything opens, so a mistake
  // prints no endpoint.
  struct Open {
    uint32_t serial;
    bool tcp;
    std::string host;
    uint16_t port;
  };
  velsim::Simulator sim;
  std::vector<Open> opens;
  std::vector<uint32_t> serials;
  std::map<uint32_t, velsim::ModuleConfig> configs;
  bool discovery = false;
  velsim::DiscoveryOptions discoveryOptions;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
        return argv[++i];
      };
      auto lastModule = [&] {
        if (serials.empty()) throw std::invalid_argument(a + " must follow a --module");
        return serials.back();
      };
      if (a == "--help" || a == "-h") {
        fputs(kUsage, stdout);
        return 0;
      } else if (a == "--module") {
        velsim::ModuleConfig c = velsim::ParseModuleSpec(value());
        sim.AddModule(c);
        serials.push_back(c.serial);
        configs[c.serial] = c;
      } else if (a == "--tcp") {
        uint32_t serial = lastModule();
        std::string v = value();
        std::string host = "127.0.0.1";
        size_t colon = v.rfind(':');
        if (colon != std::string::npos) {
          host = v.substr(0, colon);
          v = v.substr(colon + 1);
        }
        opens.push_back({serial, true, host, uint16_t(velsim::ParseNumber(v, 65535, "TCP port"))});
      } else if (a == "--pty") {
        opens.push_back({lastModule(), false, "", 0});
      } else if (a == "--fault") {
        uint32_t serial = lastModule();
        velsim::FaultConfig f = sim.Faults(serial);
        velsim::ParseFaultSpec(value(), f);
        sim.SetFaults(serial, f);
      } else if (a == "--discovery") {
        discovery = true;
      } else if (a == "--discovery-interface") {
        discovery = true;
        discoveryOptions.interfaceAddress = value();
      } else if (a == "--discovery-malformed") {
        discoveryOptions.malformed = true;
      } else if (a == "--frame-timeout") {
        sim.SetFrameTimeoutMs(velsim::ParseNumber(value(), 600000, "frame timeout"));
      } else if (a == "--verbose") {
        sim.SetVerbose(true);
      } else {
        throw std::invalid_argument("unknown option \"" + a + "\"");
      }
    }
    if (serials.empty()) throw std::invalid_argument("no module given (--module)");
    if (opens.empty()) throw std::invalid_argument("no endpoint given (--tcp or --pty)");
  } catch (const std::invalid_argument& e) {
    return Fail(e.what());
  }

  std::unique_ptr<velsim::DiscoveryResponder> responder;
  try {
    std::vector<velsim::DiscoveryEntry> entries;
    for (const Open& o : opens) {
      velsim::Endpoint ep = o.tcp ? sim.OpenTcp(o.serial, o.port, o.host) : sim.OpenPty(o.serial);
      if (o.tcp) {
        const velsim::ModuleConfig& c = configs[o.serial];
        entries.push_back({c.serial, c.model, c.address, ep.port});
      }
      printf("%s\n", ep.Line().c_str());
      fflush(stdout);
    }
    if (discovery) {
      responder.reset(new velsim::DiscoveryResponder(entries, discoveryOptions));
      responder->Start();
      // Tells a waiting test that requests are answered from here on.
      printf("discovery 232.2.2.2:9888 %s\n", discoveryOptions.interfaceAddress.empty()
                                                  ? "*"
                                                  : discoveryOptions.interfaceAddress.c_str());
      fflush(stdout);
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "velmarine-sim: %s\n", e.what());
    return 1;
  }

  // Endpoints already listen; links are served from here on.
  sim.Start();
  int sig = 0;
  sigwait(&stopSignals, &sig);
  if (responder) responder->Stop();
  sim.Stop();
  fputs(sim.Summary().c_str(), stderr);
  return 0;
}
