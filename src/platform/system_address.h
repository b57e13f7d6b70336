// The layer's address record (SockAddr) and the system's (sockaddr_in,
// sockaddr_in6, a resolver's addrinfo list), converted the same way by both
// backends.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"
#include "platform/system_sockets.h"

namespace plat {

// The system's record of a, in out; its length, or 0 when a's family is
// neither kAfInet nor kAfInet6.
int toSystemAddress(const SockAddr& a, sockaddr_storage* out);
// The layer's record of the system's sa of len bytes (port 0); false, with
// out cleared, for another family or a record too short for its own.
bool fromSystemAddress(const sockaddr* sa, size_t len, SockAddr* out);
// Appends the addresses of a resolver's answer to out, in its order, each
// once: an entry of another family, or one already in out, is passed over.
void appendAddresses(const addrinfo* list, std::vector<SockAddr>* out);

}  // namespace plat
