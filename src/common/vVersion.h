// Packed firmware versions (legacy and current 32-bit layouts), the library's
// own version and its feature list.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool vVersion_IsLegacyFormat(uint32_t version);
uint32_t vVersion_ParseMajor(uint32_t version);
uint32_t vVersion_ParseMinor(uint32_t version);
uint32_t vVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch"; returns the formatter's count.
int vVersion_ParseString(uint32_t version, char* buffer, size_t size);

uint32_t vVersion_GetMajor();
uint32_t vVersion_GetMinor();
uint32_t vVersion_GetPatch();
const char* vVersion_GetString();
bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
bool vVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch);
bool vVersion_HasFeature(const char* name);
// Newly allocated text; free it with vVersion_DestroyFeatureList.
char* vVersion_GetFeatureList();
void vVersion_DestroyFeatureList(char** list);
