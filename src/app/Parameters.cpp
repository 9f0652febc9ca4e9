// The option scanner: words are matched against one table, exactly or by an
// unambiguous prefix, and the matched row does its work: it sets its command
// bit, runs its handler, or both. Scanner errors are skipped silently; handler
// errors print a message and make the result 1.
#include "Parameters.h"

#include <cstring>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterDefaults.h"

namespace {

size_t sLeadingDashes(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && text[n] == '-') ++n;
  return n;
}

bool sAllOf(const char* text, const char* digits) { return strspn(text, digits) == strlen(text); }

uint32_t sDigitsValue(const char* text, unsigned base, const char** end) {
  uint32_t value = 0;
  const char* p = text;
  for (;; ++p) {
    unsigned digit;
    char c = *p;
    if (c >= '0' && c <= '9')
      digit = unsigned(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = unsigned(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = unsigned(c - 'A' + 10);
    else
      break;
    value = value * base + digit;  // keeps the low 32 bits
  }
  *end = p;
  return value;
}

bool sHasHexPrefix(const char* text) {
  return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// -d and -r: drop a "0x" prefix, then read hexadecimal; 0 is an error.
bool sSerialArgument(CLI_Display& display, const char* argument, uint32_t* out,
                     const char* discardLog, const char* invalidMessage) {
  if (sHasHexPrefix(argument)) {
    argument += 2;
    Log::log(DEBUG_Updater, "%s", discardLog);
  }
  *out = _get_hex_arg(argument, nullptr);
  if (*out == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, invalidMessage, argument);
    return false;
  }
  return true;
}

// The server URL for a -u value. The documented form host:port (or any value
// without a scheme) gets the default URL's scheme, and its path when it names
// none; a full URL is kept as it is.
std::string sServerUrl(const char* value) {
  std::string text = value ? value : "";
  if (text.empty() || text.find("://") != std::string::npos) return text;
  const std::string defaults = UPDATER_DEFAULT_SERVER_URL;
  const size_t schemeEnd = defaults.find("://") + 3;
  const size_t pathStart = defaults.find('/', schemeEnd);
  std::string url = defaults.substr(0, schemeEnd) + text;
  if (text.find('/') == std::string::npos && pathStart != std::string::npos)
    url += defaults.substr(pathStart);
  return url;
}

// What a row's handler tells the scanner: go on, go on but fail the whole
// command line, or stop scanning here (help) with success.
enum class Outcome { Next, Error, Stop };

using Handler = Outcome (*)(CLI_Display& display, const char* argument, Parameters* params);

const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

Outcome sHelp(CLI_Display&, const char*, Parameters* params) {
  params->helpRequested = true;
  return Outcome::Stop;
}

Outcome sUnhandled(CLI_Display& display, const char*, Parameters*) {
  display.message(ERROR, "Unhandled command: [%s]", "-Y");
  return Outcome::Error;
}

// -X: a decimal or 0x-prefixed hexadecimal mask of log packages to switch on;
// masks of several -X add up. A value with trailing garbage is reported and
// switches nothing on.
Outcome sLogMask(CLI_Display& display, const char* argument, Parameters* params) {
  params->logMaskGiven = true;
  const char* rest;
  if (sHasHexPrefix(argument))
    params->logMask = sDigitsValue(argument + 2, 16, &rest);
  else
    params->logMask = sDigitsValue(argument, 10, &rest);
  if (*rest)
    display.message(ERROR, "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                    rest);
  else
    Log::ActivatePackage(params->logMask);
  return Outcome::Next;
}

Outcome sSerial(CLI_Display& display, const char* argument, Parameters* params) {
  return sSerialArgument(display, argument, &params->serial,
                         "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]")
             ? Outcome::Next
             : Outcome::Error;
}

Outcome sRouterSerial(CLI_Display& display, const char* argument, Parameters* params) {
  return sSerialArgument(display, argument, &params->routerSerial,
                         "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]")
             ? Outcome::Next
             : Outcome::Error;
}

// -t: the value is matched by its first letters, so "TCPIP" selects TCP.
Outcome sTransport(CLI_Display& display, const char* argument, Parameters* params) {
  params->transportGiven = true;
  if (strncmp(argument, "USB", 3) == 0) {
    params->transport = linkTypeUSB;
  } else if (strncmp(argument, "TCP", 3) == 0) {
    params->transport = linkTypeTCPIP;
  } else if (strncmp(argument, "RECOVER", 7) == 0) {
    params->transport = TRANSPORT_RECOVER;
  } else {
    display.message(ERROR,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                    "RECOVER",
                    argument);
    params->transport = 0;
    return Outcome::Error;
  }
  return Outcome::Next;
}

// Rows that only keep their argument, or only note that they were given.
template <std::string Parameters::*field>
Outcome sKeep(CLI_Display&, const char* argument, Parameters* params) {
  params->*field = argument;
  return Outcome::Next;
}

template <bool Parameters::*flag>
Outcome sFlag(CLI_Display&, const char*, Parameters* params) {
  params->*flag = true;
  return Outcome::Next;
}

// One row per option: its text, whether it takes an argument, the command bit
// it sets (0 for none) and the handler that reads its argument (null for none).
// A new option is a new row here.
struct OptionEntry {
  const char* text;
  bool takesArgument;
  uint32_t command;
  Handler handle;
};

const OptionEntry kOptions[] = {
    {"-B", false, CMD_LIST_BUILDS, nullptr},
    {"-L", false, CMD_LIST_LOCAL_BUILDS, nullptr},
    {"-D", false, CMD_DISCOVER, nullptr},
    {"-G", false, CMD_GET_BUILD, nullptr},
    {"-I", false, CMD_INFO, nullptr},
    {"-U", false, CMD_UPDATE, nullptr},
    {"-OVERRIDE", false, 0, sFlag<&Parameters::override>},
    {"-N", false, CMD_FINGERPRINT, nullptr},
    {"-Y", false, 0, sUnhandled},
    {"-C", false, CMD_CHECK, nullptr},
    {"-h", false, CMD_HELP, sHelp},
    {"-H", false, CMD_HELP, sHelp},
    {"-n", false, 0, sFlag<&Parameters::networkFlag>},
    {"-X", true, 0, sLogMask},
    {"-Z", true, CMD_OPTION_Z, nullptr},
    {"-i", true, 0, sKeep<&Parameters::storeDirectory>},
    {"-b", true, 0,
     [](CLI_Display&, const char* a, Parameters* p) {
       p->build = std::to_string(_get_int_arg(a, nullptr));
       return Outcome::Next;
     }},
    {"-d", true, 0, sSerial},
    {"-t", true, 0, sTransport},
    {"-f", true, 0, sKeep<&Parameters::birdFile>},
    {"-r", true, 0, sRouterSerial},
    {"-s", true, 0, sKeep<&Parameters::serialPort>},
    {"-o", true, 0,
     [](CLI_Display&, const char* a, Parameters* p) {
       p->baudRate = _get_int_arg(a, nullptr);
       return Outcome::Next;
     }},
    // -e takes a value but only its presence counts.
    {"-e", true, 0, sFlag<&Parameters::echo>},
    {"-l", true, 0, sKeep<&Parameters::logMessage>},
    {"-k", true, 0, sKeep<&Parameters::logFile>},
    {"-u", true, 0,
     [](CLI_Display&, const char* a, Parameters* p) {
       p->serverUrl = sServerUrl(a);
       return Outcome::Next;
     }},
    {"--help", false, CMD_HELP, sHelp},
};

// The entry the word selects: equal to its text, or a prefix of exactly one
// entry with as many leading dashes. Null for none or an ambiguous prefix.
const OptionEntry* sLookup(const std::string& name) {
  for (const OptionEntry& e : kOptions)
    if (name == e.text) return &e;
  const OptionEntry* found = nullptr;
  size_t dashes = sLeadingDashes(name);
  for (const OptionEntry& e : kOptions) {
    std::string text = e.text;
    if (sLeadingDashes(text) != dashes || text.compare(0, name.size(), name) != 0) continue;
    if (found) return nullptr;
    found = &e;
  }
  return found;
}

// The file name of the program, without its directories.
std::string sAppName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
  if (!text || !sAllOf(text, "0123456789ABCDEFabcdef")) return 0;
  const char* stop;
  uint32_t value = sDigitsValue(text, 16, &stop);
  if (end) *end = const_cast<char*>(stop);
  return value;
}

uint32_t _get_int_arg(const char* text, char** end) {
  if (!text || !sAllOf(text, "0123456789")) return 0;
  const char* stop;
  uint32_t value = sDigitsValue(text, 10, &stop);
  if (end) *end = const_cast<char*>(stop);
  return value;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
  int status = 0;
  if (argc > 0 && argv[0]) params->appName = sAppName(argv[0]);

  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (!word || word[0] != '-') continue;
    const char* eq = strchr(word, '=');
    std::string name = eq ? std::string(word, size_t(eq - word)) : std::string(word);
    const OptionEntry* entry = sLookup(name);
    if (!entry) continue;
    if (!entry->takesArgument && eq) continue;

    const char* argument = nullptr;
    if (entry->takesArgument) {
      if (eq) {
        argument = eq + 1;
      } else if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-') {
        argument = argv[++i];
      } else {
        continue;  // missing argument: the next word is read as an option
      }
    }

    params->commands.Set(entry->command);
    const Outcome outcome =
        entry->handle ? entry->handle(display, argument, params) : Outcome::Next;
    if (outcome == Outcome::Stop) return 0;
    if (outcome == Outcome::Error) status = 1;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
  return status;
}
