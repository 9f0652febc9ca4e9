// update-server: a self-hosted update server. It serves a directory tree of
// BIRD files with the update server's query vocabulary, so a lab without
// internet access can mirror firmware, and tests and demos have a real peer.
#include <httplib.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BirdVersion.h"
#include "HttpFront.h"
#include "ServedTree.h"

namespace {

const char kUsage[] =
    "Usage: update-server --root DIR [options]\n"
    "\n"
    "Serves the BIRD files below DIR to the updater (option -u of the updater).\n"
    "\n"
    "Options:\n"
    "  --root DIR          directory tree to serve (required):\n"
    "                        DIR/SERIAL/BUILD.bird           listed builds of a module\n"
    "                        DIR/SERIAL/unlisted/BUILD.bird  served on request, never listed\n"
    "                        DIR/fingerprints                fingerprint -> serial [build]\n"
    "                      SERIAL is 8 upper-case hex digits, BUILD a decimal number.\n"
    "  --host ADDR         address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on; 0 picks a free one (default 0)\n"
    "  --path PATH         URL path of the query interface (default /cgi/u)\n"
    "  --cert FILE         serve HTTPS with this PEM certificate (needs --key)\n"
    "  --key FILE          PEM private key of the certificate\n"
    "  --fault NAME[:OP]   inject a fault into every operation, or only into OP\n"
    "                      (hi, qu, builds, bird, fix); may be repeated. NAME is one of\n"
    "                        refuse      answer with a first line other than \"ok\"\n"
    "                        error       answer with HTTP status 500\n"
    "                        stall       accept the request and never answer\n"
    "                        bad-base64  cut the last character of a build's Base64 text\n"
    "                        garbage     answer \"ok\" followed by meaningless lines\n"
    "  --header-timeout S  seconds a client has to send a request's line and headers;\n"
    "                      a slower client is cut off (default 10)\n"
    "  --quiet             do not log requests\n"
    "  -h, --help          show this text\n"
    "\n"
    "As soon as it listens it prints one line \"listening URL\" on standard output.\n"
    "Each request is logged on standard error. SIGINT or SIGTERM stops it.\n";

std::mutex gLogMutex;
bool gQuiet = false;

void sLog(const std::string& line) {
  if (gQuiet) return;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  // One write per line, formatted before the lock: under load every request
  // logs, and stdio's buffering and flushing would serialise the workers longer.
  std::string text = std::string("[") + stamp + "] " + line + "\n";
  std::lock_guard<std::mutex> lock(gLogMutex);
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
}

int sFail(const std::string& message) {
  fprintf(stderr, "update-server: %s\n", message.c_str());
  fprintf(stderr, "update-server --help for usage information\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root, host = "127.0.0.1", path = "/cgi/u", cert, key;
  long port = 0;
  FrontLimits limits;
  std::vector<std::pair<ServerFault, std::string>> faults;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    bool hasValue = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    auto next = [&](std::string& out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--quiet") {
      gQuiet = true;
    } else if (arg == "--root" || arg == "--host" || arg == "--path" || arg == "--cert" ||
               arg == "--key" || arg == "--port" || arg == "--fault" || arg == "--header-timeout") {
      std::string v;
      if (!next(v)) return sFail("option " + arg + " needs a value");
      if (arg == "--root") root = v;
      if (arg == "--host") host = v;
      if (arg == "--path") path = v;
      if (arg == "--cert") cert = v;
      if (arg == "--key") key = v;
      if (arg == "--port") {
        char* end = nullptr;
        errno = 0;
        port = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || errno || port < 0 || port > 65535)
          return sFail("--port needs a number from 0 to 65535, not '" + v + "'");
      }
      if (arg == "--header-timeout") {
        char* end = nullptr;
        errno = 0;
        long seconds = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || errno || seconds < 1 || seconds > 3600)
          return sFail("--header-timeout needs a number of seconds from 1 to 3600, not '" + v +
                       "'");
        limits.headerSeconds = int(seconds);
      }
      if (arg == "--fault") {
        ServerFault fault;
        std::string op;
        if (!ParseServerFault(v, fault, op)) return sFail("unknown fault '" + v + "'");
        faults.emplace_back(fault, op);
      }
    } else {
      return sFail("unknown argument '" + std::string(argv[i]) + "'");
    }
  }
  if (root.empty()) return sFail("--root DIR is required");
  char resolved[PATH_MAX];
  if (!realpath(root.c_str(), resolved)) return sFail("cannot open root directory " + root);
  root = resolved;
  if (path.empty() || path[0] != '/') return sFail("--path must begin with /");
  if (cert.empty() != key.empty()) return sFail("--cert and --key go together");

  // Signals are taken by one thread with sigwait; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ServedTree tree(root, ReadBirdVersion, sLog);
  for (const auto& f : faults) tree.AddFault(f.first, f.second);

  // Plain HTTP runs in our own connection loop, which bounds the time a
  // client takes to send a request; HTTPS keeps the library's loop (its
  // handshake is the library's), with the same workers and time-outs.
  std::unique_ptr<httplib::Server> server;
  HttpFront* plain = nullptr;
  std::function<bool()> raiseBacklog;
  if (!cert.empty()) {
    auto tls = std::make_unique<Listening<httplib::SSLServer>>(cert.c_str(), key.c_str());
    if (!tls->is_valid()) return sFail("cannot use certificate " + cert + " with key " + key);
    ConfigureFront(*tls, limits);
    Listening<httplib::SSLServer>* raw = tls.get();
    raiseBacklog = [raw] { return raw->RaiseBacklog(); };
    server = std::move(tls);
  } else {
    auto front = std::make_unique<HttpFront>(limits, sLog);
    plain = front.get();
    raiseBacklog = [plain] { return plain->RaiseBacklog(); };
    server = std::move(front);
  }
  std::atomic<bool> stopping(false);

  server->Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.path != path) {
      response.status = 404;
      response.set_content("error: no such path\n", "text/plain");
      return;
    }
    ServedTree::Query query(request.params.begin(), request.params.end());
    auto op = query.find("op");
    if (op != query.end() && tree.FaultFor(op->second) == ServerFault::Stall) {
      sLog(request.remote_addr + " " + request.method + " " + request.target + " stalled");
      while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return;
    }
    ServerReply reply;
    try {
      reply = tree.Handle(query);
    } catch (const std::exception& e) {
      reply.status = 500;
      reply.body = std::string("error: ") + e.what() + "\n";
    }
    response.status = reply.status;
    response.set_content(std::move(reply.body), "text/plain");
  });
  server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::string target =
        request.target.size() > 200 ? request.target.substr(0, 200) + "..." : request.target;
    sLog(request.remote_addr + " " + request.method + " " + target + " -> " +
         std::to_string(response.status) + " (" + std::to_string(response.body.size()) + " bytes)");
  });

  int bound = port == 0 ? server->bind_to_any_port(host)
                        : (server->bind_to_port(host, int(port)) ? int(port) : -1);
  if (bound <= 0) {
    fprintf(stderr, "update-server: cannot listen on %s port %ld: %s\n", host.c_str(), port,
            strerror(errno));
    return 1;
  }
  if (!raiseBacklog()) sLog(std::string("cannot raise the listen backlog: ") + strerror(errno));
  std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  printf("listening %s://%s:%d%s\n", cert.empty() ? "http" : "https", shownHost.c_str(), bound,
         path.c_str());
  fflush(stdout);
  sLog("serving " + root);

  std::thread waiter([&] {
    int received = 0;
    sigwait(&signals, &received);
    stopping = true;
    if (plain)
      plain->Shutdown();
    else
      server->stop();
  });
  bool ok = server->listen_after_bind();
  if (!stopping) {
    // The server ended on its own: wake the waiter so it can be joined.
    pthread_kill(waiter.native_handle(), SIGTERM);
  }
  waiter.join();
  sLog("stopped");
  return ok || stopping ? 0 : 1;
}
