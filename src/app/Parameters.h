// The parsed command line and the option scanner that fills it.
#pragma once
#include <cstdint>
#include <string>

#include "UpdaterDefaults.h"
#include "vLinkSpec.h"

class CLI_Display;

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET_BUILD = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_OPTION_Z = 0x00000080,
  CMD_LIST_LOCAL_BUILDS = 0x00000200,
  CMD_HELP = 0x80000000,
};

// Every bit a command can set, except help (and a few bits no option sets).
#define CMD_ANY_COMMAND 0x000307FFu

class CommandsClass {
 public:
  void Set(uint32_t bits) { value_ |= bits; }
  bool IsSet(uint32_t bits) const { return (value_ & bits) != 0; }
  uint32_t Value() const { return value_; }

 private:
  uint32_t value_ = 0;
};

struct Parameters {
  CommandsClass commands;
  uint32_t serial = 0;
  uint32_t routerSerial = 0;
  uint32_t transport = linkTypeUSB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 115200;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string logMessage;
  std::string build;
  bool echo = false;
  std::string serverUrl = UPDATER_DEFAULT_SERVER_URL;
  bool networkFlag = false;
  std::string storeDirectory;
  std::string appName;
  std::string logFile = "Updater.log";
  bool override = false;
  bool logMaskGiven = false;
  bool helpRequested = false;
  uint32_t logMask = 0;
};

// Fills params from the command line; 1 when an option handler found an error.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);
// Value of an all-hexadecimal text (low 32 bits), end past the digits; else 0.
uint32_t _get_hex_arg(const char* text, char** end);
// Value of an all-decimal text (low 32 bits), end past the digits; else 0.
uint32_t _get_int_arg(const char* text, char** end);

void _display_app_version(CLI_Display& display);
void _display_copyright(CLI_Display& display);
void _display_usage(bool extended, bool full);

// The whole program; main returns its result.
int updater_main(int argc, char** argv);
