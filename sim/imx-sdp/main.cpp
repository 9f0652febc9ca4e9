// imx-sdp-sim: an i.MX Serial Download Protocol boot ROM on a pseudo-terminal.
// Prints "pty PATH" once the terminal is ready, then one line per command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "SdpRom.h"

namespace {
volatile sig_atomic_t sStop = 0;
void OnSignal(int) { sStop = 1; }

const uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr size_t kCommandSize = 16;

FILE* sLog = nullptr;
bool sTimestamps = false;

void Emit(const std::string& event) {
  std::string line = event;
  if (sTimestamps) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%ld.%06ld ", long(now.tv_sec), long(now.tv_nsec / 1000));
    line = stamp + event;
  }
  printf("%s\n", line.c_str());
  fflush(stdout);
  if (sLog) {
    fprintf(sLog, "%s\n", line.c_str());
    fflush(sLog);
  }
}

// The command types the ROM knows: both bytes equal, one of the listed values.
bool LooksLikeCommand(const uint8_t* p) {
  if (p[0] != p[1]) return false;
  switch (p[0]) {
    case 0x01:
    case 0x02:
    case 0x04:
    case 0x05:
    case 0x0A:
    case 0x0B: return true;
    default: return false;
  }
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  imxsim::Options options;
  std::string error = imxsim::ParseOptions(args, options);
  if (!error.empty()) {
    fprintf(stderr, "imx-sdp-sim: %s\nTry 'imx-sdp-sim --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    fputs(imxsim::UsageText(), stdout);
    return 0;
  }
  if (!options.logPath.empty()) {
    sLog = fopen(options.logPath.c_str(), "a");
    if (!sLog) {
      fprintf(stderr, "imx-sdp-sim: can't open %s: %s\n", options.logPath.c_str(), strerror(errno));
      return 1;
    }
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    fprintf(stderr, "imx-sdp-sim: can't create a pseudo-terminal: %s\n", strerror(errno));
    return 1;
  }
  const char* name = ptsname(master);
  std::string path = name ? name : "";
  // Holding the terminal side open keeps the pair alive between clients; it
  // starts raw, so nothing is echoed before a client configures it.
  int slave = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY);
  struct termios tio;
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    fprintf(stderr, "imx-sdp-sim: can't open the terminal side: %s\n", strerror(errno));
    return 1;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  imxsim::Rom rom(options, Emit);
  Emit("pty " + path);
  // Stamped from here on: the pty line stays plain for the scripts that wait for it.
  sTimestamps = options.timestamps;

  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  std::vector<imxsim::Rom::Reply> replies;
  while (!sStop) {
    struct pollfd p = {master, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    int ready = poll(&p, 1, 500);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (p.revents & POLLIN) {
      uint8_t buffer[4096];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) in.insert(in.end(), buffer, buffer + n);
    }
    // Turn the input into commands and data, in order.
    size_t used = 0;
    for (;;) {
      size_t left = in.size() - used;
      if (left == 0) break;
      const uint8_t* p8 = in.data() + used;
      if (rom.Started()) {
        used = in.size();  // the started image doesn't listen to the ROM's protocol
        break;
      }
      if (rom.InDataPhase()) {
        size_t n = rom.Data(p8, left, replies);
        if (n == 0) break;
        used += n;
        continue;
      }
      if (left >= 4 && memcmp(p8, kAssociation, 4) == 0) {
        Emit("associate");
        replies.push_back({0, std::vector<uint8_t>(kAssociation, kAssociation + 4)});
        used += 4;
        continue;
      }
      if (p8[0] == kAssociation[0]) {
        // Wait for the rest of a possible association; otherwise a stray byte.
        if (left < 4 && memcmp(p8, kAssociation, left) == 0) break;
        ++used;
        continue;
      }
      if (left < 2) break;
      // Regain the command boundary after stray bytes.
      if (!LooksLikeCommand(p8)) {
        ++used;
        continue;
      }
      if (left < kCommandSize) break;
      rom.Command(p8, replies);
      used += kCommandSize;
    }
    in.erase(in.begin(), in.begin() + used);
    if (!rom.Silent())
      for (const auto& reply : replies)
        out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
    replies.clear();
    if (!out.empty()) {
      ssize_t n = write(master, out.data(), out.size());
      if (n > 0) out.erase(out.begin(), out.begin() + n);
    }
    // A started image has taken over: once the last reply has been read (the
    // terminal moves bytes to its reader asynchronously, so give it a moment
    // first), hang up the line and end.
    if (rom.Started()) {
      if (!options.jumpFile.empty()) {
        FILE* jump = fopen(options.jumpFile.c_str(), "w");
        if (jump) {
          fprintf(jump, "jump\n");
          fclose(jump);
        }
      }
      usleep(100000);
      for (int i = 0; i < 200 && !sStop; ++i) {
        if (!out.empty()) {
          ssize_t n = write(master, out.data(), out.size());
          if (n > 0) out.erase(out.begin(), out.begin() + n);
        }
        int pending = 0;
        if (out.empty() && (ioctl(slave, FIONREAD, &pending) != 0 || pending == 0)) break;
        usleep(10000);
      }
      break;
    }
  }
  close(slave);
  close(master);
  if (sLog) fclose(sLog);
  return 0;
}
