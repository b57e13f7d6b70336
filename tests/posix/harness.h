// Helpers for the backend's tests: a recording test window, a bounded
// message pump, and a peer on 127.0.0.1 (or [::1]) driven through the
// system's own sockets. This header names no system socket header, so that test files
// can use the core's constants next to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace harness {

constexpr unsigned kNetNotify = 0x402;
constexpr unsigned kHostNotify = 0x404;
constexpr long kAllEvents = 0x33;

struct Seen {
    unsigned msg;
    plat::WParam wParam;
    plat::LParam lParam;
};

inline int eventOf(plat::LParam l) { return static_cast<int>(l & 0xFFFF); }
inline int errorOf(plat::LParam l) { return static_cast<int>((l >> 16) & 0xFFFF); }

// Called for every message after it is recorded.
using Handler = std::function<void(plat::Hwnd, unsigned, plat::WParam, plat::LParam)>;

// A window of the test class; its procedure records each message it gets.
plat::Hwnd makeWindow(Handler handler = nullptr);
// Destroys the window and forgets what it saw.
void dropWindow(plat::Hwnd w);
std::vector<Seen> seen(plat::Hwnd w);
// Socket events of one kind seen by w (any socket).
std::vector<Seen> events(plat::Hwnd w, int event);

// Pumps w's messages until done() holds, a WM_QUIT comes, or ms pass (a
// timer on w marks the deadline). Returns done().
bool pumpUntil(plat::Hwnd w, const std::function<bool()>& done, unsigned ms = 5000);
// Pumps w's messages for ms: for checking that something does not happen.
void pumpFor(plat::Hwnd w, unsigned ms);
constexpr uintptr_t kDeadlineTimer = 0xDEAD;

// ---- the peer ----
struct Listener {
    int fd = -1;
    uint16_t port = 0;
};
// On 127.0.0.1, or on ::1 when v6 is set.
Listener listenLoopback(bool v6 = false);
void closeListener(Listener& l);
int acceptPeer(const Listener& l, unsigned ms = 5000);  // -1 when none came
uint16_t closedPort(bool v6 = false);  // a loopback port nobody listens on
plat::SockAddr loopback(uint16_t port, bool v6 = false);
bool peerWrite(int fd, const std::string& data);
std::string peerRead(int fd, size_t atMost, unsigned ms = 5000);
void peerClose(int fd);
void peerReset(int fd);  // closes with a reset instead of an orderly end
bool peerSeesEnd(int fd, unsigned ms = 5000);  // the other side closed, in time
// A connected pair of system sockets; for sockets that the backend did not
// create, standing in for any other descriptor.
void systemPair(int fds[2]);

}  // namespace harness
