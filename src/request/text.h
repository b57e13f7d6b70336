// Small helpers for the record's heap texts and the error message boxes.
#pragma once

#include <cstddef>

// Length of a NUL-terminated text; 0 for a null pointer.
int textLength(const char* text);
// Shows the error box (no owner, error icon) with the given text and caption.
void showError(const char* text, const char* caption);
// Shows "new failed: <what>" captioned with the product token.
void showAllocFailure(const char* what);
// Owned copy of text (null gives null); on allocation failure shows
// "new failed: <what>" and returns null.
char* copyText(const char* text, const char* what);
