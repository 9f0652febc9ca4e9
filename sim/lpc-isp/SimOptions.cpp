// Command-line options of lpc-isp-sim: the chip's identity, the flash image
// files and the fault switches, with the usage text that documents them.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "LpcIspSim.h"

namespace lpcsim {
namespace {

bool Number(const std::string& text, uint32_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || !end || *end || text[0] == '-' || v > 0xFFFFFFFFull) return false;
  value = uint32_t(v);
  return true;
}

}  // namespace

const char* UsageText() {
  return "Usage: lpc-isp-sim [options]\n"
         "A simulated LPC17xx ISP boot ROM on a pseudo-terminal. When ready it prints\n"
         "\"pty <path>\" on standard output; it runs until SIGTERM, SIGINT or SIGHUP.\n"
         "\n"
         "Chip:\n"
         "  --serial W0,W1,W2,W3   device serial number words (decimal or 0x hex)\n"
         "                         answered to \"N\" (default 0x12345678,0x9ABCDEF0,\n"
         "                         0x0F1E2D3C,0x4B5A6978)\n"
         "  --part-id N            part identifier answered to \"J\" (default 0x26013F37)\n"
         "  --boot-version MAJ.MIN boot code version answered to \"K\" (default 4.1)\n"
         "Flash:\n"
         "  --flash FILE           initial flash contents from offset 0 (else erased)\n"
         "  --dump FILE            write the whole 512 KB flash to FILE at exit\n"
         "Faults:\n"
         "  --silent               answer nothing at all, not even the sync\n"
         "  --mute LETTERS         commands (e.g. NJ) echoed but never answered\n"
         "  --wrong-echo           echo command-mode bytes altered\n"
         "  --resend N             answer the first N write checksums with RESEND\n"
         "  --checksum-reply TEXT  answer the first write checksum with TEXT and end\n"
         "                         the transfer\n"
         "  --bad-read-checksum N  send the first N read blocks with a wrong checksum\n"
         "  --fail C=CODE          answer command letter C with return code CODE\n"
         "                         (repeatable)\n"
         "  --hang-after N         after N bytes of write data stop answering; once the\n"
         "                         line has been quiet for a second, behave as after a\n"
         "                         reset (autobaud, locked, echo on; flash kept)\n"
         "Other:\n"
         "  --pace BAUD            give every byte received and sent its time on a\n"
         "                         wire at BAUD (10 bits a byte)\n"
         "  --log FILE             append the events (commands, data, checksums) to FILE\n"
         "  --baud-check           after the autobaud, lose bytes sent at another rate\n"
         "                         than the one set on the terminal then\n"
         "  --verbose              trace received lines and events on standard error\n"
         "  --help                 show this text\n";
}

bool ParseSerial(const std::string& text, uint32_t words[4]) {
  std::istringstream in(text);
  std::string item;
  uint32_t parsed[4];
  int n = 0;
  while (std::getline(in, item, ',')) {
    if (n == 4 || !Number(item, parsed[n])) return false;
    n++;
  }
  if (n != 4) return false;
  for (int i = 0; i < 4; i++) words[i] = parsed[i];
  return true;
}

bool ParseArguments(int argc, char** argv, Options& opts, std::string& dumpPath,
                    std::string& flashPath, std::string& error, bool& help) {
  help = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--serial") {
      if (!value(v)) return false;
      if (!ParseSerial(v, opts.serial)) {
        error = "--serial needs four numbers separated by commas: " + v;
        return false;
      }
    } else if (arg == "--part-id") {
      if (!value(v)) return false;
      if (!Number(v, opts.partId)) {
        error = "--part-id needs a number: " + v;
        return false;
      }
    } else if (arg == "--boot-version") {
      if (!value(v)) return false;
      size_t dot = v.find('.');
      if (dot == std::string::npos || !Number(v.substr(0, dot), opts.bootMajor) ||
          !Number(v.substr(dot + 1), opts.bootMinor) || opts.bootMajor > 255 ||
          opts.bootMinor > 255) {
        error = "--boot-version needs MAJOR.MINOR (0 to 255 each): " + v;
        return false;
      }
    } else if (arg == "--flash") {
      if (!value(flashPath)) return false;
    } else if (arg == "--dump") {
      if (!value(dumpPath)) return false;
    } else if (arg == "--silent") {
      opts.silent = true;
    } else if (arg == "--mute") {
      if (!value(opts.muteCommands)) return false;
    } else if (arg == "--wrong-echo") {
      opts.wrongEcho = true;
    } else if (arg == "--resend") {
      if (!value(v)) return false;
      if (!Number(v, opts.resendCount)) {
        error = "--resend needs a count: " + v;
        return false;
      }
    } else if (arg == "--checksum-reply") {
      if (!value(opts.checksumReply)) return false;
      if (opts.checksumReply.empty()) {
        error = "--checksum-reply needs a non-empty text";
        return false;
      }
    } else if (arg == "--bad-read-checksum") {
      if (!value(v)) return false;
      if (!Number(v, opts.badReadChecksums)) {
        error = "--bad-read-checksum needs a count: " + v;
        return false;
      }
    } else if (arg == "--fail") {
      if (!value(v)) return false;
      uint32_t code = 0;
      if (v.size() < 3 || v[1] != '=' || !Number(v.substr(2), code) || code > 255) {
        error = "--fail needs LETTER=CODE: " + v;
        return false;
      }
      opts.forcedCodes[v[0]] = int(code);
    } else if (arg == "--hang-after" || arg == "--pace") {
      if (!value(v)) return false;
      uint32_t& target = arg == "--pace" ? opts.pace : opts.hangAfter;
      if (!Number(v, target) || target == 0) {
        error = arg + " needs a positive number: " + v;
        return false;
      }
    } else if (arg == "--baud-check") {
      opts.baudCheck = true;
    } else if (arg == "--log") {
      if (!value(opts.logPath)) return false;
    } else if (arg == "--verbose") {
      opts.verbose = true;
    } else {
      error = "unknown option: " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace lpcsim
