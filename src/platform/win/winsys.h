// The Windows system headers as every file of this backend includes them:
// Windows Sockets first (it must precede windows.h) with its IPv6 and
// resolver half, no min/max macros; and the two conversions from the layer's
// handles to the system's.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {
namespace win {

inline HWND sysWindow(Hwnd h) { return static_cast<HWND>(h); }
inline SOCKET sysSocket(Socket s) { return static_cast<SOCKET>(s); }

// The system's words for an error or status code (errors.cpp), one line
// into buf; the length written, 0 when the system has none.
int systemWords(unsigned long code, char* buf, int size);

}  // namespace win
}  // namespace plat
