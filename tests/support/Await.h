// Waits for a state with a deadline, for tests with threads: a condition
// that becomes true, or a thread that has gone to sleep in a blocking wait.
#pragma once
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

// Whether test() became true within timeoutMs (checked every millisecond).
inline bool AwaitTrue(const std::function<bool()>& test, int timeoutMs = 3000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!test()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The kernel's id of the calling thread.
inline pid_t ThreadId() { return pid_t(syscall(SYS_gettid)); }

// Whether the thread tid of this process sleeps (blocked in a wait, state S),
// within timeoutMs. A thread about to wait on a queue or a condition is asleep
// in it once this returns true.
inline bool AwaitAsleep(pid_t tid, int timeoutMs = 3000) {
  const std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  return AwaitTrue(
      [&] {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // "tid (name) S ...": the state follows the name's closing parenthesis.
        size_t close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
      },
      timeoutMs);
}

}  // namespace testsupport
