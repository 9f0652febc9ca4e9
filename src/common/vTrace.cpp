// Trace lines of the device library, formatted here and handed to one sink.
#include "vTrace.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<vTraceSink> sSink{nullptr};
}  // namespace

void vTrace_SetSink(vTraceSink sink) { sSink.store(sink); }

void vTrace_VPrintf(const char* format, va_list args) {
  char line[1024];
  vsnprintf(line, sizeof line, format, args);
  vTraceSink sink = sSink.load();
  if (sink) {
    sink(line);
  } else {
    fputs(line, stdout);
    fflush(stdout);
  }
}

void vTrace_Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vTrace_VPrintf(format, args);
  va_end(args);
}
