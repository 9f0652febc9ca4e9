// `birdfile check`: judges a BIRD file with the updater's own loader and reports
// why the updater would refuse it, or what it would accept.
#pragma once
#include <cstdio>
#include <string>

namespace bird {

// Prints "PATH: accepted: ..." or "PATH: refused: REASON" (and any warnings)
// to out; true when the updater would accept the file. verbose sends the
// updater's BIRD file log to standard error.
bool CheckFile(const std::string& path, bool verbose, FILE* out);

}  // namespace bird
