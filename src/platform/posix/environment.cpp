// The process's environment, read for the core (the proxy variables are the
// only ones it asks for) so that the core never reads it itself.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace plat {

long environmentText(const char* name, char* buf, size_t size) {
    if (!name || !*name) return -1;
    const char* value = std::getenv(name);
    if (!value) return -1;
    size_t len = std::strlen(value);
    if (buf && size > 0) {
        size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(buf, value, n);
        buf[n] = '\0';
    }
    return static_cast<long>(len);
}

}  // namespace plat
