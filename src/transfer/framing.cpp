// How a reply to a request that may keep its connection is framed, as
// HTTP/1.1 says (RFC 9112, section 6.3): a body in the chunked coding ends
// with its last chunk, whatever length the head also names; a coding that is
// not chunked at the end runs to the close; and whether the connection can
// carry the next request once the reply is whole: a framed reply, nothing
// after it, and a server that did not say it closes.
#include <cstring>

#include "common/text.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The longest Connection or Transfer-Encoding value read; one longer is
// taken for the worst it could say.
constexpr int VALUE_LIMIT = 256;

bool sameToken(const char* a, int len, const char* token) {
    int n = static_cast<int>(std::strlen(token));
    if (len != n) return false;
    for (int i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != token[i]) return false;
    }
    return true;
}

// Walks the comma-separated tokens of every line named name; calls see
// for each (trimmed). False when a value is too long to be read whole.
template <typename See>
bool eachToken(const ReplyHead& head, const char* name, See see) {
    int at = 0;
    HeadValue value;
    while (nextHeader(head.bytes, head.len, name, &at, &value)) {
        char text[VALUE_LIMIT];
        int len = headerText(value, text, sizeof text);
        if (len >= static_cast<int>(sizeof text)) return false;
        int start = 0;
        for (int i = 0; i <= len; ++i) {
            if (i < len && text[i] != ',') continue;
            int a = start, b = i;
            while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
            while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
            if (b > a) see(text + a, b - a);
            start = i + 1;
        }
    }
    return true;
}

// True when the server lets the connection carry another request: an
// HTTP/1.1 reply unless it says close, an HTTP/1.0 one only when it says
// keep-alive.
bool serverKeeps(const ReplyHead& head) {
    bool close = false;
    bool keepAlive = false;
    bool whole = eachToken(head, "Connection", [&](const char* t, int n) {
        if (sameToken(t, n, "close")) close = true;
        if (sameToken(t, n, "keep-alive")) keepAlive = true;
    });
    if (!whole || close) return false;
    if (head.len >= 8 && std::memcmp(head.bytes, "HTTP/1.1", 8) == 0) return true;
    return head.len >= 8 && std::memcmp(head.bytes, "HTTP/1.0", 8) == 0 && keepAlive;
}

}  // namespace

bool bodiless(const RequestInfo* req) {
    int status = req->head.status;
    return req->method == METHOD_HEAD || status == 204 || status == 304;
}

void readFraming(RequestInfo* req) {
    // A request of HTTP/1.0 is never answered in a coding: its reply is
    // read as it always was.
    if (!req->keepAlive || bodiless(req)) return;
    int codings = 0;
    bool lastChunked = false;
    bool whole = eachToken(req->head, "Transfer-Encoding", [&](const char* t, int n) {
        ++codings;
        lastChunked = sameToken(t, n, "chunked");
    });
    if (codings == 0 && whole) return;
    // A coding overrides any length the head names: the length is of the
    // coded bytes, which only the coding itself can end.
    req->head.length = -1;
    if (whole && lastChunked) {
        req->chunked = 1;
        initChunked(&req->chunks);
    }
    // Any other coding runs to the close, and the connection ends with it.
}

bool connectionReusable(const RequestInfo* req) {
    if (!req->keepAlive || req->unfit || req->peerEnded || req->sock == plat::kInvalidSocket)
        return false;
    if (!replyComplete(req)) return false;
    // Only a reply that ends by its own framing leaves the connection where
    // the next request can start.
    if (!bodiless(req) && !req->chunked && req->head.length < 0) return false;
    return serverKeeps(req->head);
}

}  // namespace quodra
