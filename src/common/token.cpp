#include "common/token.h"

#include <cstring>

namespace quodra {

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c && std::strchr("!#$%&'*+-.^_`|~", c));
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameNoCase(const char* text, int len, const char* word) {
    if (static_cast<int>(std::strlen(word)) != len) return false;
    for (int i = 0; i < len; ++i)
        if (lowerAscii(text[i]) != lowerAscii(word[i])) return false;
    return true;
}

}  // namespace quodra
