// The transfer state machine: the order in which an exchange puts its pieces
// on the wire (request line, header block, form prologue, body file, form
// epilogue) before it receives the reply, and the set-up of each state.
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

int stateAfter(const RequestInfo* req, int state) {
    switch (state) {
    case STATE_IDLE:
    case 1:
        return STATE_SEND_REQUEST;
    case STATE_SEND_REQUEST:
        return STATE_SEND_HEADERS;
    case STATE_SEND_HEADERS:
        if (req->formheader) return STATE_SEND_FORMHEADER;
        if (req->infile) return STATE_SEND_BODY;
        return STATE_RECEIVE;
    case STATE_SEND_FORMHEADER:
        // The prologue promises a file part: an absent file ends the
        // exchange when the body state fails to open it.
        return STATE_SEND_BODY;
    case STATE_SEND_BODY:
        return req->formfooter ? STATE_SEND_FORMFOOTER : STATE_RECEIVE;
    case STATE_SEND_FORMFOOTER:
        return STATE_RECEIVE;
    case STATE_RECEIVE:
    case STATE_CLOSED:
        return STATE_CLOSED;
    default:  // 4, 5 and every number outside 0..10
        return STATE_IDLE;
    }
}

const char* stateText(const RequestInfo* req, int state) {
    switch (state) {
    case 1:
    case STATE_SEND_REQUEST: return req->request;
    case STATE_SEND_HEADERS: return req->headers;
    case STATE_SEND_FORMHEADER: return req->formheader;
    case STATE_SEND_FORMFOOTER: return req->formfooter;
    default: return nullptr;
    }
}

namespace {

void sendText(RequestInfo* req, const char* text) {
    req->sendfromfile = 0;
    req->sendbuf = text;
}

int setUpReceive(RequestInfo* req) {
    // An announced body that came out shorter (the file shrank after its
    // size was taken) must not pass as a complete request.
    if (req->contentlength != 0 && req->bytessent < req->contentlength)
        return httpDisconnect(req, RESULT_BODY_SHORT);
    req->sendfromfile = 1;
    req->sendbuf = req->outfile;
    req->outfd = req->outfile ? plat::openOut(req->outfile) : -1;
    if (req->outfd < 0) {
        req->outfd = -1;
        return httpDisconnect(req, RESULT_NO_OUTPUT);
    }
    req->replyread = 0;
    return 7;
}

}  // namespace

int setNextState(RequestInfo* req) {
    if (!req || req->method == 0) return 1;
    req->state = stateAfter(req, req->state);
    return setStatePointers(req);
}

int setStatePointers(RequestInfo* req) {
    if (!req || req->method == 0) return 1;
    // No file outlives the state that opened it. The output file is closed
    // here when the reply has ended; bytes lost in closing it end the
    // exchange instead of passing as stored.
    req->sendpos = 0;
    if (req->infd >= 0) plat::closeFile(req->infd);
    bool lost = req->outfd >= 0 && plat::closeOut(req->outfd) != 0;
    req->infd = -1;
    req->outfd = -1;
    if (lost) return httpDisconnect(req, RESULT_NO_OUTPUT);

    switch (req->state) {
    case 1:
    case STATE_SEND_REQUEST:
    case STATE_SEND_HEADERS:
    case STATE_SEND_FORMHEADER:
    case STATE_SEND_FORMFOOTER:
        sendText(req, stateText(req, req->state));
        return 0;
    case STATE_SEND_BODY:
        req->sendfromfile = 1;
        req->sendbuf = req->infile;
        // The file's share of the announced length: a file that grew after
        // its size was taken is sent no further than that.
        req->fileleft = req->contentlength - textLength(req->formheader) -
                        textLength(req->formfooter);
        req->filecopy = 0;
        req->infd = req->infile ? plat::openRead(req->infile) : -1;
        if (req->infd < 0) {
            req->infd = -1;
            httpDisconnect(req, RESULT_NO_INPUT);
        }
        return 0;
    case STATE_RECEIVE:
        return setUpReceive(req);
    case STATE_CLOSED:
        req->sendfromfile = 1;
        req->sendbuf = req->outfile;
        return 0;
    default:
        return 1;
    }
}

}  // namespace quodra
