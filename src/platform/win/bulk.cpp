// Body bytes between a socket and a file: declined here, so the core reads
// and sends, or receives and writes, through its own buffer. The system's
// own file sending (TransmitFile) is made for overlapped sockets, not for
// one whose events come as window messages.
#include "winsys.h"

namespace plat {

int sendFile(Socket, int, int) { return kNotServed; }

int recvFile(Socket, int, int) { return kNotServed; }

}  // namespace plat
