// A scripted stand-in for the platform layer, for testing the core without
// sockets or windows. Sends and receives take their results from scripts,
// posted messages and message boxes are recorded, and the file operations
// run on real files with failures that a test can switch on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace fake {

// One scripted result of send or recv.
struct Step {
    int count;  // bytes taken/delivered; 0 = (recv) orderly close; -1 = error
    int error;  // with count -1: the error number WSAGetLastError gives
    std::string data;  // recv: the bytes delivered (count is data.size())
};

// recv steps: bytes, an orderly close, or an error.
Step bytes(const std::string& data);
Step closed();
Step fail(int error);
// send steps: take n bytes (n may be below the offered count), or fail.
Step take(int n);
Step takeAll();  // takes whatever is offered
// sendFile and recvFile steps also: the platform declines to do it itself.
Step declined();
// recvFile step: the output file refused what was received.
Step fileRefused();

struct MessageBox {
    std::string text;
    std::string caption;
    unsigned type;
    plat::Hwnd owner;
};

struct Secured {
    plat::Socket sock;
    std::string host;
    int flags;
    size_t selectsBefore;  // WSAAsyncSelect calls made before it
    size_t connectsBefore; // connect calls made before it
};

struct Posted {
    plat::Hwnd hwnd;
    unsigned msg;
    plat::WParam wParam;
    plat::LParam lParam;
};

struct Lookup {
    std::string name;
    plat::Hwnd hwnd;
    unsigned msg;
    plat::SockAddr* list;
    int max;
};

// One socket() call: the handle it gave and the family asked for.
struct MadeSocket {
    plat::Socket sock;
    int family;
};

// One connect() call: the socket and the address, as the core passed it.
struct Connect {
    plat::Socket sock;
    plat::SockAddr addr;
};

// One setActivity call: the window and the counts it was fed.
struct Activity {
    plat::Hwnd hwnd;
    double sent, sendTotal, received, receiveTotal;
};

// Addresses as a lookup gives them (port 0), for scripts and comparisons.
plat::SockAddr ipv4(unsigned a, unsigned b, unsigned c, unsigned d);
plat::SockAddr ipv6(const char* text);

// Everything the fake has been told and has seen; reset() before each test.
struct State {
    int startups = 0;              // WSAStartup calls
    int cleanups = 0;              // WSACleanup calls
    std::deque<Step> sendScript;   // consumed by send(); empty = take all
    std::deque<Step> recvScript;   // consumed by recv(); empty = would-block
    std::string sent;              // every byte send() took, in order
    std::vector<plat::Socket> sendSockets;  // the socket of each send() and sendFile()
    int mostOpenWhileSending = 0;  // the most sockets open at any of them
    std::vector<int> sendOffers;   // the count offered to each send()
    // sendFile() takes its steps from here, reading what it takes from the
    // file into `sent` as send() would have; empty = it declines, as for a
    // socket the platform cannot send files on.
    std::deque<Step> sendFileScript;
    std::vector<int> sendFileOffers;  // the count asked of each sendFile()
    // recvFile() takes its steps from here, writing the bytes it delivers
    // (at most the count asked) to the file; empty = it declines.
    std::deque<Step> recvFileScript;
    std::vector<int> recvFileOffers;  // the count asked of each recvFile()
    int recvCalls = 0;
    int lastError = 0;             // what WSAGetLastError returns
    std::vector<MessageBox> boxes;
    std::vector<Posted> posted;
    std::vector<plat::Socket> closedSockets;
    std::vector<Lookup> lookups;
    plat::Handle lookupResult = 1;  // what the async lookups return
    // socket() gives the lowest handle from 100 up that is not open, as a
    // system reuses a closed one; failSockets = no socket at all, and
    // failFamily = none of that family (a machine without IPv6, say).
    bool failSockets = false;
    int failFamily = 0;
    int openSockets = 0;              // sockets made and not closed
    std::vector<MadeSocket> sockets;  // every socket() that gave one
    std::vector<Connect> connects;    // every connect(), in order
    // Outcome of each connect in turn: 0 = connected at once, else the
    // error it fails with (kErrWouldBlock = pending, its outcome an
    // event). When the script is empty, connectResult and connectError
    // answer.
    std::deque<int> connectScript;
    int connectResult = -1;         // connect() result
    int connectError = plat::kErrWouldBlock;  // its error when -1
    std::vector<std::pair<plat::Socket, long>> selects;  // WSAAsyncSelect
    // What socketIdleOpen answers for a kept socket: 1 still open, 0 found
    // closed by its peer; each call is counted.
    int idleOpen = 1;
    int idleChecks = 0;
    std::vector<Secured> secured;   // secureSocket calls
    int secureResult = 0;           // what secureSocket returns; -1 fails
    std::vector<Secured> startedSecure;  // startSecure calls (a proxy's tunnel)
    int startSecureResult = 0;      // what startSecure returns; -1 fails (7)
    // What environmentText reads: a name not here is unset.
    std::map<std::string, std::string> environment;
    // socketMoved: the tick at which a socket last moved bytes of its own
    // (a secure socket's handshake); a socket not here has moved none.
    std::map<plat::Socket, uint32_t> moved;
    int failSeekAfter = -1;   // seekCur fails from the n-th call on (0 = next)
    int failReadAfter = -1;   // readFile fails from the n-th call on
    int seekCalls = 0;
    int readCalls = 0;
    // The n-th writeOut from now on (1 = the next) stores only writeShort
    // bytes of what it is given and reports that; 0 = no failure.
    int failWriteAt = 0;
    size_t writeShort = 0;
    int writeCalls = 0;
    // The n-th closeOut (1 = the next) closes the file but reports a
    // failure, as a file system that reports write errors at close does.
    int failCloseAt = 0;
    int closeCalls = 0;
    int openInputs = 0;       // input files open now
    int openOutputs = 0;      // output files open now (held ones included)
    int outChecks = 0;        // checkOut calls
    int lastCheckBeside = -1; // what the last checkOut was told of a new file beside
    int outOpens = 0;         // openOut calls: the output created or emptied
    int appendOpens = 0;      // openAppend calls
    int besideOpens = 0;      // openBeside calls that made a new file beside the output
    bool failBeside = false;  // openBeside makes nothing and fails
    // The n-th replaceWithBeside (1 = the next) fails as a rename refused
    // by the system does: the new file is removed, the output kept.
    int failReplaceAt = 0;
    int replaceCalls = 0;
    bool failSetModified = false;  // setModified fails
    std::vector<int64_t> modifiedSet;  // every time setModified gave a file
    int64_t now = 1735689600;      // what timeNow says: 2025-01-01 00:00:00 UTC
    uint32_t tick = 0;        // GetTickCount value
    uint32_t timerAdvance = 0;  // the clock moves this much per scripted WM_TIMER
    int liveTimers = 0;       // set and not yet killed (a timer set again counts once)
    std::vector<std::pair<uintptr_t, unsigned>> timerSets;  // every SetTimer: id, ms
    uintptr_t failTimerId = 0;  // SetTimer of this id fails (0: none does)
    std::vector<plat::Hwnd> destroyedWindows;
    std::vector<plat::Hwnd> createdWindows;
    bool failCreateWindow = false;  // CreateWindowExA returns null
    // Events the "network" delivers, one at a time, whenever the loop finds
    // nothing queued; a null hwnd means the newest window.
    std::deque<Posted> incoming;
    // Called with each of those events as it arrives, before it is queued:
    // a test does here what a host would do while a call runs.
    std::function<void(const Posted&)> onArrival;
    // Addresses a lookup writes into the caller's list (at most its max);
    // the count in the completion is the script's (see hostDone in tests).
    std::vector<plat::SockAddr> lookupAddrs{ipv4(127, 0, 0, 1)};
    int shows = -1;           // last ShowWindow command
    std::vector<Activity> activity;  // every setActivity, in order
    // The system's error number of the last file call that failed (the
    // errno of the real file call, ENOSPC for a scripted short write);
    // fileError gives it.
    int fileError = 0;
    // What secureFailure says of any socket; empty: nothing.
    std::string secureReason;
    // randomBytes hands out these bytes first, then the bytes 0, 1, 2 ...
    // counting on (so the first boundary after a reset is always the same);
    // randomFails makes it fail.
    std::string randomScript;
    unsigned char randomNext = 0;
    bool randomFails = false;
};

State& state();
void reset();
// Messages posted and not yet taken by GetMessageA.
size_t queued();

// Bytes sent as a string, for byte-for-byte comparisons.
inline const std::string& sent() { return state().sent; }

}  // namespace fake
