// The one place the device library's diagnostic trace lines go. By default
// they are written to standard output; a program (the updater's Log) installs
// its own sink to route them with its other diagnostics.
#pragma once
#include <cstdarg>

typedef void (*vTraceSink)(const char* line);

// Installs the sink every trace line goes to; null restores standard output.
void vTrace_SetSink(vTraceSink sink);
// Formats one trace line and hands it to the sink.
void vTrace_Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vTrace_VPrintf(const char* format, va_list args);
