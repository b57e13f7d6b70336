// Reaching the peer (the proxy, when one carries the exchange, else the
// server): its addresses (the host itself when it is numeric, else an
// asynchronous lookup of its name), then connect attempts raced as
// RFC 8305 says. One socket per address, the families taking turns; when an
// attempt has not connected within CONNECT_STAGGER_MS the next address is
// tried beside it, and when one fails the next is tried at once. The first
// to connect carries the exchange and the others are closed then, so that
// an address that never answers (a host whose IPv6 is broken) costs a
// quarter of a second instead of the whole no-progress limit, which still
// bounds the race as a whole.
#include <cstdio>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The host as an address of either family, when it is written as one: the
// platform's one reader of address literals decides, as it does for the
// secure socket's server name.
bool numericHost(const char* host, plat::SockAddr* addr) {
    *addr = plat::SockAddr{};
    return plat::addressLiteral(host, static_cast<size_t>(textLength(host)), addr) != 0;
}

void noteFailure(RequestInfo* req, ConnectFailure how, int error, int addr) {
    req->lastFailure = how;
    req->lastFailError = error;
    req->lastFailAddr = addr;
}

void stopRaceTimer(RequestInfo* req) {
    if (!req->raceTimer) return;
    plat::KillTimer(req->hwnd, RACE_TIMER);
    req->raceTimer = 0;
}

// Closes attempt i and takes it out of the list, the others keeping their
// order.
void dropAttempt(RequestInfo* req, int i) {
    plat::closesocket(req->attempts[i]);
    for (int k = i + 1; k < req->attemptCount; ++k) {
        req->attempts[k - 1] = req->attempts[k];
        req->attemptAddrs[k - 1] = req->attemptAddrs[k];
    }
    --req->attemptCount;
}

// Every address has failed: the call ends as the latest failure says, with
// its box when it was seen at once (a failure told by an event shows none).
void allFailed(RequestInfo* req) {
    stopRaceTimer(req);
    char peer[80], said[512];
    peerText(req, req->lastFailAddr, peer, sizeof peer);
    socketWords(req->lastFailError, said, sizeof said);
    if (req->lastFailure == ConnectFailure::NoSocket)
        noteWhy(req, "no socket for %s%s: %s", req->proxyHost ? "proxy " : "", peer, said);
    else
        noteWhy(req, "connect to %s%s: %s", req->proxyHost ? "proxy " : "", peer, said);
    if (req->lastFailure == ConnectFailure::NoSocket) {
        showError("Invalid socket", QUODRA_PRODUCT);
    } else if (req->lastFailure == ConnectFailure::AtOnce) {
        char text[64];
        std::snprintf(text, sizeof text, "Error %d connecting socket", req->lastFailError);
        showError(text, QUODRA_PRODUCT);
    }
    endExchange(req, RESULT_REFUSED, req->lastFailError);
}

// Starts the request on a kept connection to the origin, when there is
// one: no lookup, connect or handshake. False when there is none.
bool takeKept(RequestInfo* req) {
    plat::Socket s = takeConnection(req);
    if (s == plat::kInvalidSocket) return false;
    if (plat::WSAAsyncSelect(s, req->hwnd, WM_NETNOTIFY, NET_EVENTS) != 0) {
        plat::closesocket(s);
        return false;
    }
    req->reused = 1;
    req->sock = s;
    noteProgress(req);
    enterNextState(req);
    OnSocketWrite(req);
    return true;
}

}  // namespace

int reachHost(RequestInfo* req) {
    if (!req || !req->hwnd) {
        noteWhy(req, "the call's event window could not be made");
        recordResult(req, RESULT_REFUSED);
        return 1;
    }
    noteProgress(req);
    req->addrNext = 0;
    if (req->keepAlive && !req->freshOnly && takeKept(req)) return 0;
    // A numeric host is its own address: nothing is looked up, not even its
    // name by address. However the connect goes, the loop runs: an exchange
    // that ended here has posted the quit that ends it.
    if (numericHost(peerHost(req), &req->addrs[0])) {
        req->addrCount = 1;
        startAttempt(req);
        return 0;
    }
    plat::Handle task = plat::WSAAsyncGetAddrInfo(req->hwnd, WM_HOSTNOTIFY, peerHost(req),
                                                  req->addrs, MAX_ADDRESSES);
    if (task) {
        req->lookupTask = task;
        return 0;
    }
    int error = plat::WSAGetLastError();  // before the box's loop can change it
    char said[512];
    socketWords(error, said, sizeof said);
    noteWhy(req, "looking up host \"%s\" could not start: %s", peerHost(req), said);
    showError("Could not get IP address (1)", peerHost(req));
    recordResult(req, RESULT_REFUSED, error);
    return 1;
}

void interleaveFamilies(plat::SockAddr* list, int count) {
    if (count > MAX_ADDRESSES) count = MAX_ADDRESSES;
    if (count < 3) return;  // two addresses are in turn whatever their families
    const int first = list[0].family;
    plat::SockAddr turns[MAX_ADDRESSES];
    // Where the scan for the next address of the first family, and of the
    // others, goes on.
    int at[2] = {0, 0};
    auto seek = [&](int which) {
        int& i = at[which];
        while (i < count && (list[i].family == first) != (which == 0)) ++i;
        return i < count;
    };
    for (int n = 0; n < count; ++n) {
        int which = n % 2;
        if (!seek(which)) which = 1 - which;  // that family is used up
        seek(which);
        turns[n] = list[at[which]++];
    }
    for (int n = 0; n < count; ++n) list[n] = turns[n];
}

int startAttempt(RequestInfo* req) {
    while (req->addrNext < req->addrCount) {
        int index = req->addrNext++;
        plat::SockAddr peer = req->addrs[index];
        peer.port = plat::htons(peerPort(req));
        plat::Socket s = plat::socket(peer.family, plat::kSockStream, plat::kIpprotoTcp);
        if (s == plat::kInvalidSocket) {  // this family may not be served here
            noteFailure(req, ConnectFailure::NoSocket, plat::WSAGetLastError(), index);
            continue;
        }
        // An https socket becomes a TLS client before it is selected; one
        // that cannot will not be anywhere, whichever address it is for.
        if (int code = makeSecure(req, s)) {
            secureWhy(req, s, code);
            plat::closesocket(s);
            endExchange(req, code);
            return 1;
        }
        plat::WSAAsyncSelect(s, req->hwnd, WM_NETNOTIFY, NET_EVENTS);
        req->attemptAddrs[req->attemptCount] = index;
        req->attempts[req->attemptCount++] = s;
        req->attemptAt = plat::GetTickCount();
        if (plat::connect(s, &peer, sizeof peer) != plat::kSocketError) {
            attemptConnected(req, s);
            return ended(req) ? 1 : 0;
        }
        int error = plat::WSAGetLastError();
        if (error == plat::kErrWouldBlock) {
            // Under way: the next address gets its turn when this one has
            // not connected by then. Setting the timer again starts its
            // period afresh. Without a timer the attempts simply follow one
            // another, each waiting for the last to fail.
            if (req->addrNext < req->addrCount)
                req->raceTimer = plat::SetTimer(req->hwnd, RACE_TIMER, CONNECT_STAGGER_MS) != 0;
            else
                stopRaceTimer(req);
            return 0;
        }
        noteFailure(req, ConnectFailure::AtOnce, error, index);
        dropAttempt(req, req->attemptCount - 1);
    }
    // No address is left to try: the race goes on while an attempt is under
    // way, and is lost when none is.
    stopRaceTimer(req);
    if (req->attemptCount > 0) return 0;
    allFailed(req);
    return 1;
}

bool isAttempt(const RequestInfo* req, plat::Socket sock) {
    for (int i = 0; i < req->attemptCount; ++i)
        if (req->attempts[i] == sock) return true;
    return false;
}

void attemptConnected(RequestInfo* req, plat::Socket sock) {
    stopRaceTimer(req);
    // The losers go at once: their events still queued find no record.
    for (int i = 0; i < req->attemptCount; ++i) {
        if (req->attempts[i] != sock) plat::closesocket(req->attempts[i]);
        else req->peerAddr = req->attemptAddrs[i];
    }
    req->attemptCount = 0;
    req->sock = sock;
    noteProgress(req);
    enterNextState(req);
    OnSocketWrite(req);
}

void attemptFailed(RequestInfo* req, plat::Socket sock, int error) {
    for (int i = 0; i < req->attemptCount; ++i) {
        if (req->attempts[i] != sock) continue;
        int index = req->attemptAddrs[i];
        dropAttempt(req, i);
        noteFailure(req, ConnectFailure::Told, error, index);
        startAttempt(req);
        return;
    }
}

void OnRaceTimer(RequestInfo* req) {
    if (!req || ended(req) || req->state != State::Idle || !req->raceTimer) return;
    // A tick queued before the latest attempt started (one that failed at
    // once made room for it) is not that attempt's turn running out.
    if (plat::GetTickCount() - req->attemptAt < CONNECT_STAGGER_MS / 2) return;
    startAttempt(req);
}

}  // namespace quodra
