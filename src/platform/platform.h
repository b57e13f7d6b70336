// The platform layer: every socket, file handle, window, message, timer and
// message-box operation the core needs, with the Windows Sockets 1.1 and
// window-message semantics the core is written against. One header, one
// backend per platform (posix/, win/); tests link a fake instead.
//
// The numbers the core tests against (messages, events, error numbers)
// are in constants.h, kept apart so that a backend can include this header
// next to the system headers that define the same names as macros.
//
// The names follow the Windows services they stand for, inside namespace
// plat so that they never collide with the C library's socket calls.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QUODRA_STDCALL __stdcall
#else
#define QUODRA_STDCALL
#endif

namespace plat {

using Hwnd = void*;        // window handle; nullptr = none
using Socket = intptr_t;   // socket handle; INVALID_SOCKET = none
using WParam = uintptr_t;  // first message parameter
using LParam = intptr_t;   // second message parameter
using LResult = intptr_t;  // window procedure result
using Handle = uintptr_t;  // asynchronous task handle; 0 = not started
using Instance = void*;    // module instance handle

using WndProc = LResult(QUODRA_STDCALL*)(Hwnd, unsigned, WParam, LParam);

// Laid out exactly as the Windows Sockets records of the same names.
struct SockAddrIn {
    short sin_family;    // AF_INET
    uint16_t sin_port;   // network order
    uint32_t sin_addr;   // network order
    char sin_zero[8];    // unused, zero
};
static_assert(sizeof(SockAddrIn) == 16, "sockaddr_in is 16 bytes");

struct HostEnt {
    char* h_name;         // official name
    char** h_aliases;     // null-terminated list
    short h_addrtype;     // AF_INET
    short h_length;       // 4
    char** h_addr_list;   // null-terminated list of 4-byte addresses
};

struct Msg {
    Hwnd hwnd;        // target window; nullptr for a thread message
    unsigned message; // message number
    WParam wParam;    // first parameter
    LParam lParam;    // second parameter
};

struct WndClass {
    unsigned style;          // class style, 0
    WndProc lpfnWndProc;     // window procedure
    int cbClsExtra;          // extra class bytes, 0
    int cbWndExtra;          // extra window bytes, 0
    Instance hInstance;      // owning module
    const char* lpszClassName;
};

// ---- Windows Sockets -----------------------------------------------------
int WSAStartup(uint16_t version);  // 0 = usable
int WSACleanup();
int WSAGetLastError();             // last error of this thread
uint32_t inet_addr(const char* text);
uint16_t htons(uint16_t v);
Socket socket(int af, int type, int protocol);
int connect(Socket s, const SockAddrIn* addr, int len);
int send(Socket s, const char* buf, int len, int flags);
int recv(Socket s, char* buf, int len, int flags);
int closesocket(Socket s);
int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events);
Handle WSAAsyncGetHostByName(Hwnd hwnd, unsigned msg, const char* name,
                             char* buf, int buflen);
Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr,
                             int len, int type, char* buf, int buflen);
// Stops a pending lookup: after it returns nothing more is written into its
// buffer and no completion is posted. 0 = cancelled, else already complete.
int WSACancelAsyncRequest(Handle task);

// ---- Windows and messages --------------------------------------------------
int GetClassInfoA(Instance inst, const char* className);  // non-zero = registered
int RegisterClassA(const WndClass* wc);                    // 0 = failed
Hwnd GetActiveWindow();
Hwnd CreateWindowExA(unsigned long exStyle, const char* className,
                     const char* title, unsigned long style, int x, int y,
                     int width, int height, Hwnd parent, void* menu,
                     Instance inst, void* param);
int ShowWindow(Hwnd hwnd, int cmd);
int DestroyWindow(Hwnd hwnd);
int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam);
// 0 exactly when it takes WM_QUIT, -1 on failure, else positive.
int GetMessageA(Msg* msg, Hwnd filter, unsigned min, unsigned max);
int TranslateMessage(const Msg* msg);
LResult DispatchMessageA(const Msg* msg);
LResult DefWindowProcA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam);
uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms);  // WM_TIMER every ms
int KillTimer(Hwnd hwnd, uintptr_t id);
uint32_t GetTickCount();  // milliseconds, wrapping

// Modal on Windows; elsewhere a line on standard error. Result not used.
int MessageBoxA(Hwnd owner, const char* text, const char* caption,
                unsigned type);

// ---- Files as operating-system objects ------------------------------------
int openRead(const char* path);               // binary, existing regular file; <0 = failed
int readFile(int fd, char* buf, int len);     // count, 0 at end, <0 on error
int64_t seekCur(int fd, int64_t offset);      // new position, <0 on failure
int closeFile(int fd);
int64_t fileSize(const char* path);           // bytes of a regular file, else 0
void* openOut(const char* path);              // "wb" stream, nullptr = failed
size_t writeOut(void* stream, const char* buf, size_t len);
int closeOut(void* stream);                   // flushes

// ---- Random bytes ---------------------------------------------------------
// Fills buf with len bytes from the operating system's random source;
// 0 when filled, -1 when the source failed (buf is then of no use).
int randomBytes(void* buf, size_t len);

}  // namespace plat
