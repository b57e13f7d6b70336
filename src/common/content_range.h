// The value of a Content-Range line (RFC 9110, section 14.4) in the unit of
// bytes: where a part of a representation starts and ends, and how long the
// whole is; or, in a 416 reply, only how long the whole is.
#pragma once

#include <cstdint>

namespace quodra {

struct ContentRange {
    bool unsatisfied;  // "*/length": no part is sent (first and last are -1)
    int64_t first;     // the part's first and last byte positions
    int64_t last;
    int64_t complete;  // the whole representation's length; -1 for "*" (unknown)
};

// Reads text[0..len) (white space around it allowed): "bytes first-last/
// length", "bytes first-last/*" or "bytes */length", the unit in any case.
// False for anything else: another unit, a last position before the first
// or not below a known length, a number too large for 63 bits.
bool readContentRange(const char* text, int len, ContentRange* range);

}  // namespace quodra
