// The SDP serial transport on a bare pseudo-terminal: the port is raw at
// 115200 baud while in use, and gets its own settings back when closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "Serial_SDPLoader.h"

namespace {

struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  termios Settings() const {
    termios t{};
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      tcgetattr(fd, &t);
      close(fd);
    }
    return t;
  }
  int master = -1;
  std::string path;
};

TEST(SdpSerialPort, RawWhileOpenAndRestoredAfter) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  // Hold the far side open so its settings persist between opens.
  int keep = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(keep, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(keep, &before), 0);
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(keep, TCSANOW, &before), 0);
  {
    Serial_SDPLoader port(pty.path.c_str());
    ASSERT_TRUE(port.init());
    termios t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    // Bytes from the far end arrive as they are, and a quiet line ends the read.
    ASSERT_EQ(write(pty.master, "\x12\x34\x0a", 3), 3);
    std::vector<uint8_t> reply;
    EXPECT_EQ(port.readData(reply, 100), 3);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0x12, 0x34, 0x0a}));
  }
  termios after = pty.Settings();
  EXPECT_EQ(cfgetospeed(&after), speed_t(B9600));
  EXPECT_NE(after.c_lflag & ICANON, 0u);
  close(keep);
}

}  // namespace
