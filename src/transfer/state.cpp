// The transfer state machine: the order in which an exchange puts its pieces
// on the wire (request line, header block, then the library's own body or
// the form prologue, body file and form epilogue) before it receives the
// reply, the set-up of each state, and the move that cuts the sending short
// when the reply comes first. An https exchange through a proxy first opens
// its tunnel: the CONNECT request goes out, the proxy's answer comes in, and
// TLS is set up through it.
#include <cinttypes>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The first state of the body, or the reply for a request without one.
State bodyState(const RequestInfo* req) {
    if (req->formHead) return State::SendFormHead;
    if (req->inFile) return State::SendBody;
    if (req->ownBody) return State::SendOwnBody;
    return State::Receive;
}

}  // namespace

State stateAfter(const RequestInfo* req, State state) {
    switch (state) {
    case State::Idle:
        // Through a proxy, an https request first opens its tunnel; a kept
        // connection is one already.
        return req->tunnelRequest && !req->reused ? State::Tunnel : State::SendRequest;
    case State::Tunnel:
        return State::TunnelReply;
    case State::TunnelReply:
        return State::TunnelHandshake;
    case State::TunnelHandshake:
        return State::SendRequest;
    case State::SendRequest:
        return State::SendHeaders;
    case State::SendHeaders:
        if (req->expectContinue) return State::AwaitContinue;
        return bodyState(req);
    case State::AwaitContinue:
        return bodyState(req);
    case State::SendOwnBody:
        return State::Receive;
    case State::SendFormHead:
        // The prologue promises a file part: an absent file ends the
        // exchange when the body state fails to open it.
        return State::SendBody;
    case State::SendBody:
        return req->formFoot ? State::SendFormFoot : State::Receive;
    case State::SendFormFoot:
        return State::Receive;
    case State::Receive:
    case State::Closed:
        break;
    }
    return State::Closed;
}

const char* stateText(const RequestInfo* req, State state) {
    switch (state) {
    case State::Tunnel: return req->tunnelRequest;
    case State::SendRequest: return req->requestLine;
    case State::SendHeaders: return req->headers;
    case State::SendOwnBody: return req->ownBody;
    case State::SendFormHead: return req->formHead;
    case State::SendFormFoot: return req->formFoot;
    default: return nullptr;
    }
}

bool sendingState(State state) {
    return state == State::Tunnel || (state >= State::SendRequest && state <= State::SendFormFoot);
}

namespace {

// The body file has gone out (or will not): it was opened when the exchange
// was composed and is closed when the body state is left.
void closeBody(RequestInfo* req) {
    if (req->inFd >= 0) plat::closeFile(req->inFd);
    req->inFd = -1;
}

// A request with a body part goes out only with its file open: without it,
// the line and the head would promise a body that never follows.
bool bodyReady(const RequestInfo* req) {
    return req->inFd >= 0 || (!req->inFile && !req->formHead);
}

Entered setUpBody(RequestInfo* req) {
    // The file's share of the announced length: a file that grew after its
    // size was taken is sent no further than that.
    req->fileLeft = req->bodyLength - textLength(req->formHead) - textLength(req->formFoot);
    req->fileByCopy = 0;
    if (req->inFd < 0) {
        noteWhy(req, "body file \"%s\" is not open", req->inFile ? req->inFile : "");
        endExchange(req, RESULT_NO_INPUT);
        return Entered::Ended;
    }
    return Entered::Sending;
}

Entered setUpReceive(RequestInfo* req) {
    // An announced body that came out shorter (the file shrank after its
    // size was taken) must not pass as a complete request.
    if (req->bodyLength != 0 && req->bodySent < req->bodyLength) {
        if (req->bodyReadError)
            fileWhy(req, "reading body file", req->inFile, req->bodyReadError);
        else
            noteWhy(req, "body file \"%s\" gave %" PRId64 " of the %" PRId64
                    " bytes announced: it shrank while it was sent",
                    req->inFile ? req->inFile : "", req->bodySent, req->bodyLength);
        endExchange(req, RESULT_BODY_SHORT);
        return Entered::Ended;
    }
    // The output is left alone until the reply's head has come
    // (finalHeadArrived).
    req->bodyStored = 0;
    return Entered::Receiving;
}

}  // namespace

Entered enterNextState(RequestInfo* req) {
    // Nothing follows the reply: its own end (endReply) ends it.
    if (req->state == State::Receive) return Entered::Receiving;
    if (ended(req)) return Entered::Ended;
    if (req->state == State::Idle && !bodyReady(req)) {
        noteWhy(req, "body file \"%s\" is not open", req->inFile ? req->inFile : "");
        endExchange(req, RESULT_NO_INPUT);
        return Entered::Ended;
    }
    if (req->state == State::SendBody) closeBody(req);
    req->state = stateAfter(req, req->state);
    req->sendPos = 0;
    req->sendText = stateText(req, req->state);
    switch (req->state) {
    case State::SendBody: return setUpBody(req);
    case State::Receive: return setUpReceive(req);
    // The proxy's answer is awaited; the tunnel opens on it (proxy.cpp).
    case State::TunnelReply: return Entered::Receiving;
    // The server's word is awaited, for a short while at most.
    case State::AwaitContinue:
        if (req->hwnd) plat::SetTimer(req->hwnd, CONTINUE_TIMER, CONTINUE_WAIT_MS);
        return Entered::Receiving;
    default: return Entered::Sending;
    }
}

void continueSending(RequestInfo* req) {
    if (!req || req->state != State::AwaitContinue) return;
    if (req->hwnd) plat::KillTimer(req->hwnd, CONTINUE_TIMER);
    if (enterNextState(req) == Entered::Sending) OnSocketWrite(req);
}

void stopSending(RequestInfo* req) {
    if (req->state == State::AwaitContinue) {
        // Answered before the body went: it never will. The server may
        // still wait for it, so the connection carries nothing more.
        if (req->hwnd) plat::KillTimer(req->hwnd, CONTINUE_TIMER);
        req->unfit = 1;
        closeBody(req);
        req->state = State::Receive;
        return;
    }
    if (!sendingState(req->state)) return;
    // The proxy answered its CONNECT request early: that answer decides.
    if (req->state == State::Tunnel) {
        req->state = State::TunnelReply;
        req->sendText = nullptr;
        req->sendPos = 0;
        return;
    }
    // What the server has not read of the request it would read as the
    // next one: the connection carries no other.
    req->unfit = 1;
    closeBody(req);
    req->state = State::Receive;
    req->sendText = nullptr;
    req->sendPos = 0;
}

}  // namespace quodra
