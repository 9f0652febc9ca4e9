// Base64 encoding and decoding with the standard alphabet and "=" fill.
#include "Base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in the alphabet; every other byte (the fill included) is 0.
struct DecodeTable {
  uint8_t value[256] = {};
  DecodeTable() {
    for (int i = 0; i < 64; ++i) value[uint8_t(kAlphabet[i])] = uint8_t(i);
  }
};
const DecodeTable kDecode;

}  // namespace

char* base64_encode(const char* data, size_t length, size_t* outLength) {
  size_t groups = length / 3 + (length % 3 ? 1 : 0);
  if (groups > (SIZE_MAX - 1) / 4) return nullptr;
  size_t size = groups * 4;
  char* out = static_cast<char*>(malloc(size + 1));
  if (!out) return nullptr;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
  char* p = out;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t group = uint32_t(in[i]) << 16;
    if (i + 1 < length) group |= uint32_t(in[i + 1]) << 8;
    if (i + 2 < length) group |= in[i + 2];
    *p++ = kAlphabet[(group >> 18) & 0x3F];
    *p++ = kAlphabet[(group >> 12) & 0x3F];
    *p++ = kAlphabet[(group >> 6) & 0x3F];
    *p++ = kAlphabet[group & 0x3F];
  }
  // One missing byte in the last group becomes one "=", two become "==".
  if (length % 3 == 1) {
    out[size - 1] = '=';
    out[size - 2] = '=';
  } else if (length % 3 == 2) {
    out[size - 1] = '=';
  }
  out[size] = '\0';
  if (outLength) *outLength = size;
  return out;
}

char* base64_decode(const char* text, size_t length, size_t* outLength) {
  if (length % 4 != 0) return nullptr;
  if (length > 0 && !text) return nullptr;
  size_t size = length / 4 * 3;
  if (length >= 1 && text[length - 1] == '=') --size;
  if (length >= 2 && text[length - 2] == '=') --size;
  char* out = static_cast<char*>(malloc(size + 1));
  if (!out) return nullptr;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  size_t n = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t group = uint32_t(kDecode.value[in[i]]) << 18 |
                     uint32_t(kDecode.value[in[i + 1]]) << 12 |
                     uint32_t(kDecode.value[in[i + 2]]) << 6 | kDecode.value[in[i + 3]];
    if (n < size) out[n++] = char(group >> 16);
    if (n < size) out[n++] = char(group >> 8);
    if (n < size) out[n++] = char(group);
  }
  out[size] = '\0';
  if (outLength) *outLength = size;
  return out;
}
