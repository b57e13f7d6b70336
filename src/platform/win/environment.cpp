// The environment as the core sees it on Windows: none. A Windows program
// expects no proxy from environment variables (its proxy, where it has one,
// is set by the program itself), so every name reads as unset.
#include "platform/platform.h"

namespace plat {

long environmentText(const char*, char*, size_t) { return -1; }

}  // namespace plat
