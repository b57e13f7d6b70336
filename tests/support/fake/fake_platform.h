// A scripted stand-in for the platform layer, for testing the core without
// sockets or windows. Sends and receives take their results from scripts,
// posted messages and message boxes are recorded, and the file operations
// run on real files with failures that a test can switch on.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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
    bool byName;        // name lookup (else by address)
    std::string key;    // the name, or the 4 address bytes
    plat::Hwnd hwnd;
    unsigned msg;
    char* buf;
    int buflen;
};

// Everything the fake has been told and has seen; reset() before each test.
struct State {
    std::deque<Step> sendScript;   // consumed by send(); empty = take all
    std::deque<Step> recvScript;   // consumed by recv(); empty = would-block
    std::string sent;              // every byte send() took, in order
    std::vector<int> sendOffers;   // the count offered to each send()
    int recvCalls = 0;
    int lastError = 0;             // what WSAGetLastError returns
    std::vector<MessageBox> boxes;
    std::vector<Posted> posted;
    std::vector<plat::Socket> closedSockets;
    std::vector<Lookup> lookups;
    plat::Handle lookupResult = 1;  // what the async lookups return
    plat::Socket nextSocket = 100;  // handle socket() gives; -1 = fails
    int connectResult = -1;         // connect() result
    int connectError = 10035;       // its error when -1
    std::vector<std::pair<plat::Socket, long>> selects;  // WSAAsyncSelect
    int connects = 0;               // connect calls
    std::vector<Secured> secured;   // secureSocket calls
    int secureResult = 0;           // what secureSocket returns; -1 fails
    int failSeekAfter = -1;   // seekCur fails from the n-th call on (0 = next)
    int failReadAfter = -1;   // readFile fails from the n-th call on
    int seekCalls = 0;
    int readCalls = 0;
    int openInputs = 0;       // input files open now
    int openOutputs = 0;      // output streams open now
    uint32_t tick = 0;        // GetTickCount value
    uint32_t timerAdvance = 0;  // the clock moves this much per scripted WM_TIMER
    std::vector<plat::Hwnd> destroyedWindows;
    std::vector<plat::Hwnd> createdWindows;
    bool failCreateWindow = false;  // CreateWindowExA returns null
    // Events the "network" delivers, one at a time, whenever the loop finds
    // nothing queued; a null hwnd means the newest window.
    std::deque<Posted> incoming;
    // Address the lookups put in their hostent; 0 = an empty address list.
    uint32_t lookupAddr = 0x0100007F;  // 127.0.0.1 in network order
    int shows = -1;           // last ShowWindow command
};

State& state();
void reset();

// Bytes sent as a string, for byte-for-byte comparisons.
inline const std::string& sent() { return state().sent; }

}  // namespace fake
