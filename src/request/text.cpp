#include "text.h"

#include <cstring>
#include <string>

#include "../platform/constants.h"
#include "alloc.h"
#include "request.h"

int textLength(const char* text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

void showError(const char* text, const char* caption) {
    plat::MessageBoxA(nullptr, text, caption, plat::MB_ICONERROR);
}

void showAllocFailure(const char* what) {
    std::string text = "new failed: ";
    text += what;
    showError(text.c_str(), QUODRA_PRODUCT);
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
