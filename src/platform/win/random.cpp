// Random bytes from the system's generator (RtlGenRandom, exported by
// ADVAPI32 as SystemFunction036).
#include "winsys.h"

#include <ntsecapi.h>

namespace plat {

int randomBytes(void* buf, size_t len) {
    // The length is 32 bits wide; callers ask for a few dozen bytes.
    if (len > 0xFFFFFFFFu) return -1;
    return RtlGenRandom(buf, static_cast<ULONG>(len)) ? 0 : -1;
}

}  // namespace plat
