// Small helpers for the record's heap texts and the error message boxes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quodra {

// Length of a NUL-terminated text; 0 for a null pointer.
int textLength(const char* text);
// Shows the error box (no owner, error icon) with the given text and caption,
// unless message boxes are off for this thread (below).
void showError(const char* text, const char* caption);
// Turns this thread's message boxes on (non-zero) or off; returns the
// previous setting. A call sets it from its options for as long as it runs,
// so that every box of the call, allocation failures included, obeys them.
int setBoxesShown(int on);
// Shows "new failed: <what>" captioned with the product token.
void showAllocFailure(const char* what);
// True when text holds a control byte (0x01..0x1F or 0x7F): such a text
// must not reach a request line or a header line.
bool hasControlByte(const char* text);
// The decimal number at text[0..len) read like atol (leading white space,
// an optional sign, the digits up to the first other byte; 0 without a
// digit), but in 64 bits, saturating at +/-INT64_MAX instead of overflowing.
int64_t readDecimal64(const char* text, int len);
// Owned copy of text (null gives null); on allocation failure shows
// "new failed: <what>" and returns null.
char* copyText(const char* text, const char* what);

}  // namespace quodra
