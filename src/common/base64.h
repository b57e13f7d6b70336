// Base64 (RFC 4648, the standard alphabet with padding), as the Basic
// credentials are written. No allocation: the caller gives the room.
#pragma once

#include <cstddef>

namespace quodra {

// Characters of the encoding of n bytes, without a NUL.
size_t base64Length(size_t n);
// Writes the encoding of data[0..n) to out: base64Length(n) characters and
// a NUL after them.
void base64Encode(const void* data, size_t n, char* out);

}  // namespace quodra
