// The request record's life: creation from a URL, the per-thread list of
// live records, look-up by socket or window, and destruction.
#include <new>

#include "../platform/constants.h"
#include "../transfer/transfer.h"
#include "alloc.h"
#include "request.h"
#include "text.h"
#include "url_scan.h"

// Per thread: every exchange runs on the thread that called, so two threads
// never share a record, and each list needs no lock.
thread_local RequestInfo* reqlist = nullptr;

RequestInfo* createRequest(const char* url, int method) {
    // Control bytes would end up raw in the request line or the Host line
    // and could split them into lines of the caller's choosing.
    if (!url || !*url || hasControlByte(url)) return nullptr;
    char* host = getUrlHost(url);
    if (!host) return nullptr;

    void* block = qalloc(sizeof(RequestInfo));
    if (!block) {
        showAllocFailure("RequestInfo");
        qfree(host);  // no record will ever own it
        return nullptr;
    }
    RequestInfo* req = new (block) RequestInfo{};  // every field zero

    req->next = reqlist;
    reqlist = req;

    req->method = method;
    req->host = host;
    req->urn = getUrlUrn(url);
    req->port = getUrlPort(url);
    req->hostentbuf = static_cast<char*>(qalloc(HOSTENT_BUFFER));
    if (!req->hostentbuf) showAllocFailure("hostentbuf");
    req->sock = plat::INVALID_SOCKET;

    // A URL naming no path asks for the root. A path that could not be
    // copied is a different matter: asking for "/" instead would fetch the
    // wrong resource, so that record gets no request line.
    const char* path = req->urn;
    if (!path && !urlPathStart(url)) path = "/";
    req->request = makeRequest(path, method);

    req->state = STATE_IDLE;
    req->infd = -1;
    return req;
}

int destroyRequest(RequestInfo* req) {
    if (!req) return 1;
    if (reqlist == req) {
        reqlist = req->next;
    } else {
        RequestInfo* prev = reqlist;
        while (prev && prev->next != req) prev = prev->next;
        if (!prev) return 1;
        prev->next = req->next;
    }
    req->next = nullptr;

    // Without a window the disconnect posts no quit: the driver is about to
    // destroy the window itself.
    req->hwnd = nullptr;
    httpDisconnect(req, 0);

    qfree(req->host);
    qfree(req->urn);
    qfree(req->hostentbuf);
    qfree(req->request);
    qfree(req->headers);
    qfree(req->formheader);
    qfree(req->formfooter);
    qfree(req->contenttype);
    qfree(req->outfile);
    qfree(req->infile);
    qfree(req->replyhead);
    req->~RequestInfo();
    qfree(req);
    return 0;
}

RequestInfo* getRequest(plat::Socket sock) {
    if (sock == plat::INVALID_SOCKET) return nullptr;
    for (RequestInfo* r = reqlist; r; r = r->next)
        if (r->sock == sock) return r;
    return nullptr;
}

RequestInfo* getRequestFromHwnd(plat::Hwnd hwnd) {
    if (!hwnd) return nullptr;
    for (RequestInfo* r = reqlist; r; r = r->next)
        if (r->hwnd == hwnd) return r;
    return nullptr;
}
