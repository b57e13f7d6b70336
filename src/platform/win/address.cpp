// Byte order, from WS2_32. Address text is read by the shared reader
// (../inet.cpp), not by the system's, whose forms differ between versions.
#include "winsys.h"

namespace plat {

uint16_t htons(uint16_t v) { return ::htons(v); }

}  // namespace plat
