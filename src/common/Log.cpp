// Diagnostic logger with a package mask. Each call formats into a bounded
// buffer and ends in a single write, so lines from several threads don't mix.
// Setting an output also routes the device library's trace lines there, so a
// program has one place its diagnostics go.
#include "Log.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "vTrace.h"

namespace {
std::atomic<uint32_t> sActiveMask{0};
std::atomic<FILE*> sOutput{nullptr};

// Trace lines are already gated by the library's own debugging switches, so
// they are written whatever the package mask is.
void sTraceToOutput(const char* line) {
  FILE* out = sOutput.load();
  if (!out || !line) return;
  fwrite(line, 1, strlen(line), out);
  fflush(out);
}
}  // namespace

void Log::log(uint32_t package, const char* format, ...) {
  if (!IsActive(package) || !format) return;
  FILE* out = sOutput.load();
  if (!out) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = strnlen(buffer, sizeof buffer - 1);
  fwrite(buffer, 1, len, out);
  fflush(out);
}

void Log::ActivatePackage(uint32_t mask) { sActiveMask.fetch_or(mask); }
void Log::DeactivatePackage(uint32_t mask) { sActiveMask.fetch_and(~mask); }
void Log::SetOutput(FILE* output) {
  sOutput.store(output);
  // Without an output of Log's own, trace lines keep the library's default.
  vTrace_SetSink(output ? sTraceToOutput : nullptr);
}
uint32_t Log::ActiveMask() { return sActiveMask.load(); }
bool Log::IsActive(uint32_t package) { return package == 0 || (package & sActiveMask.load()) != 0; }
