// Table of module model names.
#include "vDefs.h"

const char* vDefs_GetModelName(uint32_t model) {
  static const char* const kNames[] = {
      "Torvik", "Quenla", nullptr,  nullptr,  nullptr,  nullptr,  nullptr,  nullptr,
      nullptr,  "Brisal", "Ondero", "Felmac", "Istrel", "Palvos", "Gendry", "Morlet",
      "Suvion", "Kalder", "Wilbor", "Nestra", "Yorvel", "Daskin", "Helvar",
  };
  const uint32_t first = 4;
  if (model < first || model - first >= sizeof(kNames) / sizeof(kNames[0])) return "Unknown";
  const char* name = kNames[model - first];
  return name ? name : "Unknown";
}
