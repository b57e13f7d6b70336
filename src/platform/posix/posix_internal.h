// The POSIX backend's own records and the helpers its files share. Private
// to src/platform/posix.
//
// Threads. A window, a socket or a timer belongs to the thread that made it:
// it lives in that thread's record (Thread), only that thread's calls find
// it, and only that thread's loop posts its messages, so the record needs
// no lock. Calls naming another thread's window or socket fail as if the
// handle were unknown. What is shared, each under its own mutex:
//   - the window-class registry (windows.cpp), as every calling thread
//     registers or finds the one class;
//   - the lookup pool (lookups.cpp), whose workers resolve names;
//   - each thread's Mailbox, the only way into a thread from outside: a
//     lookup keeps its thread's mailbox from the start, and its worker
//     leaves the completion there, so nothing maps windows to threads;
//   - the terminal (activity.cpp), which all threads' lines share.
// Lock order: the lookup pool, then a mailbox. The terminal lock is taken
// with no other held.
#pragma once

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/numbers.h"
#include "platform/platform.h"
#include "platform/secure_link.h"

namespace plat {
namespace posix {

inline uintptr_t handleOf(Hwnd hwnd) { return reinterpret_cast<uintptr_t>(hwnd); }
inline Hwnd windowOf(uintptr_t handle) { return reinterpret_cast<Hwnd>(handle); }

// ---- errors (errors.cpp) ----
constexpr int kErrBaseNumber = 10000;  // first Windows Sockets error number
void setLastError(int wsa);
int lastError();
int errorFromErrno(int e);  // 0 stays 0: "no error"
int errorFromLookup(int eai, int savedErrno);
// Sets the error and gives kSocketError, for the failure returns of calls.
int fail(int wsa);

// ---- SIGPIPE (sigpipe.cpp) ----
// A write that can meet a socket, pipe or FIFO whose other end has gone
// (sendfile, the output, standard error) is wrapped as
//     n = withoutSigpipe([&] { return ::write(fd, buf, len); });
// SIGPIPE is blocked on the calling thread around it, and one that the
// write raised is taken before the thread's mask is put back, so that it
// never reaches the host; one that was pending before is left alone. errno
// is what the write left.
struct SigpipeHold {
    sigset_t mask;       // the thread's mask before
    bool pendingBefore;  // a SIGPIPE was pending already
};
SigpipeHold holdSigpipe();
void releaseSigpipe(const SigpipeHold& hold);
template <typename Write>
auto withoutSigpipe(Write write) -> decltype(write()) {
    SigpipeHold hold = holdSigpipe();
    auto result = write();
    int saved = errno;
    releaseSigpipe(hold);
    errno = saved;
    return result;
}

// ---- messages ----
// A finished lookup's addresses, copied into the caller's list only when its
// message is taken.
using AddrResult = std::vector<SockAddr>;

struct Entry {
    Msg msg;                                  // the message itself
    std::shared_ptr<const AddrResult> addrs;  // lookup completion: what to copy
    SockAddr* list = nullptr;                 // ... into the caller's list
    int max = 0;                              // ... this many of them
    Handle lookup = 0;                        // the lookup it completes, if any
};

// What other threads may hand a thread: lookup completions. Kept alive by
// the thread and by each of its lookups, so a worker can finish after the
// thread has gone.
struct Mailbox {
    std::mutex mu;              // guards entries
    std::deque<Entry> entries;  // completions not yet moved to the queue
    int wakeFd = -1;            // eventfd, readable once something is left here
    ~Mailbox();
};

// From any thread: leaves e in the mailbox and wakes its thread's loop.
void deliver(Mailbox& box, Entry e);

// ---- sockets ----
enum class Link {
    Idle,         // no connect yet
    Blocking,     // connected (or tried) before any selection: no events
    Connecting,   // selected, connect under way
    Connected,    // selected, TCP connected (secure: the link's phase says the rest)
    Failed,       // selected, connect failed and told
};

struct SockRec {
    int fd = -1;               // the descriptor, which is also the handle
    uintptr_t hwnd = 0;        // window its events go to; 0 = not selected
    unsigned msg = 0;          // message number of its events
    Link link = Link::Idle;    // where the connection stands
    int connectError = 0;      // failure known at connect time, still to post
    bool readArmed = false;    // an FD_READ may be posted
    bool writeWanted = false;  // a send would block: FD_WRITE when room comes
    bool peerClosed = false;   // a recv saw the end or a failure
    int closeError = 0;        // ... and this error (0 = orderly end)
    bool closePosted = false;  // FD_CLOSE is out: nothing more to tell
    // Set for a secure socket (tls.cpp): send, recv and the events then
    // carry the plaintext of its link, which decides the events.
    std::unique_ptr<SecureLink, SecureLinkDelete> tls;
    // Bulk transfers (bulk.cpp):
    int peerHere = -1;         // the peer is on this machine: 1, elsewhere: 0, not known: -1
    int pipeRead = -1;         // the pipe received bytes pass on their way to
    int pipeWrite = -1;        //   a file; -1 until the first such receive
    int spliceFile = -1;       // the output file known fit to splice into
    int spliceRefused = -1;    // the output file whose system refused a splice
};

// ---- socket bookkeeping (sockets.cpp), shared with bulk.cpp ----
SockRec* ownSocket(Socket s);  // the calling thread's socket, or null
// Right after a send of the socket gave n (-1: errno says why): the count,
// or kSocketError with the error set and FD_WRITE wanted when it was full.
int afterSend(SockRec& rec, ssize_t n);
// Right after a receive asking for len bytes gave n (-1: errno says why):
// the count, or kSocketError with the error set; notes the end or the loss
// of the connection for FD_CLOSE, and lets the next FD_READ through.
int afterRecv(SockRec& rec, ssize_t n, int len);
// Whether errno e of a transfer is the socket's (full, reset, closed ...).
bool isSocketErrno(int e);

// ---- files (files.cpp) ----
// Keeps e as the reason of a file's failure in another file's call (a
// splice into the output), for fileError; gives false.
bool fileFailed(int e);

// ---- bulk transfers (bulk.cpp) ----
void closeBulk(SockRec& rec);  // the socket's pipe, before the socket goes

// ---- windows ----
// The activity line of a shown window: the rate is sampled at each redraw.
struct ActivityLine {
    uint64_t lastAt = 0;     // when the last sample was taken
    double lastTotal = 0;    // bytes both ways at that sample
    double rate = 0.0;       // bytes per second, smoothed
    bool sampled = false;    // rate holds a measurement
};

// What the core last fed a window (setActivity).
struct ActivityCounts {
    double sent = 0;
    double sendTotal = 0;
    double received = 0;
    double receiveTotal = -1;
};

struct Window {
    WndProc proc = nullptr;     // its class's window procedure
    std::string title;          // what its activity line is headed with
    bool shown = false;         // ShowWindow made it visible
    bool displaying = false;    // its activity line is up
    ActivityLine line;          // the line's rate sampling
    ActivityCounts counts;      // what the line shows
};

// ---- timers ----
struct Timer {
    uintptr_t hwnd;   // window it belongs to
    uintptr_t id;     // the caller's id: WM_TIMER's wParam
    unsigned period;  // milliseconds between firings
    uint64_t due;     // next firing, on the monotonic clock
    bool pending;     // its WM_TIMER waits in the queue
    bool activity;    // redraws the window's activity line instead of posting
};

// ---- the thread ----
struct Thread {
    std::shared_ptr<Mailbox> mailbox;     // where its lookups complete
    std::deque<Entry> queue;              // posted messages, oldest first
    std::map<uintptr_t, Window> windows;  // its windows by handle
    std::map<int, SockRec> sockets;       // its sockets by descriptor
    std::vector<Timer> timers;            // window timers and activity redraws
    ~Thread();                            // erases lines, closes sockets
};

// The calling thread's record, made at its first use; nullptr when it
// cannot be made (no descriptor left for its mailbox).
Thread* thisThread();
Window* findWindow(Thread& t, uintptr_t hwnd);  // nullptr: not this thread's
SockRec* findSocket(Thread& t, Socket s);       // nullptr: not this thread's

// ---- messages (messages.cpp) ----
// Removes queued messages for hwnd (the window is being destroyed).
void dropMessages(Thread& t, uintptr_t hwnd);

// ---- socket events (events.cpp) ----
// Adds a pollfd for each selected socket (fd -1 when it waits for nothing)
// and its handle to `socks`; true when one has an event due without waiting.
bool socketInterest(Thread& t, std::vector<pollfd>& fds, std::vector<int>& socks);
// Turns readiness (and outcomes already known) into queued events.
// fds[first + i] belongs to socks[i].
void postSocketEvents(Thread& t, const std::vector<pollfd>& fds, size_t first,
                      const std::vector<int>& socks);
// Queues a socket event of r to its window, as its loop posts them.
void postEvent(Thread& t, const SockRec& r, long event, int error);

// ---- clock and timers (timers.cpp) ----
uint64_t nowMs();  // monotonic milliseconds
// Starts (or restarts) the timer (hwnd, id) of the given kind.
void startTimer(Thread& t, uintptr_t hwnd, uintptr_t id, unsigned ms, bool activity);
bool stopTimer(Thread& t, uintptr_t hwnd, uintptr_t id, bool activity);
void stopWindowTimers(Thread& t, uintptr_t hwnd);
// The WM_TIMER of (hwnd, id) was taken: the timer may post again.
void timerTaken(Thread& t, uintptr_t hwnd, uintptr_t id);
// Milliseconds until the next timer can fire; -1 for none.
int timerDelay(const Thread& t, uint64_t now);
// Fires the due timers: WM_TIMER to the queue, or an activity redraw.
void runDueTimers(Thread& t, uint64_t now);

// ---- host lookups (lookups.cpp) ----
// Copies the first max addresses of r into list.
void writeAddrs(const AddrResult& r, SockAddr* list, int max);
void stopLookups();  // drops queued lookups and joins the workers

// ---- the terminal (activity.cpp) ----
constexpr unsigned kActivityPeriodMs = 250;  // between redraws of a line
bool displayAvailable();  // standard error is a terminal, or captured
// Draws the window's line at once and starts its redraw timer.
void showActivity(Thread& t, uintptr_t hwnd, Window& w);
// The redraw timer: samples the window's rate and draws its line again.
void redrawActivity(Thread& t, uintptr_t hwnd);
// Stops the window's redraw timer and erases the line.
void hideActivity(Thread& t, uintptr_t hwnd, Window& w);
void eraseActivity();  // clears the line standing on the terminal, if any
// Writes one line to standard error (or the message-box capture), first
// clearing an activity line that stands there.
void writeDiagnostic(const std::string& line);

}  // namespace posix
}  // namespace plat
