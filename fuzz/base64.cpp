// Arbitrary text into the Base64 decoder (no read outside the text, lengths
// as announced) and arbitrary bytes through encode and decode, which must
// give the bytes back.
#include "Base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static void sCheck(bool condition) {
  if (!condition) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  // Decoding: the exact input, with no terminator after it.
  char* copy = static_cast<char*>(malloc(size ? size : 1));
  if (size) memcpy(copy, data, size);
  size_t decodedLength = 12345;
  char* decoded = base64_decode(copy, size, &decodedLength);
  if (size % 4 != 0) {
    sCheck(decoded == nullptr);
  } else if (decoded) {
    sCheck(decodedLength <= size / 4 * 3);
    sCheck(decodedLength + 2 >= size / 4 * 3);
    sCheck(decoded[decodedLength] == '\0');
  }
  free(decoded);
  free(copy);

  // Round trip.
  size_t encodedLength = 0;
  char* encoded = base64_encode(text, size, &encodedLength);
  sCheck(encoded != nullptr);
  sCheck(encodedLength == (size + 2) / 3 * 4);
  sCheck(strlen(encoded) == encodedLength);
  size_t backLength = 0;
  char* back = base64_decode(encoded, encodedLength, &backLength);
  sCheck(back != nullptr);
  sCheck(backLength == size);
  sCheck(size == 0 || memcmp(back, data, size) == 0);
  free(back);
  free(encoded);
  return 0;
}
