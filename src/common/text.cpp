#include "common/text.h"

#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/product.h"
#include "platform/numbers.h"
#include "platform/platform.h"

namespace quodra {

int textLength(const char* text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

namespace {
thread_local int boxesShown = 1;  // outside any call: on, as at load
}  // namespace

void showError(const char* text, const char* caption) {
    if (!boxesShown) return;
    plat::MessageBoxA(nullptr, text, caption, plat::kMbIconError);
}

int setBoxesShown(int on) {
    int was = boxesShown;
    boxesShown = on ? 1 : 0;
    return was;
}

void showAllocFailure(const char* what) {
    std::string text = "new failed: ";
    text += what;
    showError(text.c_str(), QUODRA_PRODUCT);
}

bool hasControlByte(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p < 0x20 || *p == 0x7F) return true;
    return false;
}

namespace {

// The white space atol skips (the C locale's isspace).
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

int64_t readDecimal64(const char* text, int len) {
    if (!text) return 0;
    int i = 0;
    while (i < len && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const int64_t max = INT64_MAX;
    int64_t value = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        value = (value > (max - digit) / 10) ? max : value * 10 + digit;
    }
    return negative ? -value : value;
}

char* copyText(const char* text, const char* what) {
    if (!text) return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(qalloc(n));
    if (!copy) {
        showAllocFailure(what);
        return nullptr;
    }
    std::memcpy(copy, text, n);
    return copy;
}

}  // namespace quodra
