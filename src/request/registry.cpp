// The request record's life: creation from a URL, the per-thread list of
// live records, look-up by socket or window, and destruction.
#include <new>

#include "common/alloc.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "request/request.h"
#include "request/url_scan.h"

namespace quodra {

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
    req->secure = urlIsSecure(url) ? 1 : 0;
    req->hostentbuf = static_cast<char*>(qalloc(HOSTENT_BUFFER));
    if (!req->hostentbuf) showAllocFailure("hostentbuf");
    req->sock = plat::kInvalidSocket;

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

    // What the exchange left open is closed; no quit is posted and nothing
    // recorded, as the driver destroys the window itself and has read the
    // result already.
    req->hwnd = nullptr;
    releaseConnection(req);

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

void releaseConnection(RequestInfo* req) {
    if (!req) return;
    if (req->infd >= 0) {
        plat::closeFile(req->infd);
        req->infd = -1;
    }
    if (req->outfp) {
        plat::closeOut(req->outfp);
        req->outfp = nullptr;
    }
    if (req->sock != plat::kInvalidSocket) plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    req->state = STATE_CLOSED;
}

RequestInfo* getRequest(plat::Socket sock) {
    if (sock == plat::kInvalidSocket) return nullptr;
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

}  // namespace quodra
