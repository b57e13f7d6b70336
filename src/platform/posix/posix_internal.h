// Shared state of the POSIX backend: windows, per-thread queues, sockets and
// the locks that guard them. Private to src/platform/posix.
//
// Locking. `Global::lock` (a shared mutex) guards the window, class and
// socket tables and every socket's selection (window, message, events,
// owner). A queue's `mu` guards its entries, timers and socket list and the
// connection state of the sockets linked to it. Order: the lookup pool's
// lock (lookup.cpp) first, then the global lock, then a queue lock, then the
// display lock. send and recv take the global lock shared, only to find
// their socket, and otherwise touch atomics.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {
namespace posix {

// ---- errors.cpp ----
void setLastError(int wsa);
int errorFromErrno(int e);  // 0 stays 0: "no error"
int errorFromLookup(int eai, int savedErrno);

// ---- clock and timers (timers.cpp) ----
uint64_t nowMs();  // monotonic milliseconds
struct Queue;
// Under q.mu: posts WM_TIMER for the due timers that have none waiting.
void fireTimers(Queue& q, uint64_t now);
// Under q.mu: milliseconds until the next timer can fire, -1 for none.
int timerDelay(const Queue& q, uint64_t now);

// ---- host lookups (lookup.cpp) ----
struct HostResult {
    std::string name;
    std::vector<uint32_t> addrs;  // network order
};
// Bytes a hostent with this content takes when laid out at `base`.
size_t hostEntSize(uintptr_t base, const HostResult& r);
// Lays the hostent out in buf; false (nothing written) when it does not fit.
bool writeHostEnt(const HostResult& r, char* buf, int buflen);
void stopLookups();  // cancels queued lookups and joins the workers

// ---- queues (queue.cpp) ----
struct Entry {
    Msg msg;
    // A lookup completion: its hostent is written into buf when the owner
    // thread takes the message, never earlier and never from elsewhere.
    std::shared_ptr<const HostResult> host;
    char* buf = nullptr;
    int buflen = 0;
    Handle lookup = 0;  // the lookup task this message completes, if any
};

struct Timer {
    uintptr_t hwnd;
    uintptr_t id;
    unsigned interval;
    uint64_t due;
    bool pending;  // its WM_TIMER waits in the queue
};

struct SockRec;

struct Queue {
    std::thread::id thread;
    int wakeFd = -1;
    std::mutex mu;
    std::deque<Entry> entries;
    std::vector<std::shared_ptr<SockRec>> sockets;  // selected to our windows
    std::vector<Timer> timers;
    int displays = 0;          // windows of this thread showing activity
    uint64_t nextRefresh = 0;  // when the activity line is redrawn
    ~Queue();
};

std::shared_ptr<Queue> currentQueue();  // created on first use
void wake(Queue& q);                    // interrupts the owner's poll
// Under q.mu. Removes entries for hwnd (and their pending timer marks).
void dropEntries(Queue& q, uintptr_t hwnd);

// ---- sockets (sockets.cpp, events.cpp) ----
enum class Link { Idle, Connecting, Connected, Failed };

struct SockRec {
    int fd = -1;
    // Selection: written under the global lock (exclusive) and the lock of
    // each queue the socket leaves or joins.
    std::atomic<Queue*> linked{nullptr};  // queue whose loop watches it
    std::shared_ptr<Queue> owner;
    uintptr_t hwnd = 0;
    unsigned msg = 0;
    long events = 0;
    uint64_t baseSent = 0;  // counters when selected to hwnd
    uint64_t baseReceived = 0;
    // Connection state, under the linked queue's lock.
    Link link = Link::Idle;
    int connectError = 0;  // failure known at connect time, still to post
    bool closePosted = false;
    // Touched by send and recv without a lock.
    std::atomic<bool> readArmed{false};    // may post FD_READ
    std::atomic<bool> writeWanted{false};  // post FD_WRITE when room comes
    std::atomic<bool> peerClosed{false};   // recv saw the end or a failure
    std::atomic<int> closeError{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> received{0};
};

// Under the global lock (exclusive): stops the socket's notifications and
// moves its byte counts to its window's totals.
void unlinkSocket(SockRec& rec);
// Under the global lock: bytes sent and received on the sockets selected to
// the window, since they were selected, closed ones included.
void windowTotals(uintptr_t hwnd, uint64_t* sent, uint64_t* received);

// Under q.mu: adds the descriptors the thread's sockets wait on, and tells
// whether some socket has an event to post without waiting.
bool collectInterest(Queue& q, std::vector<pollfd>& fds,
                     std::vector<std::shared_ptr<SockRec>>& recs);
// Under q.mu: turns readiness (and known outcomes) into posted events.
// fds[i + first] belongs to recs[i].
void postSocketEvents(Queue& q, const std::vector<pollfd>& fds, size_t first,
                      const std::vector<std::shared_ptr<SockRec>>& recs);

// ---- windows (windows.cpp) ----
struct Window {
    WndProc proc = nullptr;
    std::shared_ptr<Queue> queue;
    std::string title;
    bool shown = false;
    bool displaying = false;  // its activity line is up
    uint64_t doneSent = 0;  // bytes of sockets no longer selected to it
    uint64_t doneReceived = 0;
};

struct ClassRec {
    WndProc proc;
    Instance inst;
};

struct Global {
    std::shared_mutex lock;
    std::unordered_map<uintptr_t, Window> windows;
    std::unordered_map<std::string, ClassRec> classes;  // lower-case names
    std::unordered_map<int, std::shared_ptr<SockRec>> sockets;
    uintptr_t nextWindow = 0x10000;
    int nextAtom = 0xC000;
};

Global& global();  // never destroyed: lookup workers may outlive statics

// Under the global lock: the window if it exists, else nullptr.
Window* findWindow(Global& g, uintptr_t hwnd);
// Removes every window of q (the thread is ending).
void destroyThreadWindows(Queue& q);

// ---- activity display (activity.cpp) ----
bool displayAvailable();  // standard error is a terminal, or captured
// Under the global lock: begin / end a window's line.
void displayShow(uintptr_t hwnd, const std::string& title, uint64_t sent,
                 uint64_t received);
void displayHide(uintptr_t hwnd);
// Redraws the lines of q's shown windows. Takes the global lock shared.
void displayRefresh(Queue& q);
constexpr unsigned kDisplayPeriodMs = 250;

// Writes one line to standard error (or the message-box capture), first
// clearing an activity line that stands there.
void writeDiagnostic(const std::string& line);

}  // namespace posix
}  // namespace plat
