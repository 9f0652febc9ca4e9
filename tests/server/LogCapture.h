// Captures the diagnostic log in the server tests: while an object lives, the
// given packages are active and every logged line goes to a temporary file.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : packages_(packages), file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
  }
  ~LogCapture() {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(nullptr);
    fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far; Clear() starts over.
  std::string Text() {
    fflush(file_);
    std::string out;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }
  void Clear() {
    fflush(file_);
    if (ftruncate(fileno(file_), 0) == 0) rewind(file_);
  }

 private:
  uint32_t packages_;
  FILE* file_;
};
