// Byte streams: all-or-nothing reads with push-back, record reads and writes,
// put versus write, copying, and the file, socket and serial transports.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

#include "LinkTestSupport.h"
#include "TestSupport.h"
#include "vStream.h"
#include "vStream_File.h"
#include "vStream_Serial.h"
#include "vStream_Socket.h"

using linktest::ScriptedStream;

namespace {
// Results the next recv calls of this thread give instead of the C library's
// (a count, and the errno that goes with -1).
thread_local std::deque<std::pair<ssize_t, int>>* tRecvScript = nullptr;
}  // namespace

// Every recv of the process goes to the C library unless this thread has a
// script, so a test can stage what a socket reports at an exact moment.
extern "C" ssize_t recv(int fd, void* buffer, size_t n, int flags) {
  if (tRecvScript && !tRecvScript->empty()) {
    auto step = tRecvScript->front();
    tRecvScript->pop_front();
    errno = step.second;
    return step.first;
  }
  using RecvFn = ssize_t (*)(int, void*, size_t, int);
  static RecvFn real = reinterpret_cast<RecvFn>(dlsym(RTLD_NEXT, "recv"));
  return real(fd, buffer, n, flags);
}

namespace {

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(Stream, IncompleteReadIsPushedBackAndReadAgainInOrder) {
  ScriptedStream src;
  src.Bytes({1, 2});
  src.Error(vErrNotReady);
  src.Bytes({3, 4, 5});
  vStream* s = src.Make();
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(vStream_Read(s, out, 4), vErrNotReady);
  EXPECT_EQ(out[0], 9);  // untouched
  EXPECT_EQ(vStream_Read(s, out, 4), vErrNone);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(vStream_Read(s, out, 1), vErrNone);
  EXPECT_EQ(out[0], 5);
  // End of data hands over what there was.
  src.Bytes({6});
  memset(out, 0, sizeof(out));
  EXPECT_EQ(vStream_Read(s, out, 3), vErrEOF);
  EXPECT_EQ(out[0], 6);
  // Other errors lose the bytes obtained before them.
  src.Bytes({7});
  src.Error(vErrIO);
  EXPECT_EQ(vStream_Read(s, out, 2), vErrIO);
  EXPECT_EQ(vStream_Destroy(&s), vErrNone);
  EXPECT_EQ(s, nullptr);
  EXPECT_TRUE(src.deleted);
}

TEST(Stream, PushBackGrowsPastItsFirstRing) {
  ScriptedStream src;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 1500; i++) bytes.push_back(uint8_t(i * 7));
  vStream* s = src.Make();
  std::vector<uint8_t> out(1500);
  // Three partial reads, each pushing back more bytes than the last.
  size_t offered = 0;
  for (size_t chunk : {400, 500, 500}) {
    src.Bytes(std::vector<uint8_t>(bytes.begin() + offered, bytes.begin() + offered + chunk));
    src.Error(vErrNotReady);
    offered += chunk;
    EXPECT_EQ(vStream_Read(s, out.data(), 1500), vErrNotReady);
  }
  src.Bytes(std::vector<uint8_t>(bytes.begin() + offered, bytes.end()));
  EXPECT_EQ(vStream_Read(s, out.data(), 1500), vErrNone);
  EXPECT_EQ(out, bytes);
  vStream_Destroy(&s);
}

TEST(Stream, CStringRecordsStopAtTerminatorOrCapacity) {
  ScriptedStream src;
  vStream* s = src.Make();
  char buf[16];
  src.Bytes(Text("hello"));
  src.Bytes({0, 'x'});
  EXPECT_EQ(vStream_ReadCString(s, buf, 7), vErrNone);
  EXPECT_STREQ(buf, "hello");
  uint8_t next;
  EXPECT_EQ(vStream_Read(s, &next, 1), vErrNone);
  EXPECT_EQ(next, 'x');  // the 0 was consumed

  src.Bytes(Text("hello"));
  src.Bytes({0});
  EXPECT_EQ(vStream_ReadCString(s, buf, 6), vErrNone);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(vStream_Read(s, &next, 1), vErrNone);
  EXPECT_EQ(next, 0);  // left unread at capacity

  src.Bytes(Text("abcdefghijk"));
  EXPECT_EQ(vStream_ReadCString(s, buf, 6), vErrNone);
  EXPECT_STREQ(buf, "abcde");
  src.script.clear();

  // End of data: what was read is a record; nothing at all is vErrEOF.
  src.Bytes(Text("abc"));
  uint8_t raw[8];
  size_t count = 0;
  const uint8_t nl = '\n';
  EXPECT_EQ(vStream_ReadRecord(s, raw, &count, 8, &nl, 1), vErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(vStream_ReadRecord(s, raw, &count, 8, &nl, 1), vErrEOF);

  // A record cut short by a pause is read whole next time.
  src.Bytes(Text("ab"));
  src.Error(vErrNotReady);
  src.Bytes(Text("c\r\n"));
  EXPECT_EQ(vStream_ReadCStringRecord(s, buf, sizeof(buf), "\r\n"), vErrNotReady);
  EXPECT_EQ(vStream_ReadCStringRecord(s, buf, sizeof(buf), "\r\n"), vErrNone);
  EXPECT_STREQ(buf, "abc");

  // A terminator is recognised only as a contiguous run.
  src.Bytes(Text("a\rb\nc\r\nd"));
  EXPECT_EQ(vStream_ReadCStringRecord(s, buf, sizeof(buf), "\r\n"), vErrNone);
  EXPECT_STREQ(buf, "a\rb\nc");
  EXPECT_EQ(vStream_Read(s, &next, 1), vErrNone);
  EXPECT_EQ(next, 'd');

  // An unfinished terminator at the end of data is data; what does not fit
  // stays for the next read.
  src.Bytes(Text("abxy"));
  EXPECT_EQ(vStream_ReadRecord(s, raw, &count, 3, reinterpret_cast<const uint8_t*>("xyz"), 3),
            vErrNone);
  EXPECT_EQ(std::vector<uint8_t>(raw, raw + count), Text("abx"));
  EXPECT_EQ(vStream_Read(s, &next, 1), vErrNone);
  EXPECT_EQ(next, 'y');
  EXPECT_EQ(vStream_Read(s, &next, 1), vErrEOF);

  EXPECT_EQ(vStream_ReadRecord(s, raw, &count, 8, nullptr, 1), vErrParam);
  EXPECT_EQ(vStream_ReadRecord(s, raw, &count, 8, &nl, 0), vErrParam);
  vStream_Destroy(&s);
}

TEST(Stream, WritesUsePutForOneByteAndWriteForMore) {
  ScriptedStream dst;
  vStream* s = dst.Make();
  uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(vStream_Write(s, bytes, 1), vErrNone);
  EXPECT_EQ(dst.putCalls, 1);
  EXPECT_EQ(dst.writeCalls, 0);
  EXPECT_EQ(vStream_Write(s, bytes, 2), vErrNone);
  EXPECT_EQ(dst.writeCalls, 1);
  EXPECT_EQ(vStream_WriteCStringRecord(s, "ok", "\n"), vErrNone);
  EXPECT_EQ(vStream_WriteCString(s, "z"), vErrNone);
  EXPECT_EQ(dst.written, (std::vector<uint8_t>{1, 1, 2, 'o', 'k', '\n', 0, 'z', 0}));
  EXPECT_EQ(vStream_Write(s, nullptr, 2), vErrParam);
  vStream_Destroy(&s);

  // Nothing to write is no call at all, also on a stream with only a write procedure.
  ScriptedStream writeOnly;
  vStream* w = writeOnly.Make(false, true);
  EXPECT_EQ(vStream_Write(w, bytes, 0), vErrNone);
  EXPECT_EQ(writeOnly.writeCalls, 0);
  EXPECT_EQ(vStream_Write(w, bytes, 1), vErrNone);
  EXPECT_EQ(writeOnly.writeCalls, 1);
  vStream_Destroy(&w);

  ScriptedStream readOnly;
  vStream* r = readOnly.Make(false, false);
  EXPECT_EQ(vStream_Write(r, bytes, 2), vErrMode);
  vStream_Destroy(&r);
  vStream* none = vStream_Create(nullptr, ScriptedStream::Put, nullptr, nullptr, &dst);
  EXPECT_EQ(vStream_Read(none, bytes, 1), vErrMode);
  vStream_Destroy(&none);
  vStream* invalid = nullptr;
  EXPECT_EQ(vStream_Destroy(&invalid), vErrParam);
}

TEST(Stream, FlushCopiesUntilEndOfData) {
  ScriptedStream src, dst;
  src.Bytes({4, 5, 6});
  vStream* from = src.Make();
  vStream* to = dst.Make();
  EXPECT_EQ(vStream_Flush(from, to), vErrNone);
  EXPECT_EQ(dst.written, (std::vector<uint8_t>{4, 5, 6}));
  src.Bytes({7});
  src.Error(vErrIO);
  EXPECT_EQ(vStream_Flush(from, to), vErrIO);
  EXPECT_EQ(vStream_Flush(to, nullptr), vErrParam);
  vStream_Destroy(&from);
  vStream_Destroy(&to);
}

TEST(StreamFile, WritesAndReadsBackAFile) {
  testsupport::TempDir dir;
  std::string path = dir.path() + "/bytes.bin";
  vStream* out = nullptr;
  ASSERT_EQ(vStream_CreateFileOutput(path.c_str(), &out), vErrNone);
  EXPECT_EQ(vStream_WriteCStringRecord(out, "line one", "\n"), vErrNone);
  EXPECT_EQ(vStream_Destroy(&out), vErrNone);

  vStream* in = nullptr;
  ASSERT_EQ(vStream_CreateFileInput(path.c_str(), &in), vErrNone);
  char buf[32];
  EXPECT_EQ(vStream_ReadCStringRecord(in, buf, sizeof(buf), "\n"), vErrNone);
  EXPECT_STREQ(buf, "line one");
  uint8_t b;
  EXPECT_EQ(vStream_Read(in, &b, 1), vErrNone);  // the 0 written after the terminator
  EXPECT_EQ(vStream_Read(in, &b, 1), vErrEOF);
  EXPECT_EQ(vStream_Write(in, &b, 1), vErrMode);
  vStream_Destroy(&in);

  EXPECT_EQ(vStream_CreateFileInput((dir.path() + "/missing").c_str(), &in), vErrResource);
  EXPECT_EQ(vStream_CreateFileInput(nullptr, &in), vErrResource);
  EXPECT_EQ(vStream_CreateFileOutput((dir.path() + "/no/such/dir").c_str(), &out), vErrResource);
}

// A TCP listener on a free loopback port.
class Listener {
 public:
  Listener() { fd_ = linktest::ListenLoopback(&port_); }
  ~Listener() { close(fd_); }
  int Accept() { return accept(fd_, nullptr, nullptr); }
  uint32_t port() const { return port_; }
  void Close() {
    close(fd_);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
  }

 private:
  int fd_;
  uint32_t port_;
};

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// Whether the peer's close (an end or a reset) has reached the stream's
// connection within two seconds.
bool PeerGone(vStream* s) {
  struct pollfd p = {static_cast<vSocketRecord*>(s->ref)->socket, POLLRDHUP, 0};
  return poll(&p, 1, 2000) == 1;
}

vErr ReadSoon(vStream* s, uint8_t* byte) {
  vErr err = vErrNotReady;
  for (int i = 0; i < 100 && err == vErrNotReady; i++) {
    vStream_WaitReadable(s, 20);
    err = vStream_Read(s, byte, 1);
  }
  return err;
}

TEST(StreamSocket, ExchangesBytesAndWaitsForReadability) {
  Listener listener;
  vStream* s = nullptr;
  ASSERT_EQ(vStream_CreateSocket(Loopback(), listener.port(), &s), vErrNone);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  uint8_t b = 0;
  EXPECT_EQ(vStream_Read(s, &b, 1), vErrNotReady);
  EXPECT_EQ(vStream_WaitReadable(s, 30), vErrTimeout);
  uint8_t hello[3] = {0x04, 0x01, 0x33};
  ASSERT_EQ(send(peer, hello, 3, 0), 3);
  EXPECT_EQ(vStream_WaitReadable(s, 2000), vErrNone);
  uint8_t got[3];
  EXPECT_EQ(ReadSoon(s, &got[0]), vErrNone);
  EXPECT_EQ(vStream_Read(s, got + 1, 2), vErrNone);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(hello, hello + 3));
  uint8_t reply[2] = {0xAD, 0x00};
  EXPECT_EQ(vStream_Write(s, reply, 2), vErrNone);
  uint8_t echoed[2] = {};
  EXPECT_EQ(recv(peer, echoed, 2, MSG_WAITALL), 2);
  EXPECT_EQ(echoed[0], 0xAD);
  close(peer);
  vStream_Destroy(&s);
}

TEST(StreamSocket, PeerCloseReadsAsNotReadyAndTheWaitReconnects) {
  Listener listener;
  vStream* s = nullptr;
  ASSERT_EQ(vStream_CreateSocket(Loopback(), listener.port(), &s), vErrNone);
  int first = listener.Accept();
  close(first);
  uint8_t b;
  // The closed connection is no error for get...
  ASSERT_TRUE(PeerGone(s));
  EXPECT_EQ(vStream_Read(s, &b, 1), vErrNotReady);
  // ...and the wait replaces it with a new one to the same listener.
  vStream_WaitReadable(s, 200);
  int second = listener.Accept();
  ASSERT_GE(second, 0);
  uint8_t byte = 0x42;
  ASSERT_EQ(send(second, &byte, 1, 0), 1);
  EXPECT_EQ(ReadSoon(s, &b), vErrNone);
  EXPECT_EQ(b, 0x42);
  close(second);
  vStream_Destroy(&s);
}

TEST(StreamSocket, WriteReconnectsAfterAResetAndFailsForGoodWithoutListener) {
  Listener listener;
  vStream* s = nullptr;
  ASSERT_EQ(vStream_CreateSocket(Loopback(), listener.port(), &s), vErrNone);
  int first = listener.Accept();
  // A reset (linger 0) makes the next send fail with ECONNRESET or EPIPE.
  struct linger l = {1, 0};
  setsockopt(first, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close(first);
  ASSERT_TRUE(PeerGone(s));
  uint8_t data[2] = {1, 2};
  vErr err = vErrNone;
  for (int i = 0; i < 3 && err == vErrNone; i++) err = vStream_Write(s, data, 2);
  int second = listener.Accept();
  ASSERT_GE(second, 0);
  EXPECT_EQ(vStream_Write(s, data, 2), vErrNone);
  uint8_t got[2];
  EXPECT_EQ(recv(second, got, 2, MSG_WAITALL), 2);
  close(second);

  // With nobody listening any more, reconnection fails and stays failed.
  listener.Close();
  ASSERT_TRUE(PeerGone(s));  // the end of the second connection
  uint8_t b;
  err = vErrNone;
  for (int i = 0; i < 50 && err != vErrConnection; i++) {
    vStream_WaitReadable(s, 10);
    err = vStream_Read(s, &b, 1);
  }
  EXPECT_EQ(err, vErrConnection);
  EXPECT_EQ(vStream_Write(s, data, 2), vErrConnection);
  EXPECT_EQ(s->writeProc(data, 0, s->ref), vErrConnection);
  vStream_Destroy(&s);
}

TEST(StreamSocket, AReconnectionThePeerClosesAtOnceHandsOutNoByte) {
  Listener listener;
  vStream* s = nullptr;
  ASSERT_EQ(vStream_CreateSocket(Loopback(), listener.port(), &s), vErrNone);
  int first = listener.Accept();
  uint8_t byte = 0x42;
  ASSERT_EQ(send(first, &byte, 1, 0), 1);
  uint8_t b = 0;
  ASSERT_EQ(ReadSoon(s, &b), vErrNone);
  EXPECT_EQ(b, 0x42);
  // The old connection reads as reset; the new one as closed by the peer.
  std::deque<std::pair<ssize_t, int>> script = {{-1, ECONNRESET}, {0, 0}};
  tRecvScript = &script;
  vErr err = vStream_Read(s, &b, 1);
  tRecvScript = nullptr;
  EXPECT_TRUE(script.empty());
  EXPECT_EQ(err, vErrNotReady);
  int second = listener.Accept();
  ASSERT_GE(second, 0);
  byte = 0x43;
  ASSERT_EQ(send(second, &byte, 1, 0), 1);
  EXPECT_EQ(ReadSoon(s, &b), vErrNone);
  EXPECT_EQ(b, 0x43);
  close(first);
  close(second);
  vStream_Destroy(&s);
}

TEST(StreamSocket, RefusedConnectionIsAResourceError) {
  Listener listener;
  uint32_t port = listener.port();
  listener.Close();
  vStream* s = reinterpret_cast<vStream*>(0x1);
  EXPECT_EQ(vStream_CreateSocket(Loopback(), port, &s), vErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(vStream_CreateSocket(Loopback(), port, nullptr), vErrResource);
}

TEST(StreamSerial, ConfiguresAPseudoTerminalAndMovesBytes) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  vStream* s = nullptr;
  EXPECT_EQ(vStream_CreateSerial(name, 6, 0, 2, 0, &s), vErrParam);
  EXPECT_EQ(vStream_CreateSerial(name, 6, 0, 0, 2, &s), vErrParam);
  EXPECT_EQ(vStream_CreateSerial("/dev/does-not-exist-velmarine", 6, 0, 0, 0, &s), vErrNotFound);
  ASSERT_EQ(vStream_CreateSerial(name, 6, 0, 0, 0, &s), vErrNone);

  auto* rec = static_cast<vSerialRecord*>(s->ref);
  struct termios t;
  ASSERT_EQ(tcgetattr(rec->fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
  EXPECT_EQ(cfgetispeed(&t), speed_t(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_iflag, tcflag_t(IGNBRK));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  uint8_t b;
  EXPECT_EQ(vStream_Read(s, &b, 1), vErrNotReady);
  EXPECT_EQ(vStream_WaitReadable(s, 20), vErrTimeout);
  uint8_t out[3] = {0xAD, 0x00, 0x7E};
  EXPECT_EQ(vStream_Write(s, out, 3), vErrNone);
  // Opening the port again keeps what the far end has not read yet.
  ASSERT_EQ(vStream_Destroy(&s), vErrNone);
  ASSERT_EQ(vStream_CreateSerial(name, 6, 0, 0, 0, &s), vErrNone);
  uint8_t got[3] = {};
  size_t n = 0;
  struct pollfd readable = {master, POLLIN, 0};
  while (n < 3 && poll(&readable, 1, 2000) == 1) {
    ssize_t r = read(master, got + n, 3 - n);
    if (r <= 0) break;
    n += size_t(r);
  }
  EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(out, out + 3));
  uint8_t in = 0x24;
  ASSERT_EQ(write(master, &in, 1), 1);
  EXPECT_EQ(vStream_WaitReadable(s, 2000), vErrNone);
  EXPECT_EQ(vStream_Read(s, &b, 1), vErrNone);
  EXPECT_EQ(b, 0x24);
  EXPECT_EQ(vStream_Destroy(&s), vErrNone);
  close(slave);
  close(master);

  // Even parity, 7 data bits, 2 stop bits at the slowest speed; a code past
  // the table hangs the line up (speed 0). A pty forces 8 data bits without
  // parity, so the settings applied are read from the record.
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(vStream_CreateSerial(name, 0, 1, 1, 1, &s), vErrNone);
  rec = static_cast<vSerialRecord*>(s->ref);
  ASSERT_EQ(tcgetattr(rec->fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
  t = rec->applied;
  EXPECT_EQ(cfgetispeed(&t), speed_t(B2400));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
  EXPECT_TRUE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & PARODD);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(t.c_iflag, tcflag_t(IGNBRK | IGNPAR));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(vStream_Destroy(&s), vErrNone);
  ASSERT_EQ(vStream_CreateSerial(name, 8, 0, 0, 0, &s), vErrNone);
  rec = static_cast<vSerialRecord*>(s->ref);
  ASSERT_EQ(tcgetattr(rec->fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B0));
  EXPECT_EQ(vStream_Destroy(&s), vErrNone);
  close(slave);
  close(master);

  EXPECT_EQ(vStream_SerialSpeedOfCode(0), 2400u);
  EXPECT_EQ(vStream_SerialSpeedOfCode(7), 230400u);
  EXPECT_EQ(vStream_SerialSpeedOfCode(8), 0u);
}

}  // namespace
