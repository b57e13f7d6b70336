// What the engine does for a proxy: the proxy's answer to a CONNECT
// request, the tunnel it opens (TLS set up through it with the server's
// name), and the proxy's own refusal of an http request.
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The proxy said yes: its head is kept aside, the reply head starts afresh
// for the server's reply, and TLS starts on the open connection for the
// server's name. Its outcome comes as the socket's connect event.
void openTunnel(RequestInfo* req) {
    req->tunnelHead = req->head;
    initHead(&req->head);
    req->state = State::TunnelHandshake;
    req->sendText = nullptr;
    req->sendPos = 0;
    noteProgress(req);
    int flags = req->noVerify ? plat::kSecureNoVerify : 0;
    if (plat::startSecure(req->sock, req->host, flags) != 0) endExchange(req, RESULT_TLS_FAILED);
}

}  // namespace

bool settingUpTunnel(const RequestInfo* req) {
    return req->state == State::Tunnel || req->state == State::TunnelReply ||
           req->state == State::TunnelHandshake;
}

void takeTunnelReply(RequestInfo* req, const char* data, int len) {
    int used = 0;
    switch (feedHead(&req->head, data, len, &used)) {
    case HeadFeed::More:
        return;
    case HeadFeed::Done:
        break;
    case HeadFeed::Malformed:
        endExchange(req, RESULT_MALFORMED_HEAD);
        return;
    case HeadFeed::TooLong:
        endExchange(req, RESULT_NO_OUTPUT);
        return;
    case HeadFeed::NoMemory:
        endExchange(req, RESULT_NO_OUTPUT);
        showAllocFailure("replyhead");
        return;
    }
    int status = req->head.status;
    // Not HTTP at all: no answer that could open a tunnel or refuse one.
    if (status == 0) {
        endExchange(req, RESULT_MALFORMED_HEAD);
        return;
    }
    // Any other answer is the proxy's refusal; its head is what the caller
    // reads, and nothing of its body is stored.
    if (status < 200 || status > 299) {
        endExchange(req, RESULT_PROXY_REFUSED);
        return;
    }
    // Bytes behind the head (or a yes before the request was out) are no
    // tunnel: whatever they are, they are not the server's TLS, and never
    // body.
    if (used < len || req->state != State::TunnelReply) {
        endExchange(req, RESULT_TLS_FAILED);
        return;
    }
    openTunnel(req);
}

void tunnelSecured(RequestInfo* req, int error) {
    if (error) {
        endExchange(req, resultOfSocketError(error));
        return;
    }
    noteProgress(req);
    if (enterNextState(req) == Entered::Sending) OnSocketWrite(req);
}

bool proxyRefused(const RequestInfo* req) {
    // An http request's 407 comes from the proxy: the server never saw it.
    return req->proxyHost && !req->tunnelRequest && req->head.status == 407;
}

}  // namespace quodra
