// The update server's HTTP front: cpp-httplib parses requests and writes
// replies, while the connection handling around it is ours, so that the
// listen backlog, Nagle's algorithm, slow clients and the number of workers
// are under the server's control.
#pragma once
#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Limits of the front, in seconds and counts.
struct FrontLimits {
  // A request line with all its headers must arrive within this time of the
  // connection (or of the first byte of a later request on it); a client that
  // sends slower is cut off, so slow clients can't hold workers for long.
  int headerSeconds = 10;
  // An idle keep-alive connection is closed after this time.
  int keepAliveSeconds = 5;
  // One read or write that makes no progress for this long ends the connection.
  int ioSeconds = 5;
  // Requests served on one connection before it is closed.
  size_t requestsPerConnection = 1000;
  // Connections served at once (one worker thread each); more wait to be served.
  size_t maxWorkers = 1024;
};

// A task queue that starts a worker whenever no worker is free, up to a
// limit, and keeps it for the next task. Every connection is one task, so
// clients that wait (slow senders, idle keep-alive) never hold up the others
// while the limit isn't reached.
class WorkerPool : public httplib::TaskQueue {
 public:
  explicit WorkerPool(size_t maxWorkers) : max_(maxWorkers ? maxWorkers : 1) {}
  ~WorkerPool() override;
  void enqueue(std::function<void()> fn) override;
  // Runs the tasks queued so far, then joins every worker.
  void shutdown() override;

 private:
  void Work();

  const size_t max_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t free_ = 0;  // workers waiting for a task, or starting
  bool shutdown_ = false;
};

// Common settings of both fronts: TCP_NODELAY, the worker pool, time-outs.
void ConfigureFront(httplib::Server& server, const FrontLimits& limits);

// Raises the backlog of a bound server's listening socket to the system's
// maximum; cpp-httplib listens with a backlog of 5, which drops connections
// that arrive in bursts. False when the socket can't be changed.
template <class Base>
class Listening : public Base {
 public:
  using Base::Base;
  bool RaiseBacklog();
};

// The plain HTTP front: cpp-httplib's request processing inside a connection
// loop that bounds the time a client may take to send a request.
class HttpFront : public Listening<httplib::Server> {
 public:
  typedef std::function<void(const std::string& line)> Logger;
  HttpFront(const FrontLimits& limits, Logger logger);
  ~HttpFront() override;
  // Stops listening and ends every connection at its next wait.
  void Shutdown();

 private:
  bool process_and_close_socket(socket_t sock) override;

  FrontLimits limits_;
  Logger logger_;
  int stopFd_ = -1;  // an eventfd, readable once Shutdown was called
};
