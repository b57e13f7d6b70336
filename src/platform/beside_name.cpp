#include "platform/beside_name.h"

#include <cstring>

namespace plat {

bool besideName(const char* target, const unsigned char* random, size_t nameLimit,
                const char* separators, char* out, size_t size) {
    static const char SUFFIX[] = ".quodra-";
    static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const size_t suffixLen = sizeof SUFFIX - 1;
    const size_t added = 1 + suffixLen + kBesideRandom;  // the dot before the name
    if (!target || !out || nameLimit <= added) return false;
    size_t len = std::strlen(target);
    size_t folder = 0;
    for (size_t i = 0; i < len; ++i)
        if (std::strchr(separators, target[i])) folder = i + 1;
    size_t nameLen = len - folder;
    if (nameLen > nameLimit - added) nameLen = nameLimit - added;
    if (folder + nameLen + added + 1 > size) return false;
    char* p = out;
    std::memcpy(p, target, folder);
    p += folder;
    *p++ = '.';
    std::memcpy(p, target + folder, nameLen);
    p += nameLen;
    std::memcpy(p, SUFFIX, suffixLen);
    p += suffixLen;
    for (size_t i = 0; i < kBesideRandom; ++i) *p++ = ALPHABET[random[i] % (sizeof ALPHABET - 1)];
    *p = '\0';
    return true;
}

}  // namespace plat
