// The option scanner: words are matched against one table, exactly or by an
// unambiguous prefix, and handed to the handlers. Scanner errors are skipped
// silently; handler errors print a message and make the result 1.
#include "Parameters.h"

#include <cstring>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterDefaults.h"

namespace {

enum class Kind { Help, Command, Parameter };

struct OptionEntry {
  const char* text;
  Kind kind;
  bool takesArgument;
};

const OptionEntry kOptions[] = {
    {"-B", Kind::Command, false},        {"-L", Kind::Command, false},
    {"-D", Kind::Command, false},        {"-G", Kind::Command, false},
    {"-I", Kind::Command, false},        {"-U", Kind::Command, false},
    {"-OVERRIDE", Kind::Command, false}, {"-N", Kind::Command, false},
    {"-Y", Kind::Command, false},        {"-C", Kind::Command, false},
    {"-h", Kind::Help, false},           {"-H", Kind::Help, false},
    {"-n", Kind::Parameter, false},      {"-X", Kind::Parameter, true},
    {"-Z", Kind::Parameter, true},       {"-i", Kind::Parameter, true},
    {"-b", Kind::Parameter, true},       {"-d", Kind::Parameter, true},
    {"-t", Kind::Parameter, true},       {"-f", Kind::Parameter, true},
    {"-r", Kind::Parameter, true},       {"-s", Kind::Parameter, true},
    {"-o", Kind::Parameter, true},       {"-e", Kind::Parameter, true},
    {"-l", Kind::Parameter, true},       {"-k", Kind::Parameter, true},
    {"-u", Kind::Parameter, true},       {"--help", Kind::Help, false},
};

size_t sLeadingDashes(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && text[n] == '-') ++n;
  return n;
}

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
  const auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
  int status = 0;
  if (argc > 0 && argv[0]) {
    const char* name = argv[0];
    for (const char* p = argv[0]; *p; ++p)
      if (*p == '/' || *p == '\\') name = p + 1;
    params->appName = name;
  }

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

    const std::string option = entry->text;
    if (entry->kind == Kind::Help) {
      params->commands.Set(CMD_HELP);
      params->helpRequested = true;
      return 0;
    }
    if (option == "-B")
      params->commands.Set(CMD_LIST_BUILDS);
    else if (option == "-L")
      params->commands.Set(CMD_LIST_LOCAL_BUILDS);
    else if (option == "-D")
      params->commands.Set(CMD_DISCOVER);
    else if (option == "-G")
      params->commands.Set(CMD_GET_BUILD);
    else if (option == "-I")
      params->commands.Set(CMD_INFO);
    else if (option == "-U")
      params->commands.Set(CMD_UPDATE);
    else if (option == "-N")
      params->commands.Set(CMD_FINGERPRINT);
    else if (option == "-C")
      params->commands.Set(CMD_CHECK);
    else if (option == "-OVERRIDE")
      params->override = true;
    else if (option == "-Y") {
      display.message(ERROR, "Unhandled command: [%s]", "-Y");
      status = 1;
    } else if (option == "-X") {
      params->logMaskGiven = true;
      const char* rest;
      if (sHasHexPrefix(argument))
        params->logMask = sDigitsValue(argument + 2, 16, &rest);
      else
        params->logMask = sDigitsValue(argument, 10, &rest);
      if (*rest)
        display.message(ERROR, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        "-X", rest);
      else
        Log::ActivatePackage(params->logMask);
    } else if (option == "-Z") {
      params->commands.Set(CMD_OPTION_Z);
    } else if (option == "-b") {
      params->build = std::to_string(_get_int_arg(argument, nullptr));
    } else if (option == "-d") {
      if (!sSerialArgument(display, argument, &params->serial,
                           "Discarding '0x' serial number prefix\n",
                           "Invalid serial number obtained from argument [%s]"))
        status = 1;
    } else if (option == "-r") {
      if (!sSerialArgument(display, argument, &params->routerSerial,
                           "Discarding '0x' router serial number prefix\n",
                           "Invalid router serial number obtained from argument [%s]"))
        status = 1;
    } else if (option == "-t") {
      params->transportGiven = true;
      if (strncmp(argument, "USB", 3) == 0) {
        params->transport = linkTypeUSB;
      } else if (strncmp(argument, "TCP", 3) == 0) {
        params->transport = linkTypeTCPIP;
      } else if (strncmp(argument, "RECOVER", 7) == 0) {
        params->transport = 255;
      } else {
        display.message(ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                        "RECOVER",
                        argument);
        params->transport = 0;
        status = 1;
      }
    } else if (option == "-o") {
      params->baudRate = _get_int_arg(argument, nullptr);
    } else if (option == "-f") {
      params->birdFile = argument;
    } else if (option == "-i") {
      params->storeDirectory = argument;
    } else if (option == "-k") {
      params->logFile = argument;
    } else if (option == "-l") {
      params->logMessage = argument;
    } else if (option == "-s") {
      params->serialPort = argument;
    } else if (option == "-u") {
      params->serverUrl = sServerUrl(argument);
    } else if (option == "-e") {
      params->echo = true;
    } else if (option == "-n") {
      params->networkFlag = true;
    }
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
  return status;
}
