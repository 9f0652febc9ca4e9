// Fuzzes settings-file parsing from memory, the value conversions, and the
// invariants every parsed entry keeps.
#include <cctype>
#include <cstdint>
#include <string>

#include "KeyValueStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  KeyValueStore kv;
  kv.Parse(text, size);
  for (const auto& entry : kv.entries) {
    const std::string& key = entry.first;
    const std::string& value = entry.second;
    // Keys (possibly empty) and values are trimmed; a key has no "=" and
    // neither holds a line feed.
    if ((!key.empty() && (isspace(static_cast<unsigned char>(key.front())) ||
                          isspace(static_cast<unsigned char>(key.back())))) ||
        key.find('=') != std::string::npos || key.find('\n') != std::string::npos ||
        value.find('\n') != std::string::npos)
      __builtin_trap();
    if (!value.empty() && (isspace(static_cast<unsigned char>(value.front())) ||
                           isspace(static_cast<unsigned char>(value.back()))))
      __builtin_trap();
    if (key.size() + value.size() > KeyValueStore::LINE_BUFFER_SIZE) __builtin_trap();
  }
  KeyValueStore copy(kv);
  for (const auto& entry : kv.entries) {
    const char* key = entry.first.c_str();
    copy.GetInt(key, 1);
    copy.GetHex(key, 2);
    copy.GetBOOL(key, true);
    copy.GetDouble(key, 0.5);
    copy.GetString(key, nullptr);
  }
  std::string key, value;
  KeyValueStore::ParseLine(text, size, &key, &value);
  return 0;
}
