// Helpers for tests that run real programs: paths of the built programs,
// temporary directories, and running a process with its standard output,
// standard error and exit status captured separately.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Root of the build tree: UPDATER_BIN_DIR when ctest sets it, else the compile-time one.
inline std::string BinaryDir() {
  const char* env = getenv("UPDATER_BIN_DIR");
  return env && *env ? env : UPDATER_BINARY_DIR;
}
inline std::string SourceDir() { return UPDATER_SOURCE_DIR; }
inline std::string UpdaterPath() { return BinaryDir() + "/src/app/updater"; }
// A program built under sim/NAME or tools/NAME: BinaryDir()/sim/NAME/PROGRAM.
inline std::string ProgramPath(const std::string& folder, const std::string& program) {
  return BinaryDir() + "/" + folder + "/" + program;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Whether anything (file, directory, device node) is at the path.
inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A fresh directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : "/tmp") + "/updtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  bool timedOut = false;
};

struct RunOptions {
  std::map<std::string, std::string> env;  // added to (or replacing in) the environment
  std::string input;                       // written to standard input, then closed
  int timeoutMs = 60000;
  std::string cwd;
  // Called with each whole line of standard error (without its line end) as
  // it arrives, while the program runs: to act at a given point of a run.
  // Returning true kills the program (SIGKILL) there.
  std::function<bool(const std::string&)> onErrLine;
};

// An onErrLine that calls action once, at the nth line matching pattern, and
// returns what action returns there (true: kill the program).
inline std::function<bool(const std::string&)> AtErrLine(const std::string& pattern, int nth,
                                                         std::function<bool()> action) {
  return [re = std::regex(pattern), nth, action, seen = 0](const std::string& line) mutable {
    return seen < nth && std::regex_search(line, re) && ++seen == nth && action();
  };
}

// In a forked child: set the environment and replace the process with the
// program (argv[0] is the program path); 127 when it can't be started.
[[noreturn]] inline void ExecChild(const std::string& program,
                                   const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env) {
  for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Runs program with args (argv[0] is the program path) and waits for it.
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {}) {
  int outPipe[2], errPipe[2], inPipe[2];
  if (pipe(outPipe) || pipe(errPipe) || pipe(inPipe)) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    ExecChild(program, args, options.env);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (!options.input.empty()) {
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(inPipe[1], options.input.data(), options.input.size());
    (void)ignored;
  }
  close(inPipe[1]);

  RunResult result;
  size_t scanned = 0;  // how much of result.err went to onErrLine, in whole lines
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, left) <= 0) continue;
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(f.fd, buf, sizeof buf);
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open;
      } else {
        (f.fd == outPipe[0] ? result.out : result.err).append(buf, size_t(n));
        size_t nl;
        while (options.onErrLine && f.fd == errPipe[0] &&
               (nl = result.err.find('\n', scanned)) != std::string::npos) {
          if (options.onErrLine(result.err.substr(scanned, nl - scanned))) kill(pid, SIGKILL);
          scanned = nl + 1;
        }
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = 128 + WTERMSIG(status);
  return result;
}

// Puts library (one path, or several joined by ':') in front of a program's
// own libraries, and lets an address-sanitized program accept it loaded
// before its runtime.
inline void Preload(std::map<std::string, std::string>& env, const std::string& library) {
  env["LD_PRELOAD"] = library;
  const char* asan = getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] =
      std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
}

// Runs the updater binary with HOME set to home (when given).
inline RunResult RunUpdater(const std::vector<std::string>& args, const std::string& home = "",
                            RunOptions options = {}) {
  if (!home.empty()) options.env["HOME"] = home;
  return Run(UpdaterPath(), args, options);
}

// A background program (a simulator or a server) that is killed when the
// object goes. Lines it prints on standard output can be awaited.
class Background {
 public:
  Background(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}) {
    int outPipe[2];
    if (pipe(outPipe)) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(outPipe[1], 1);
      close(outPipe[0]);
      close(outPipe[1]);
      ExecChild(program, args, env);
    }
    close(outPipe[1]);
    fd_ = outPipe[0];
  }
  ~Background() { Stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // The next line of standard output, or "" after timeoutMs or at its end.
  std::string ReadLine(int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count());
      if (left <= 0 || fd_ < 0) return "";
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      char buf[4096];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) {
        close(fd_);
        fd_ = -1;
        return "";
      }
      buffer_.append(buf, size_t(n));
    }
  }

  pid_t pid() const { return pid_; }

  void Stop() {
    if (pid_ > 0) {
      kill(-pid_, SIGTERM);
      kill(pid_, SIGTERM);
      int status;
      for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        usleep(10000);
      }
      if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
      }
    }
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
};

// Starts the bundled update server on the tree at root, with extra options,
// into server; returns the URL it listens on ("" when it did not start).
inline std::string StartUpdateServer(std::unique_ptr<Background>& server, const std::string& root,
                                     const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"--root", root, "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  server.reset(new Background(ProgramPath("sim/update-server", "update-server"), args));
  std::string line = server->ReadLine();
  const std::string prefix = "listening ";
  return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

}  // namespace testsupport
