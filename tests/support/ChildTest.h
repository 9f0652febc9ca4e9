// Tests that need a library preloaded (a simulated bus) re-run their own test
// program on one test in a child process, with the library in front of it.
#pragma once
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <map>
#include <string>

#include "TestSupport.h"

namespace testsupport {

// The sanitizer runtime this program runs with ("" without one): a library
// preloaded into a copy of this program has to come after it.
inline std::string SanitizerRuntime() {
  std::string runtime;
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        std::string name = info->dlpi_name ? info->dlpi_name : "";
        if (name.find("libasan.so") == std::string::npos &&
            name.find("libtsan.so") == std::string::npos)
          return 0;
        *static_cast<std::string*>(data) = name;
        return 1;
      },
      &runtime);
  return runtime;
}

// The path of this running program; "" when it can't be read.
inline std::string SelfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, size_t(n)) : "";
}

// Runs the one test `test` (Suite.Name) of this program in a child with
// library preloaded behind the sanitizer runtime and env added to its
// environment, and expects it to run and pass within timeoutMs. Skips the
// calling test when the library is not built, so it belongs at the end of
// that test.
inline void ExpectPassesInChild(const std::string& test, const std::string& library,
                                const std::map<std::string, std::string>& env, int timeoutMs) {
  if (!Exists(library)) GTEST_SKIP() << library << " is not built";
  std::string self = SelfPath();
  ASSERT_FALSE(self.empty());
  std::string runtime = SanitizerRuntime();
  RunOptions options;
  options.env = env;
  options.env["LD_PRELOAD"] = runtime.empty() ? library : runtime + ":" + library;
  options.timeoutMs = timeoutMs;
  RunResult r = Run(self, {"--gtest_filter=" + test}, options);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out << r.err;
}

}  // namespace testsupport
