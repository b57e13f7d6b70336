// The request record's life: creation from a URL, the per-thread list of
// live records, look-up by socket or window, and destruction.
#include <cstring>
#include <new>

#include "common/alloc.h"
#include "common/results.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "request/request.h"
#include "request/url_scan.h"

namespace quodra {

// Per thread: every exchange runs on the thread that called, so two threads
// never share a record, and each list needs no lock.
thread_local RequestInfo* liveRequests = nullptr;

RequestInfo* createRequest(const char* url, int method) {
    // Control bytes would end up raw in the request line or the Host line
    // and could split them into lines of the caller's choosing; a space
    // would give the request line a fourth field.
    if (!url || !*url || hasControlByte(url) || std::strchr(url, ' ')) return nullptr;
    if (!methodName(method)) return nullptr;
    char* host = getUrlHost(url);
    if (!host) return nullptr;

    void* block = qalloc(sizeof(RequestInfo) + TRANSFER_BUFFER);
    if (!block) {
        showAllocFailure("RequestInfo");
        qfree(host);  // no record will ever own it
        return nullptr;
    }
    RequestInfo* req = new (block) RequestInfo{};  // every field zero
    req->io = reinterpret_cast<char*>(req + 1);

    req->next = liveRequests;
    liveRequests = req;

    req->method = method;
    req->host = host;
    req->port = getUrlPort(url);
    req->secure = urlIsSecure(url) ? 1 : 0;
    req->sock = plat::kInvalidSocket;
    req->state = State::Idle;
    req->inFd = -1;
    req->outFd = -1;
    initHead(&req->head);

    // Each piece that cannot be allocated has shown its box; a record
    // missing one would send the wrong request or none, so it is not made.
    // A URL naming no path asks for the root.
    const char* path = urlPathStart(url);
    req->path = getUrlPath(url);
    bool whole = !path || req->path;
    if (whole) req->requestLine = makeRequestLine(path ? req->path : "/", method);
    if (!whole || !req->requestLine) {
        destroyRequest(req);
        return nullptr;
    }
    return req;
}

void composeFailed(RequestInfo* req, const char* what) {
    showAllocFailure(what);
    if (req && req->result == 0) req->result = RESULT_REFUSED;
}

int destroyRequest(RequestInfo* req) {
    if (!req) return 1;
    if (liveRequests == req) {
        liveRequests = req->next;
    } else {
        RequestInfo* prev = liveRequests;
        while (prev && prev->next != req) prev = prev->next;
        if (!prev) return 1;
        prev->next = req->next;
    }
    req->next = nullptr;

    // What the exchange left open is closed; no quit is posted and nothing
    // recorded, as the driver destroys the window itself and has read the
    // result already.
    req->hwnd = nullptr;
    releaseConnection(req);

    qfree(req->host);
    qfree(req->path);
    qfree(req->requestLine);
    qfree(req->headers);
    qfree(req->formHead);
    qfree(req->formFoot);
    qfree(req->contentType);
    qfree(req->outFile);
    qfree(req->inFile);
    freeHead(&req->head);
    req->~RequestInfo();
    qfree(req);
    return 0;
}

int releaseConnection(RequestInfo* req) {
    if (!req) return 0;
    if (req->inFd >= 0) {
        plat::closeFile(req->inFd);
        req->inFd = -1;
    }
    // A failed close may have lost bytes already counted as stored (a file
    // system that reports write errors only then).
    bool lost = false;
    if (req->outFd >= 0) {
        lost = plat::closeOut(req->outFd) != 0;
        req->outFd = -1;
    }
    if (req->sock != plat::kInvalidSocket) plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    req->state = State::Closed;
    return lost ? RESULT_NO_OUTPUT : 0;
}

RequestInfo* getRequest(plat::Socket sock) {
    if (sock == plat::kInvalidSocket) return nullptr;
    for (RequestInfo* r = liveRequests; r; r = r->next)
        if (r->sock == sock) return r;
    return nullptr;
}

RequestInfo* getRequestFromHwnd(plat::Hwnd hwnd) {
    if (!hwnd) return nullptr;
    for (RequestInfo* r = liveRequests; r; r = r->next)
        if (r->hwnd == hwnd) return r;
    return nullptr;
}

}  // namespace quodra
