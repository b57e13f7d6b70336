// The scripted platform behind the core tests. Files are real (tests work
// in a scratch directory); sockets, lookups, windows and message boxes are
// scripted or recorded.
#include "fake_platform.h"

#include "platform/beside_name.h"
#include "platform/numbers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

// glibc may define htons as a macro, which would rewrite the fake's own
// function of that name.
#undef htons

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
std::set<plat::Socket> liveSockets;             // made and not closed
std::set<std::pair<plat::Hwnd, uintptr_t>> timers;  // set and not killed
uintptr_t nextWindow = 0x1000;
}  // namespace

plat::SockAddr ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    plat::SockAddr s{};
    s.family = 2;
    s.addr[0] = static_cast<uint8_t>(a);
    s.addr[1] = static_cast<uint8_t>(b);
    s.addr[2] = static_cast<uint8_t>(c);
    s.addr[3] = static_cast<uint8_t>(d);
    return s;
}

plat::SockAddr ipv6(const char* text) {
    plat::SockAddr s{};
    s.family = 23;
    if (::inet_pton(AF_INET6, text, s.addr) != 1) s.family = -1;  // a test's typo shows
    return s;
}

State& state() { return theState; }

size_t queued() { return queue.size(); }

void reset() {
    theState = State();
    queue.clear();
    classes.clear();
    windows.clear();
    liveSockets.clear();
    timers.clear();
}

Step bytes(const std::string& data) {
    return Step{static_cast<int>(data.size()), 0, data};
}
Step closed() { return Step{0, 0, std::string()}; }
Step fail(int error) { return Step{-1, error, std::string()}; }
Step take(int n) { return Step{n, 0, std::string()}; }
Step takeAll() { return Step{-2, 0, std::string()}; }
Step declined() { return Step{-3, 0, std::string()}; }
Step fileRefused() { return Step{-4, 0, std::string()}; }

}  // namespace fake

using fake::theState;

namespace plat {

int WSAStartup(uint16_t) {
    ++theState.startups;
    return 0;
}
int WSACleanup() {
    ++theState.cleanups;
    return 0;
}
int WSAGetLastError() { return theState.lastError; }

uint16_t htons(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

Socket socket(int af, int, int) {
    if (theState.failSockets || af == theState.failFamily) {
        theState.lastError = kErrAfNoSupport;
        return -1;
    }
    Socket s = 100;
    while (fake::liveSockets.count(s)) ++s;
    fake::liveSockets.insert(s);
    ++theState.openSockets;
    theState.sockets.push_back({s, af});
    return s;
}

int connect(Socket s, const SockAddr* addr, int len) {
    if (!addr || len != static_cast<int>(sizeof(SockAddr))) {
        theState.lastError = kErrFault;
        return -1;
    }
    theState.connects.push_back({s, *addr});
    int outcome;
    if (!theState.connectScript.empty()) {
        outcome = theState.connectScript.front();
        theState.connectScript.pop_front();
    } else {
        outcome = theState.connectResult == -1 ? theState.connectError : 0;
    }
    if (outcome == 0) return 0;
    theState.lastError = outcome;
    return -1;
}

namespace {
void noteSend(Socket s) {
    theState.sendSockets.push_back(s);
    theState.mostOpenWhileSending = std::max(theState.mostOpenWhileSending, theState.openSockets);
}
}  // namespace

int send(Socket s, const char* buf, int len, int) {
    noteSend(s);
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

int sendFile(Socket s, int fd, int len) {
    noteSend(s);
    theState.sendFileOffers.push_back(len);
    if (theState.sendFileScript.empty()) return kNotServed;
    fake::Step step = theState.sendFileScript.front();
    theState.sendFileScript.pop_front();
    if (step.count == -3) return kNotServed;
    if (step.count == -1) {
        theState.lastError = step.error;
        return -1;
    }
    int want = step.count >= 0 ? std::min(step.count, len) : len;
    std::string bytes(static_cast<size_t>(want), '\0');
    ssize_t n = want ? ::read(fd, &bytes[0], bytes.size()) : 0;
    if (n < 0) return kNotServed;
    theState.sent.append(bytes, 0, static_cast<size_t>(n));
    return static_cast<int>(n);
}

int recvFile(Socket, int fd, int len) {
    theState.recvFileOffers.push_back(len);
    if (theState.recvFileScript.empty()) return kNotServed;
    fake::Step& step = theState.recvFileScript.front();
    if (step.count < 0 || step.count == 0) {
        fake::Step done = step;
        theState.recvFileScript.pop_front();
        if (done.count == -3) return kNotServed;
        if (done.count == -4) return kFileFailed;
        if (done.count == 0) return 0;
        theState.lastError = done.error;
        return -1;
    }
    // Like recv, a step larger than asked for is delivered over several calls.
    size_t n = std::min(static_cast<size_t>(len), step.data.size());
    if (::write(fd, step.data.data(), n) != static_cast<ssize_t>(n)) return kFileFailed;
    step.data.erase(0, n);
    if (step.data.empty()) theState.recvFileScript.pop_front();
    return static_cast<int>(n);
}

int recv(Socket, char* buf, int len, int) {
    ++theState.recvCalls;
    if (theState.recvScript.empty()) {
        theState.lastError = kErrWouldBlock;
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
    if (fake::liveSockets.erase(s)) --theState.openSockets;
    return 0;
}

int secureSocket(Socket s, const char* host, int flags) {
    theState.secured.push_back({s, host ? host : "", flags, theState.selects.size(),
                                theState.connects.size()});
    if (theState.secureResult == -1) theState.lastError = kErrNoBufs;
    return theState.secureResult;
}

int startSecure(Socket s, const char* host, int flags) {
    theState.startedSecure.push_back({s, host ? host : "", flags, theState.selects.size(),
                                      theState.connects.size()});
    if (theState.startSecureResult == -1) {
        theState.lastError = kErrSecureFailed;
        return -1;
    }
    return 0;
}

long environmentText(const char* name, char* buf, size_t size) {
    auto it = theState.environment.find(name ? name : "");
    if (it == theState.environment.end()) return -1;
    const std::string& v = it->second;
    if (buf && size > 0) {
        size_t n = std::min(v.size(), size - 1);
        std::memcpy(buf, v.data(), n);
        buf[n] = '\0';
    }
    return static_cast<long>(v.size());
}

int socketMoved(Socket s, uint32_t* tick) {
    auto it = theState.moved.find(s);
    if (it == theState.moved.end()) return 0;
    *tick = it->second;
    return 1;
}

int WSAAsyncSelect(Socket s, Hwnd, unsigned, long events) {
    theState.selects.emplace_back(s, events);
    return 0;
}

int socketIdleOpen(Socket) {
    ++theState.idleChecks;
    return theState.idleOpen;
}

Handle WSAAsyncGetAddrInfo(Hwnd hwnd, unsigned msg, const char* name, SockAddr* list,
                           int max) {
    theState.lookups.push_back({name ? name : "", hwnd, msg, list, max});
    if (!theState.lookupResult) return 0;
    for (size_t i = 0; i < theState.lookupAddrs.size() && static_cast<int>(i) < max; ++i)
        list[i] = theState.lookupAddrs[i];
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

void setActivity(Hwnd hwnd, double sent, double sendTotal, double received,
                 double receiveTotal) {
    theState.activity.push_back({hwnd, sent, sendTotal, received, receiveTotal});
}

int fileError() { return theState.fileError; }

// Words that show where they came from: "Fake words for 10061."
int socketErrorText(int error, char* buf, int size) {
    return std::snprintf(buf, static_cast<size_t>(size), "Fake words for %d.", error);
}

// The system's own words, as the POSIX backend gives them.
int fileErrorText(int error, char* buf, int size) {
    if (error <= 0) return 0;
    return std::snprintf(buf, static_cast<size_t>(size), "%s", std::strerror(error));
}

int secureFailure(Socket, char* buf, int size) {
    return std::snprintf(buf, static_cast<size_t>(size), "%s", theState.secureReason.c_str());
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
        if (theState.onArrival) theState.onArrival(p);
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

// A timer set again is the same timer, its period started afresh.
uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
    theState.timerSets.emplace_back(id, ms);
    if (id == theState.failTimerId) return 0;
    fake::timers.insert({hwnd, id});
    theState.liveTimers = static_cast<int>(fake::timers.size());
    return id;
}
int KillTimer(Hwnd hwnd, uintptr_t id) {
    int killed = fake::timers.erase({hwnd, id}) ? 1 : 0;
    theState.liveTimers = static_cast<int>(fake::timers.size());
    return killed;
}
uint32_t GetTickCount() { return theState.tick; }

int MessageBoxA(Hwnd owner, const char* text, const char* caption,
                unsigned type) {
    theState.boxes.push_back(
        {text ? text : "", caption ? caption : "", type, owner});
    return 1;
}

int openRead(const char* path) {
    if (!path || !*path) {
        theState.fileError = ENOENT;
        return -1;
    }
    int fd = ::open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) theState.fileError = errno;
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
        theState.fileError = 0;  // opened, just no regular file
    }
    if (fd >= 0) ++theState.openInputs;
    return fd;
}

int readFile(int fd, char* buf, int len) {
    if (theState.failReadAfter >= 0 && theState.readCalls++ >= theState.failReadAfter) {
        theState.fileError = EIO;
        return -1;
    }
    return static_cast<int>(::read(fd, buf, len));
}

int64_t seekCur(int fd, int64_t offset) {
    if (theState.failSeekAfter >= 0 && theState.seekCalls++ >= theState.failSeekAfter) {
        theState.fileError = ESPIPE;
        return -1;
    }
    return ::lseek(fd, offset, SEEK_CUR);
}

int closeFile(int fd) {
    --theState.openInputs;
    return ::close(fd);
}

int64_t fileSize(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

namespace {

// Whether the folder that holds path takes new names.
bool folderTakesNames(const char* path) {
    std::string folder(path);
    size_t slash = folder.rfind('/');
    if (slash == folder.size() - 1) return false;
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    struct stat st;
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

// The POSIX backend's rules on the real files of the test's scratch folder
// (links are not followed here: the tests make none).
int checkOut(const char* path, int* held, int beside) {
    ++theState.outChecks;
    theState.lastCheckBeside = beside;
    *held = -1;
    auto failed = [](int e) {
        theState.fileError = e;
        return -1;
    };
    if (!path || !*path) return failed(ENOENT);
    struct stat st;
    if (::stat(path, &st) != 0) {
        if (errno != ENOENT) return failed(errno);
        std::string folder(path);
        size_t slash = folder.rfind('/');
        if (slash == folder.size() - 1) return failed(EISDIR);
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        if (::stat(folder.c_str(), &st) != 0) return failed(errno);
        if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR);
        return ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : failed(errno);
    }
    if (S_ISDIR(st.st_mode)) return failed(EISDIR);
    if (S_ISREG(st.st_mode)) {
        if (::access(path, W_OK) != 0) return failed(errno);
        // A new file beside it needs a folder that takes names.
        return !beside || folderTakesNames(path) ? 0 : failed(EACCES);
    }
    int fd = ::open(path, O_WRONLY | O_NONBLOCK);
    if (fd < 0) return failed(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ++theState.openOutputs;
    *held = fd;
    return 0;
}

int openOut(const char* path) {
    ++theState.outOpens;
    if (!path) return -1;
    // Never waits (the fake never blocks): a FIFO with no reader fails.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
    if (fd < 0) theState.fileError = errno;
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (fd >= 0) ++theState.openOutputs;
    return fd;
}

size_t writeOut(int fd, const char* buf, size_t len) {
    if (++theState.writeCalls == theState.failWriteAt) {
        len = std::min(len, theState.writeShort);
        theState.fileError = ENOSPC;
    }
    ssize_t n = len ? ::write(fd, buf, len) : 0;
    return n < 0 ? 0 : static_cast<size_t>(n);
}

int closeOut(int fd) {
    --theState.openOutputs;
    int rc = ::close(fd);
    if (++theState.closeCalls != theState.failCloseAt) return rc;
    theState.fileError = EIO;
    return -1;
}

int fileFacts(const char* path, FileFacts* facts) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    facts->size = st.st_size;
    facts->modified = st.st_mtim.tv_sec;
    return 0;
}

int openAppend(const char* path, int64_t* end) {
    ++theState.appendOpens;
    int fd = path ? ::open(path, O_WRONLY | O_NONBLOCK) : -1;
    struct stat st;
    off_t at = -1;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                    (at = ::lseek(fd, 0, SEEK_END)) < 0)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ++theState.openOutputs;
    *end = at;
    return fd;
}

// The backend's names, from the fake's random bytes, and its modes.
int openBeside(const char* path, Beside* beside) {
    beside->temp[0] = '\0';
    if (theState.failBeside || !path || std::strlen(path) >= kPathLimit) return -1;
    std::strcpy(beside->target, path);
    struct stat old;
    bool hasOld = ::stat(path, &old) == 0;
    for (int tries = 0; tries < 16; ++tries) {
        unsigned char random[kBesideRandom];
        randomBytes(random, sizeof random);
        if (!besideName(path, random, NAME_MAX, "/", beside->temp, kPathLimit)) break;
        int fd = ::open(beside->temp, O_WRONLY | O_CREAT | O_EXCL, hasOld ? 0600 : 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) break;
        if (hasOld) ::fchmod(fd, old.st_mode & 0777);
        ++theState.besideOpens;
        ++theState.openOutputs;
        return fd;
    }
    beside->temp[0] = '\0';
    return -1;
}

int replaceWithBeside(int fd, Beside* beside) {
    --theState.openOutputs;
    bool whole = ::close(fd) == 0 && ++theState.replaceCalls != theState.failReplaceAt &&
                 ::rename(beside->temp, beside->target) == 0;
    if (!whole) ::unlink(beside->temp);
    beside->temp[0] = '\0';
    return whole ? 0 : -1;
}

void removeBeside(Beside* beside) {
    if (beside->temp[0]) ::unlink(beside->temp);
    beside->temp[0] = '\0';
}

int setModified(int fd, int64_t seconds) {
    if (theState.failSetModified) return -1;
    theState.modifiedSet.push_back(seconds);
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    return ::futimens(fd, times);
}

int64_t timeNow() { return theState.now; }

int randomBytes(void* buf, size_t len) {
    if (theState.randomFails) return -1;
    unsigned char* out = static_cast<unsigned char*>(buf);
    for (size_t i = 0; i < len; ++i) {
        if (!theState.randomScript.empty()) {
            out[i] = static_cast<unsigned char>(theState.randomScript[0]);
            theState.randomScript.erase(0, 1);
        } else {
            out[i] = theState.randomNext++;
        }
    }
    return 0;
}

int WSACancelAsyncRequest(Handle) { return 0; }

}  // namespace plat
