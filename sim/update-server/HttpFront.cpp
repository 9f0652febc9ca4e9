// Connection handling of the update server around cpp-httplib: a worker per
// connection from a pool that grows on demand, the system's listen backlog,
// TCP_NODELAY, and a deadline for each request's line and headers.
#include "HttpFront.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {

typedef std::chrono::steady_clock Clock;

// Rounded up, so that a wait of that length never ends before the deadline.
int sMillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : int(left.count());
}

void sAddress(int fd, bool peer, std::string& ip, int& port) {
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  int rc = peer ? getpeername(fd, reinterpret_cast<struct sockaddr*>(&address), &length)
                : getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
  ip.clear();
  port = 0;
  if (rc != 0) return;
  char host[NI_MAXHOST], service[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<struct sockaddr*>(&address), length, host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = atoi(service);
}

// One client connection as cpp-httplib's stream: buffered reads that end at
// the request's deadline or when the server stops, writes bounded by the
// write time-out.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int fd, int stopFd, int ioSeconds)
      : fd_(fd), stopFd_(stopFd), ioMs_(ioSeconds * 1000) {}

  // Waits up to `ms` for the first byte of a request; false on time-out,
  // end of stream, error or stop.
  bool WaitForRequest(int ms) {
    if (pos_ < len_) return true;
    return Wait(POLLIN, ms);
  }
  // Reads of the current request end at `deadline`.
  void SetDeadline(Clock::time_point deadline) {
    deadline_ = deadline;
    hasDeadline_ = true;
    missed_ = false;
  }
  void ClearDeadline() { hasDeadline_ = false; }
  // Whether a read ended because the request's deadline passed.
  bool MissedDeadline() const { return missed_; }

  bool is_readable() const override { return pos_ < len_ || Wait(POLLIN, ReadWaitMs()); }
  bool is_writable() const override { return Wait(POLLOUT, ioMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (pos_ >= len_) {
      int wait = ReadWaitMs();
      if (wait == 0 || !Wait(POLLIN, wait)) {
        missed_ = hasDeadline_ && Clock::now() >= deadline_;
        return -1;
      }
      ssize_t n;
      do {
        n = recv(fd_, buffer_, sizeof buffer_, 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      pos_ = 0;
      len_ = size_t(n);
    }
    size_t n = std::min(size, len_ - pos_);
    memcpy(ptr, buffer_ + pos_, n);
    pos_ += n;
    return ssize_t(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!Wait(POLLOUT, ioMs_)) return -1;
    ssize_t n;
    do {
      n = send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sAddress(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sAddress(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int ReadWaitMs() const {
    return hasDeadline_ ? std::min(ioMs_, sMillisecondsUntil(deadline_)) : ioMs_;
  }

  // Polls the socket for `events` and the stop descriptor; true when the
  // socket is ready before `ms` passed and no stop came.
  bool Wait(short events, int ms) const {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      struct pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
      int rc = poll(fds, 2, sMillisecondsUntil(end));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0 || (fds[1].revents & POLLIN)) return false;
      return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
  }

  int fd_, stopFd_, ioMs_;
  char buffer_[4096];
  size_t pos_ = 0, len_ = 0;
  Clock::time_point deadline_;
  bool hasDeadline_ = false;
  bool missed_ = false;
};

}  // namespace

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::enqueue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (jobs_.size() > free_ && threads_.size() < max_) {
      ++free_;
      threads_.emplace_back(&WorkerPool::Work, this);
    }
  }
  wake_.notify_one();
}

void WorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
  }
  wake_.notify_all();
  // Only the listening thread enqueues, and it has stopped: the list is final.
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
    if (jobs_.empty()) break;
    std::function<void()> fn = std::move(jobs_.front());
    jobs_.pop_front();
    --free_;
    lock.unlock();
    fn();
    fn = nullptr;
    lock.lock();
    ++free_;
  }
  --free_;
}

void ConfigureFront(httplib::Server& server, const FrontLimits& limits) {
  server.set_tcp_nodelay(true);
  server.set_read_timeout(limits.ioSeconds, 0);
  server.set_write_timeout(limits.ioSeconds, 0);
  server.set_keep_alive_timeout(limits.keepAliveSeconds);
  server.set_keep_alive_max_count(limits.requestsPerConnection);
  size_t workers = limits.maxWorkers;
  server.new_task_queue = [workers] { return new WorkerPool(workers); };
}

template <class Base>
bool Listening<Base>::RaiseBacklog() {
  int fd = this->svr_sock_;
  // Listening again on a listening socket only changes its backlog; the
  // kernel caps the number at net.core.somaxconn, the system's maximum.
  return fd >= 0 && ::listen(fd, INT_MAX) == 0;
}

template class Listening<httplib::Server>;
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
template class Listening<httplib::SSLServer>;
#endif

HttpFront::HttpFront(const FrontLimits& limits, Logger logger)
    : limits_(limits), logger_(std::move(logger)) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ConfigureFront(*this, limits_);
}

HttpFront::~HttpFront() {
  if (stopFd_ >= 0) close(stopFd_);
}

void HttpFront::Shutdown() {
  uint64_t one = 1;
  if (stopFd_ >= 0 && ::write(stopFd_, &one, sizeof one) < 0) {
    // A full counter is already a stop.
  }
  stop();
}

bool HttpFront::process_and_close_socket(socket_t sock) {
  int yes = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  ConnectionStream stream(sock, stopFd_, limits_.ioSeconds);
  const std::chrono::seconds headerTime(limits_.headerSeconds);
  // The first request's time runs from the connection; a later one's from
  // its first byte, after at most the keep-alive time of idleness.
  Clock::time_point deadline = Clock::now() + headerTime;
  bool ok = true;
  for (size_t served = 0; served < limits_.requestsPerConnection; ++served) {
    int waitMs = served == 0 ? sMillisecondsUntil(deadline) : limits_.keepAliveSeconds * 1000;
    if (!stream.WaitForRequest(waitMs)) break;
    if (served > 0) deadline = Clock::now() + headerTime;
    stream.SetDeadline(deadline);
    bool closed = false;
    bool last = served + 1 == limits_.requestsPerConnection;
    ok = process_request(stream, last, closed, nullptr);
    if (stream.MissedDeadline()) {
      if (logger_) {
        std::string ip;
        int port = 0;
        stream.get_remote_ip_and_port(ip, port);
        logger_(ip + " sent no complete request within " + std::to_string(limits_.headerSeconds) +
                " s: connection closed");
      }
      break;
    }
    stream.ClearDeadline();
    if (!ok || closed) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}
