// The request record's life: creation from a URL, the per-thread list of
// live records, look-up by socket or window, and destruction.
#include <cstdio>
#include <new>

#include "common/alloc.h"
#include "common/results.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "request/request.h"

namespace quodra {

// Per thread: every exchange runs on the thread that called, so two threads
// never share a record, and each list needs no lock.
thread_local RequestInfo* liveRequests = nullptr;

RequestInfo* createRequest(const char* url, int method) {
    if (!methodName(method)) return nullptr;
    UrlParts parts;
    if (!splitUrl(url, &parts)) return nullptr;
    char* host = getUrlHost(parts);
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
    req->port = parts.port;
    req->secure = parts.secure;
    req->sock = plat::kInvalidSocket;
    req->state = State::Idle;
    req->inFd = -1;
    req->outFd = -1;
    req->outHeld = -1;
    req->modified = NO_TIME;
    initHead(&req->head);
    initHead(&req->tunnelHead);

    // Each piece that cannot be allocated has shown its box; a record
    // missing one would send the wrong request or none, or later lose the
    // credentials it was given, so it is not made.
    bool whole = true;
    if (parts.hasUserinfo) {
        req->user = getUrlUser(parts);
        whole = req->user != nullptr;
        if (whole) {
            req->password = getUrlPassword(parts);
            whole = req->password != nullptr;
        }
    }
    if (whole) {
        req->path = getUrlTarget(parts);
        whole = req->path != nullptr;
    }
    if (whole) {
        req->requestLine = makeRequestLine(req->path, method);
        whole = req->requestLine != nullptr;
    }
    if (!whole) {
        destroyRequest(req);
        return nullptr;
    }
    return req;
}

void composeFailed(RequestInfo* req, const char* what) {
    showAllocFailure(what);
    if (req && req->result == 0) {
        std::snprintf(req->why, sizeof req->why,
                      "memory ran out while the request was composed (%s)", what);
        req->result = RESULT_REFUSED;
    }
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
    qfree(req->user);
    qfree(req->password);
    qfree(req->requestLine);
    qfree(req->headers);
    qfree(req->formHead);
    qfree(req->formFoot);
    qfree(req->contentType);
    qfree(req->outFile);
    qfree(req->inFile);
    qfree(req->proxyHost);
    qfree(req->tunnelRequest);
    freeHead(&req->head);
    freeHead(&req->tunnelHead);
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
    // An output held for the whole call is its caller's to close.
    bool lost = false;
    if (req->outFd >= 0 && req->outFd != req->outHeld) lost = plat::closeOut(req->outFd) != 0;
    req->outFd = -1;
    // A new file beside the output that has not replaced it never will: the
    // exchange did not end with 0 (that ending replaces it first).
    if (req->beside.temp[0]) plat::removeBeside(&req->beside);
    if (req->sock != plat::kInvalidSocket) plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    for (int i = 0; i < req->attemptCount; ++i) plat::closesocket(req->attempts[i]);
    req->attemptCount = 0;
    req->state = State::Closed;
    return lost ? RESULT_NO_OUTPUT : 0;
}

RequestInfo* getRequest(plat::Socket sock) {
    if (sock == plat::kInvalidSocket) return nullptr;
    for (RequestInfo* r = liveRequests; r; r = r->next) {
        if (r->sock == sock) return r;
        for (int i = 0; i < r->attemptCount; ++i)
            if (r->attempts[i] == sock) return r;
    }
    return nullptr;
}

RequestInfo* getRequestFromHwnd(plat::Hwnd hwnd) {
    if (!hwnd) return nullptr;
    for (RequestInfo* r = liveRequests; r; r = r->next)
        if (r->hwnd == hwnd) return r;
    return nullptr;
}

}  // namespace quodra
