// The system's socket records (sockaddr_in, sockaddr_in6, sockaddr_storage,
// addrinfo) for the code both backends share: Windows Sockets' headers on
// Windows, the C library's elsewhere.
#pragma once

#if defined(_WIN32)
#include "win/winsys.h"
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
