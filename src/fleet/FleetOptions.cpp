// The option table of updater-fleet: each row names an option, whether it
// takes an argument, and the handler that stores it.
#include "FleetOptions.h"

#include <cstring>

#include "Parameters.h"

namespace {

struct OptionRow {
  const char* name;
  bool argument;
  // Stores the argument; false with *error set when it is not valid.
  bool (*handle)(const std::string& value, FleetOptions* o, std::string* error);
};

bool sNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool sSerialList(const std::string& text, std::vector<uint32_t>* list, std::string* error) {
  size_t pos = 0;
  do {
    size_t comma = text.find(',', pos);
    std::string one =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    uint32_t serial = 0;
    if (!FleetParseSerial(one, &serial)) {
      *error = "not a serial number: '" + one + "'";
      return false;
    }
    list->push_back(serial);
    pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
  } while (pos <= text.size());
  return true;
}

#define NUMBER_OPTION(field, max, what)                                               \
  [](const std::string& v, FleetOptions* o, std::string* e) {                         \
    uint64_t n = 0;                                                                   \
    if (!sNumber(v, max, &n)) return *e = std::string(what) + ": '" + v + "'", false; \
    o->field = decltype(o->field)(n);                                                 \
    return true;                                                                      \
  }

const OptionRow kOptions[] = {
    {"--transport", true,
     [](const std::string& v, FleetOptions* o, std::string* e) {
       if (v == "usb" || v == "USB") {
         o->usb = true, o->tcpip = false;
       } else if (v == "tcpip" || v == "TCPIP") {
         o->usb = false, o->tcpip = true;
       } else if (v == "all") {
         o->usb = o->tcpip = true;
       } else {
         return *e = "--transport takes usb, tcpip or all, not '" + v + "'", false;
       }
       return true;
     }},
    {"--router", true,
     [](const std::string& v, FleetOptions* o, std::string* e) {
       return sSerialList(v, &o->routers, e);
     }},
    {"--serial", true,
     [](const std::string& v, FleetOptions* o, std::string* e) {
       return sSerialList(v, &o->serials, e);
     }},
    {"--exclude", true,
     [](const std::string& v, FleetOptions* o, std::string* e) {
       return sSerialList(v, &o->excluded, e);
     }},
    {"--model", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->model = v;
       return true;
     }},
    {"--build", true, NUMBER_OPTION(build, UINT32_MAX, "--build takes a build number")},
    {"--offline", false,
     [](const std::string&, FleetOptions* o, std::string*) { return o->offline = true; }},
    {"-u", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->serverUrl = v;
       return true;
     }},
    {"-i", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->storeParent = v;
       return true;
     }},
    {"--jobs", true, NUMBER_OPTION(jobs, kFleetMaxJobs, "--jobs takes 1 to 16")},
    {"--reboot-timeout", true,
     NUMBER_OPTION(rebootTimeoutS, 3600, "--reboot-timeout takes seconds (at most 3600)")},
    {"--max-failures", true, NUMBER_OPTION(maxFailures, 1000000, "--max-failures takes a number")},
    {"--retry-failed", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->retryFailed = v;
       return true;
     }},
    {"--json", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->json = v;
       return true;
     }},
    {"--junit", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->junit = v;
       return true;
     }},
    {"--log-dir", true,
     [](const std::string& v, FleetOptions* o, std::string*) {
       o->logDir = v;
       return true;
     }},
    {"-X", true,
     [](const std::string& v, FleetOptions* o, std::string* e) {
       char* end = nullptr;
       unsigned long mask = strtoul(v.c_str(), &end, 0);
       if (v.empty() || *end) return *e = "-X takes a mask: '" + v + "'", false;
       o->logMask = uint32_t(mask);
       return o->logMaskGiven = true;
     }},
    {"--address", true, NUMBER_OPTION(address, 254, "--address takes 2 to 254")},
    {"--help", false,
     [](const std::string&, FleetOptions* o, std::string*) { return o->help = true; }},
    {"-h", false, [](const std::string&, FleetOptions* o, std::string*) { return o->help = true; }},
    {"--version", false,
     [](const std::string&, FleetOptions* o, std::string*) { return o->version = true; }},
};

const char* const kCommands[] = {"plan", "apply", "watch", "report", "worker"};

}  // namespace

bool FleetParseHexSerial(const std::string& digits, uint32_t* serial) {
  if (digits.empty() || digits.size() > 8) return false;
  *serial = _get_hex_arg(digits.c_str(), nullptr);
  return *serial != 0;
}

bool FleetParseSerial(const std::string& text, uint32_t* serial) {
  bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return FleetParseHexSerial(prefixed ? text.substr(2) : text, serial);
}

bool FleetParseOptions(int argc, char** argv, FleetOptions* o, std::string* error) {
  bool commandSeen = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.empty() || word[0] != '-' || word == "-") {
      if (o->command == "report" && commandSeen) {
        o->reports.push_back(word);
        continue;
      }
      if (commandSeen) return *error = "unexpected argument '" + word + "'", false;
      bool known = false;
      for (const char* c : kCommands) known = known || word == c;
      if (!known) return *error = "unknown command '" + word + "'", false;
      o->command = word;
      commandSeen = true;
      continue;
    }
    std::string name = word, value;
    bool attached = false;
    size_t eq = word.find('=');
    if (word.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = word.substr(0, eq);
      value = word.substr(eq + 1);
      attached = true;
    }
    const OptionRow* row = nullptr;
    for (const OptionRow& r : kOptions)
      if (name == r.name) row = &r;
    if (!row) return *error = "unknown option '" + name + "'", false;
    if (row->argument && !attached) {
      if (i + 1 >= argc) return *error = name + " needs an argument", false;
      value = argv[++i];
    } else if (!row->argument && attached) {
      return *error = name + " takes no argument", false;
    }
    if (!row->handle(value, o, error)) return false;
  }
  if (o->command == "report" && o->reports.empty() && !o->help)
    return *error = "report needs one or more report files", false;
  return true;
}

std::string FleetUsage() {
  return "Usage: updater-fleet [plan|apply|watch] [OPTIONS]\n"
         "       updater-fleet report FILE...\n"
         "\n"
         "Plans, updates and reports on every Velmarine module in reach, in parallel.\n"
         "\n"
         "Commands:\n"
         "  plan                   discover the modules and show what apply would do (default)\n"
         "  apply                  update every module of the plan, each in a worker process\n"
         "  watch                  station mode: update each module plugged into USB, once\n"
         "  report FILE...         the summary of one or more JSON reports together\n"
         "\n"
         "Discovery and selection:\n"
         "  --transport usb|tcpip|all   where to look (default all)\n"
         "  --router SERIAL        scan the device network behind this router (repeatable)\n"
         "  --serial S[,S...]      only these modules\n"
         "  --model NAME           only modules of this model\n"
         "  --exclude S[,S...]     not these modules\n"
         "\n"
         "Builds:\n"
         "  --build N              this build for every module\n"
         "  -u URL                 the update server (default the updater's)\n"
         "  -i DIR                 the store's parent folder (default ~/.corvane)\n"
         "  --offline              the newest valid build in the store; no server\n"
         "\n"
         "Running:\n"
         "  --jobs N               modules updated at once (default all, at most 16)\n"
         "  --reboot-timeout S     how long a module may take to come back (default 30)\n"
         "  --max-failures N       start no new update after N failures\n"
         "  --retry-failed FILE    only the modules a report lists as failed or canceled\n"
         "  -X MASK                diagnostic mask of the module logs (default 0x101)\n"
         "\n"
         "Reports:\n"
         "  --json FILE            the JSON report (- for standard output)\n"
         "  --junit FILE           a JUnit XML file, one test case per module\n"
         "  --log-dir DIR          one log per module (default a folder per run in the store)\n"
         "\n"
         "  -h, --help             this text\n"
         "  --version              the version\n"
         "\n"
         "Exit status: 0 every module at its target, 1 fatal error before any module was\n"
         "touched, 3 some failed, were canceled or skipped, 4 every attempted module failed,\n"
         "5 a module asked for was not found, 64 usage error, 130 interrupted.\n";
}
