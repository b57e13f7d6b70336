// Start and clean-up of Windows Sockets, asked for the version the caller
// names (the library asks for 1.1).
#include "winsys.h"

namespace plat {

int WSAStartup(uint16_t version) {
    WSADATA data;  // what the system reports of itself is not needed
    return ::WSAStartup(version, &data);
}

int WSACleanup() { return ::WSACleanup(); }

}  // namespace plat
