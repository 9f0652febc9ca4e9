// Version packing: the current layout is 0x2F in the top byte, then one byte
// each for major, minor and patch; the legacy layout keeps 4 bits of major,
// 4 of minor and 24 of patch. 0x2F reads as legacy 2.15, which legacy values
// never reach, so the two layouts cannot collide.
#include "vVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
const uint8_t kMajor = 2, kMinor = 11, kPatch = 1;
const char* const kPhase = ".";

struct Feature {
  const char* name;
  const char* description;
};
const Feature kFeatures[] = {{"VERSION", "Version Query API"}};
}  // namespace

uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
  return (uint32_t(major) << 28) | (uint32_t(minor & 0xF) << 24) | patch;
}

bool vVersion_IsLegacyFormat(uint32_t v) {
  return vVersion_IsAtLeastCompare(2, 15, 0, uint8_t(v >> 28), uint8_t((v >> 24) & 0xF), 255);
}

uint32_t vVersion_ParseMajor(uint32_t v) { return vVersion_IsLegacyFormat(v) ? v >> 28 : v >> 16; }
uint32_t vVersion_ParseMinor(uint32_t v) {
  return vVersion_IsLegacyFormat(v) ? (v >> 24) & 0xF : v >> 8;
}
uint32_t vVersion_ParsePatch(uint32_t v) {
  return vVersion_IsLegacyFormat(v) ? v & 0xFFFFFF : v & 0xFF;
}

int vVersion_ParseString(uint32_t v, char* buffer, size_t size) {
  return snprintf(buffer, size, "%d.%d.%d", int(vVersion_ParseMajor(v) & 0xFF),
                  int(vVersion_ParseMinor(v) & 0xFF), int(vVersion_ParsePatch(v)));
}

uint32_t vVersion_GetMajor() { return kMajor; }
uint32_t vVersion_GetMinor() { return kMinor; }
uint32_t vVersion_GetPatch() { return kPatch; }

const char* vVersion_GetString() {
  // Formatted once (thread-safe static initialisation) and kept.
  static const char* text = [] {
    static char buffer[15];
    snprintf(buffer, sizeof buffer, "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch);
    return buffer;
  }();
  return text;
}

bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return vVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool vVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch) {
  if (aMajor != bMajor) return aMajor > bMajor;
  if (aMinor != bMinor) return aMinor > bMinor;
  return aPatch >= bPatch;
}

bool vVersion_HasFeature(const char* name) {
  if (!name) return false;
  for (const Feature& f : kFeatures)
    if (strcmp(f.name, name) == 0) return true;
  return false;
}

char* vVersion_GetFeatureList() {
  std::string text;
  try {
    for (const Feature& f : kFeatures) {
      if (!text.empty()) text += '\n';
      text += f.name;
      text += " - ";
      text += f.description;
    }
  } catch (...) {
    return nullptr;  // out of memory, like the copy below
  }
  char* out = static_cast<char*>(malloc(text.size() + 1));
  if (out) memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

void vVersion_DestroyFeatureList(char** list) {
  if (!list) return;
  free(*list);
  *list = nullptr;
}
