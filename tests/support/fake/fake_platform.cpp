// The scripted platform behind the core tests. Files are real (tests work
// in a scratch directory); sockets, lookups, windows and message boxes are
// scripted or recorded.
#include "fake_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace fake {

namespace {
State theState;
std::deque<Posted> queue;                       // messages not yet taken
std::map<std::string, plat::WndProc> classes;   // registered classes
std::map<plat::Hwnd, plat::WndProc> windows;    // live windows
uintptr_t nextWindow = 0x1000;
}  // namespace

State& state() { return theState; }

void reset() {
    theState = State();
    queue.clear();
    classes.clear();
    windows.clear();
}

Step bytes(const std::string& data) {
    return Step{static_cast<int>(data.size()), 0, data};
}
Step closed() { return Step{0, 0, std::string()}; }
Step fail(int error) { return Step{-1, error, std::string()}; }
Step take(int n) { return Step{n, 0, std::string()}; }
Step takeAll() { return Step{-2, 0, std::string()}; }

}  // namespace fake

using fake::theState;

namespace plat {

int WSAStartup(uint16_t) { return 0; }
int WSACleanup() { return 0; }
int WSAGetLastError() { return theState.lastError; }

uint32_t inet_addr(const char* text) {
    unsigned a, b, c, d;
    char tail;
    if (!text || std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 ||
        a > 255 || b > 255 || c > 255 || d > 255)
        return 0xFFFFFFFFu;
    uint32_t host = (a << 24) | (b << 16) | (c << 8) | d;
    unsigned char bytes[4] = {static_cast<unsigned char>(host >> 24),
                              static_cast<unsigned char>(host >> 16),
                              static_cast<unsigned char>(host >> 8),
                              static_cast<unsigned char>(host)};
    uint32_t net;
    std::memcpy(&net, bytes, 4);
    return net;
}

uint16_t htons(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

Socket socket(int, int, int) { return theState.nextSocket; }

int connect(Socket, const SockAddrIn*, int) {
    ++theState.connects;
    if (theState.connectResult == -1) theState.lastError = theState.connectError;
    return theState.connectResult;
}

int send(Socket, const char* buf, int len, int) {
    theState.sendOffers.push_back(len);
    int n = len;
    if (!theState.sendScript.empty()) {
        fake::Step step = theState.sendScript.front();
        theState.sendScript.pop_front();
        if (step.count == -1) {
            theState.lastError = step.error;
            return -1;
        }
        if (step.count >= 0) n = std::min(step.count, len);
    }
    theState.sent.append(buf, n);
    return n;
}

int recv(Socket, char* buf, int len, int) {
    ++theState.recvCalls;
    if (theState.recvScript.empty()) {
        theState.lastError = 10035;
        return -1;
    }
    fake::Step& step = theState.recvScript.front();
    if (step.count == -1) {
        theState.lastError = step.error;
        theState.recvScript.pop_front();
        return -1;
    }
    if (step.count == 0) {
        theState.recvScript.pop_front();
        return 0;
    }
    // A step larger than the buffer is delivered over several calls.
    int n = std::min(len, static_cast<int>(step.data.size()));
    std::memcpy(buf, step.data.data(), n);
    step.data.erase(0, n);
    if (step.data.empty()) theState.recvScript.pop_front();
    return n;
}

int closesocket(Socket s) {
    theState.closedSockets.push_back(s);
    return 0;
}

int secureSocket(Socket s, const char* host, int flags) {
    theState.secured.push_back({s, host ? host : "", flags, theState.selects.size(),
                                static_cast<size_t>(theState.connects)});
    if (theState.secureResult == -1) theState.lastError = 10055;
    return theState.secureResult;
}

int WSAAsyncSelect(Socket s, Hwnd, unsigned, long events) {
    theState.selects.emplace_back(s, events);
    return 0;
}

// Lays out a hostent holding lookupAddr inside buf, as a real lookup does.
static void fillHostEnt(char* buf, int buflen) {
    struct Layout {
        HostEnt he;
        char* aliases[1];
        char* addrs[2];
        uint32_t addr;
        char name[8];
    };
    if (!buf || buflen < static_cast<int>(sizeof(Layout))) return;
    Layout* l = reinterpret_cast<Layout*>(buf);
    std::memcpy(l->name, "server", 7);
    l->addr = theState.lookupAddr;
    l->aliases[0] = nullptr;
    l->addrs[0] = theState.lookupAddr ? reinterpret_cast<char*>(&l->addr) : nullptr;
    l->addrs[1] = nullptr;
    l->he.h_name = l->name;
    l->he.h_aliases = l->aliases;
    l->he.h_addrtype = 2;
    l->he.h_length = 4;
    l->he.h_addr_list = l->addrs;
}

Handle WSAAsyncGetHostByName(Hwnd hwnd, unsigned msg, const char* name,
                             char* buf, int buflen) {
    theState.lookups.push_back({true, name ? name : "", hwnd, msg, buf, buflen});
    if (theState.lookupResult) fillHostEnt(buf, buflen);
    return theState.lookupResult;
}

Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr,
                             int len, int, char* buf, int buflen) {
    theState.lookups.push_back(
        {false, std::string(addr, len > 0 ? len : 0), hwnd, msg, buf, buflen});
    if (theState.lookupResult) fillHostEnt(buf, buflen);
    return theState.lookupResult;
}

int GetClassInfoA(Instance, const char* className) {
    return fake::classes.count(className) ? 1 : 0;
}

int RegisterClassA(const WndClass* wc) {
    fake::classes[wc->lpszClassName] = wc->lpfnWndProc;
    return 1;
}

Hwnd GetActiveWindow() { return nullptr; }

Hwnd CreateWindowExA(unsigned long, const char* className, const char*,
                     unsigned long, int, int, int, int, Hwnd, void*, Instance,
                     void*) {
    auto it = fake::classes.find(className);
    if (it == fake::classes.end() || theState.failCreateWindow) return nullptr;
    Hwnd h = reinterpret_cast<Hwnd>(fake::nextWindow++);
    fake::windows[h] = it->second;
    theState.createdWindows.push_back(h);
    return h;
}

int ShowWindow(Hwnd, int cmd) {
    theState.shows = cmd;
    return 0;
}

int DestroyWindow(Hwnd hwnd) {
    theState.destroyedWindows.push_back(hwnd);
    fake::windows.erase(hwnd);
    auto& q = fake::queue;
    q.erase(std::remove_if(q.begin(), q.end(),
                           [hwnd](const fake::Posted& p) { return p.hwnd == hwnd; }),
            q.end());
    return 1;
}

int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    fake::Posted p{hwnd, msg, wParam, lParam};
    theState.posted.push_back(p);
    fake::queue.push_back(p);
    return 1;
}

// Never blocks: when nothing is queued the next scripted event arrives; when
// none is left (nothing would ever arrive) the call fails.
int GetMessageA(Msg* msg, Hwnd filter, unsigned, unsigned) {
    auto& q = fake::queue;
    bool queued = std::any_of(q.begin(), q.end(), [filter](const fake::Posted& p) {
        return !filter || p.hwnd == filter;
    });
    if (!queued && !theState.incoming.empty()) {
        fake::Posted p = theState.incoming.front();
        theState.incoming.pop_front();
        if (!p.hwnd && !theState.createdWindows.empty())
            p.hwnd = theState.createdWindows.back();
        if (p.msg == 0x113) theState.tick += theState.timerAdvance;
        q.push_back(p);
    }
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (filter && it->hwnd != filter) continue;
        *msg = Msg{it->hwnd, it->msg, it->wParam, it->lParam};
        q.erase(it);
        return msg->message == 0x12 ? 0 : 1;
    }
    return -1;
}

int TranslateMessage(const Msg*) { return 0; }

LResult DispatchMessageA(const Msg* msg) {
    auto it = fake::windows.find(msg->hwnd);
    if (it == fake::windows.end()) return 0;
    return it->second(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LResult DefWindowProcA(Hwnd, unsigned msg, WParam, LParam) {
    return 0x5EED0000 + msg;  // recognisable, so tests can see it passed back
}

uintptr_t SetTimer(Hwnd, uintptr_t id, unsigned) { return id; }
int KillTimer(Hwnd, uintptr_t) { return 1; }
uint32_t GetTickCount() { return theState.tick; }

int MessageBoxA(Hwnd owner, const char* text, const char* caption,
                unsigned type) {
    theState.boxes.push_back(
        {text ? text : "", caption ? caption : "", type, owner});
    return 1;
}

int openRead(const char* path) {
    if (!path || !*path) return -1;
    int fd = ::open(path, O_RDONLY);
    if (fd >= 0) ++theState.openInputs;
    return fd;
}

int readFile(int fd, char* buf, int len) {
    if (theState.failReadAfter >= 0 && theState.readCalls++ >= theState.failReadAfter)
        return -1;
    return static_cast<int>(::read(fd, buf, len));
}

int64_t seekCur(int fd, int64_t offset) {
    if (theState.failSeekAfter >= 0 && theState.seekCalls++ >= theState.failSeekAfter)
        return -1;
    return ::lseek(fd, offset, SEEK_CUR);
}

int closeFile(int fd) {
    --theState.openInputs;
    return ::close(fd);
}

int64_t fileSize(const char* path) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0) return 0;
    return st.st_size;
}

void* openOut(const char* path) {
    if (!path) return nullptr;
    FILE* f = std::fopen(path, "wb");
    if (f) ++theState.openOutputs;
    return f;
}

size_t writeOut(void* stream, const char* buf, size_t len) {
    return std::fwrite(buf, 1, len, static_cast<FILE*>(stream));
}

int closeOut(void* stream) {
    --theState.openOutputs;
    return std::fclose(static_cast<FILE*>(stream));
}

}  // namespace plat

namespace plat {
int WSACancelAsyncRequest(Handle) { return 0; }
}  // namespace plat
