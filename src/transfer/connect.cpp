// Reaching the peer: the host's addresses (the host itself when it is
// numeric, else an asynchronous lookup), then one socket and connect per
// address, in order, until one connects.
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

}  // namespace

int reachHost(RequestInfo* req) {
    if (!req || !req->hwnd) {
        recordResult(req, RESULT_REFUSED);
        return 1;
    }
    noteProgress(req);
    req->addrIndex = 0;
    // A numeric host is its own address: nothing is looked up, not even its
    // name by address. However the connect goes, the loop runs: an exchange
    // that ended here has posted the quit that ends it.
    if (numericHost(req->host, &req->addrs[0])) {
        req->addrCount = 1;
        openSocket(req);
        return 0;
    }
    plat::Handle task = plat::WSAAsyncGetAddrInfo(req->hwnd, WM_HOSTNOTIFY, req->host,
                                                  req->addrs, MAX_ADDRESSES);
    if (task) {
        req->lookupTask = task;
        return 0;
    }
    int error = plat::WSAGetLastError();  // before the box's loop can change it
    showError("Could not get IP address (1)", req->host);
    recordResult(req, RESULT_REFUSED, error);
    return 1;
}

int openSocket(RequestInfo* req, int lastError) {
    // How the last address failed, for the box once none is left: no
    // socket, or the connect's error when it failed at once (a failure told
    // by the connect event shows none); lastError is the number behind it.
    bool noSocket = false;
    int connectError = 0;
    for (; req->addrIndex < req->addrCount; ++req->addrIndex) {
        plat::SockAddr peer = req->addrs[req->addrIndex];
        peer.port = plat::htons(req->port);
        req->sock = plat::socket(peer.family, plat::kSockStream, plat::kIpprotoTcp);
        noSocket = req->sock == plat::kInvalidSocket;
        connectError = 0;
        if (noSocket) {  // this family may not be served here
            lastError = plat::WSAGetLastError();
            continue;
        }
        // An https socket becomes a TLS client before it is selected; one
        // that cannot will not be anywhere, whichever address it is for.
        if (int code = makeSecure(req)) {
            endExchange(req, code);
            return 1;
        }
        plat::WSAAsyncSelect(req->sock, req->hwnd, WM_NETNOTIFY, NET_EVENTS);
        if (plat::connect(req->sock, &peer, sizeof peer) != plat::kSocketError) {
            OnSocketConnect(req, 0);
            return 0;
        }
        connectError = plat::WSAGetLastError();
        if (connectError == plat::kErrWouldBlock) return 0;
        lastError = connectError;
        plat::closesocket(req->sock);
        req->sock = plat::kInvalidSocket;
    }
    if (noSocket) {
        showError("Invalid socket", QUODRA_PRODUCT);
    } else if (connectError) {
        char text[64];
        std::snprintf(text, sizeof text, "Error %d connecting socket", connectError);
        showError(text, QUODRA_PRODUCT);
    }
    endExchange(req, RESULT_REFUSED, lastError);
    return 1;
}

int nextAddress(RequestInfo* req, int error) {
    plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    ++req->addrIndex;
    return openSocket(req, error);
}

}  // namespace quodra
