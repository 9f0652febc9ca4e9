// Options of the simulated boot ROM, shared by the pseudo-terminal program
// and the HID stand-in library (which reads them from IMX_SDP_SIM_OPTIONS).
#include <cerrno>
#include <cstdlib>

#include "SdpRom.h"

namespace imxsim {
namespace {
bool ParseWord(const std::string& text, uint32_t max, uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || !end || *end || v > max) return false;
  value = uint32_t(v);
  return true;
}
}  // namespace

const char* UsageText() {
  return "Usage: imx-sdp-sim [OPTIONS]\n"
         "Simulates an i.MX boot ROM speaking the Serial Download Protocol on a\n"
         "pseudo-terminal. When ready it prints \"pty PATH\" on one line, then one line\n"
         "per command it executes (\"error-status\", \"read-register ADDR COUNT\",\n"
         "\"write-file ADDR COUNT\", \"loaded ADDR COUNT\", \"refused ADDR COUNT\",\n"
         "\"jump ADDR\", ...). A jump hands the line to the started image: the\n"
         "simulator then hangs up the terminal and exits with status 0.\n"
         "\n"
         "Options (numbers are decimal, or hexadecimal with 0x):\n"
         "  --help              Show this text and exit.\n"
         "  --fuse-low WORD     Fuse word at 0x401F4410 (default 0x8D3C4B21).\n"
         "  --fuse-high WORD    Fuse word at 0x401F4420 (default 0x00A1F00D).\n"
         "  --reg ADDR=WORD     Preset a 32-bit word of memory (repeatable).\n"
         "  --dump FILE         After each completed WRITE_FILE, write the memory from the\n"
         "                      lowest to the highest loaded byte (gaps as zero) to FILE.\n"
         "  --log FILE          Also append the event lines to FILE.\n"
         "  --hab open|closed|WORD\n"
         "                      Security status sent before every reply (default open,\n"
         "                      0x56787856; closed is 0x12343412).\n"
         "Fault switches:\n"
         "  --no-ack            Never answer anything (commands still execute).\n"
         "  --ignore N          Drop the first N commands unanswered and unexecuted.\n"
         "  --bad-hab           Send status 0x33333333 and refuse to load or start images:\n"
         "                      WRITE_FILE takes the data and answers the error status\n"
         "                      0x33CC33CC instead of 0x88888888; JUMP_ADDRESS answers\n"
         "                      0x33CC33CC and does not jump.\n"
         "  --early-reply       Send the security status as soon as WRITE_FILE arrives,\n"
         "                      before its data.\n"
         "  --no-complete       End WRITE_FILE with the security status only, without the\n"
         "                      completion word.\n"
         "  --jump-file FILE    At a successful jump, write the line \"jump\" to FILE.\n"
         "  --timestamps        Start every event line with the monotonic time in seconds.\n"
         "HID stand-in only (libhidapi_sim.so, options in IMX_SDP_SIM_OPTIONS):\n"
         "  --vid WORD --pid WORD  USB identifiers hid_open accepts (default 0x1FC9 0x0130).\n"
         "  --no-device         hid_open finds no device.\n"
         "  --plug SPEC         At a jump, put the module SPEC (SERIAL:MODEL[:options]) on\n"
         "                      the simulated USB bus loaded in the same process.\n"
         "  --watch FILE        Plug the --plug module once FILE exists (the jump of a\n"
         "                      loader started over the serial line, see --jump-file).\n";
}

std::string ParseOptions(const std::vector<std::string>& args, Options& options) {
  options.registers[kFuseLowAddress] = 0x8D3C4B21;
  options.registers[kFuseHighAddress] = 0x00A1F00D;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto takeValue = [&](std::string& out) -> bool {
      if (inlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto flag = [&](bool& target) -> std::string {
      if (inlineValue) return "option " + name + " takes no value";
      target = true;
      return "";
    };
    std::string error;
    if (name == "--help") {
      error = flag(options.help);
    } else if (name == "--no-ack") {
      error = flag(options.noAck);
    } else if (name == "--bad-hab") {
      error = flag(options.badHab);
    } else if (name == "--early-reply") {
      error = flag(options.earlyReply);
    } else if (name == "--no-complete") {
      error = flag(options.noComplete);
    } else if (name == "--no-device") {
      error = flag(options.noDevice);
    } else if (name == "--timestamps") {
      error = flag(options.timestamps);
    } else if (name == "--dump" || name == "--log" || name == "--jump-file" || name == "--watch") {
      std::string path;
      if (!takeValue(path) || path.empty()) return "option " + name + " needs a file name";
      if (name == "--dump") options.dumpPath = path;
      if (name == "--log") options.logPath = path;
      if (name == "--jump-file") options.jumpFile = path;
      if (name == "--watch") options.watchPath = path;
    } else if (name == "--plug") {
      if (!takeValue(options.plugSpec) || options.plugSpec.empty())
        return "option --plug needs SERIAL:MODEL[:options]";
    } else if (name == "--fuse-low" || name == "--fuse-high" || name == "--ignore" ||
               name == "--vid" || name == "--pid") {
      std::string text;
      uint32_t word;
      uint32_t max = (name == "--vid" || name == "--pid") ? 0xFFFF : 0xFFFFFFFF;
      if (!takeValue(text)) return "option " + name + " needs a number";
      if (!ParseWord(text, max, word)) return "option " + name + ": bad number \"" + text + "\"";
      if (name == "--fuse-low") options.registers[kFuseLowAddress] = word;
      if (name == "--fuse-high") options.registers[kFuseHighAddress] = word;
      if (name == "--ignore") options.ignore = word;
      if (name == "--vid") options.vendor = uint16_t(word);
      if (name == "--pid") options.product = uint16_t(word);
    } else if (name == "--reg") {
      std::string text;
      if (!takeValue(text)) return "option --reg needs ADDR=WORD";
      size_t sep = text.find('=');
      uint32_t address, word;
      if (sep == std::string::npos || !ParseWord(text.substr(0, sep), 0xFFFFFFFF, address) ||
          !ParseWord(text.substr(sep + 1), 0xFFFFFFFF, word))
        return "option --reg: bad ADDR=WORD \"" + text + "\"";
      if (address > 0xFFFFFFFC) return "option --reg: address past the end of memory";
      options.registers[address] = word;
    } else if (name == "--hab") {
      std::string text;
      if (!takeValue(text)) return "option --hab needs open, closed or a number";
      if (text == "open") {
        options.hab = kHabOpen;
      } else if (text == "closed") {
        options.hab = kHabClosed;
      } else if (!ParseWord(text, 0xFFFFFFFF, options.hab)) {
        return "option --hab: bad value \"" + text + "\"";
      }
    } else {
      return "unknown option \"" + args[i] + "\"";
    }
    if (!error.empty()) return error;
  }
  return "";
}

}  // namespace imxsim
