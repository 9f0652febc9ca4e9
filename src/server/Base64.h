// Base64 text of the standard alphabet with "=" fill and no line breaks:
// firmware images travel inside update server replies in this form.
#pragma once
#include <cstddef>

// Newly allocated, NUL-terminated text of 4 * ceil(length / 3) characters
// (stored in *outLength when given); null when memory runs out. Free with free().
char* base64_encode(const char* data, size_t length, size_t* outLength);

// Newly allocated bytes followed by a NUL; *outLength receives the byte count.
// Null when length is not a multiple of 4 or memory runs out. Characters
// outside the alphabet decode as 0. Free with free().
char* base64_decode(const char* text, size_t length, size_t* outLength);
