// Captures the diagnostic log in tests: while an object lives, exactly the
// given packages are active and every logged line goes to a temporary file;
// the previous mask comes back when it goes.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : file_(tmpfile()), saved_(Log::ActiveMask()) {
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(packages);
    Log::SetOutput(file_);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(saved_);
    if (file_) fclose(file_);
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
  FILE* file_;
  uint32_t saved_;
};
