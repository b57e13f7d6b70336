// Address text and byte order, from WS2_32.
#include "winsys.h"

namespace plat {

uint32_t inet_addr(const char* text) { return ::inet_addr(text); }

uint16_t htons(uint16_t v) { return ::htons(v); }

}  // namespace plat
