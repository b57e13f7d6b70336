// Reading a complete reply head without allocating: where its Content-Length
// line is (its number is read with readDecimal64) and the status code of its
// first line.
// The head may hold NUL bytes, so every function takes its length.
#pragma once

#include <cstdint>

namespace quodra {

// Offset of the value of the first "Content-Length:" header line (name in
// any case, colon right after it, at the start of the second or a later
// line), or -1 when the head has no such line. A line starts after an LF.
int findContentLengthValue(const char* head, int len);

// The status code of the first line ("HTTP/x.y 204 ..." gives 204), or 0
// when that line is not a readable status line.
int readReplyStatus(const char* head, int len);

}  // namespace quodra
