// Reading a complete reply head without allocating: the length its
// Content-Length lines announce and the status code of its first line.
// The head may hold NUL bytes, so every function takes its length.
#pragma once

#include <cstdint>

namespace quodra {

// What the Content-Length lines of a head say. A line counts when it starts
// after an LF (never the status line) with the name in any case and the
// colon right after it; its value is white space, decimal digits, white
// space, then the line end.
enum LengthVerdict {
    LENGTH_NONE = 0,       // no such line
    LENGTH_ANNOUNCED = 1,  // every such line gives the same value, *length
    LENGTH_MALFORMED = -1  // a value that is not a plain decimal number (a
                           // negative one, say), or two that differ
};
// Values too large for 63 bits stop at INT64_MAX. *length is set only for
// LENGTH_ANNOUNCED.
LengthVerdict readContentLength(const char* head, int len, int64_t* length);

// The status code of the first line ("HTTP/x.y 204 ..." gives 204), or 0
// when that line is not a readable status line.
int readReplyStatus(const char* head, int len);

}  // namespace quodra
