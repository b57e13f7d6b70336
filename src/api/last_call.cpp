// The per-thread record of the last call and the calls that read it.
#include <cstdio>
#include <cstring>

#include "api/last_call.h"
#include "common/alloc.h"
#include "common/reply_head.h"
#include "common/results.h"
#include "common/text.h"
#include "quodra.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

struct LastCall {
    int status;   // status code of the reply head; 0 = no head (or no readable status line)
    char* head;   // owned: the head as received, through its blank line; null = none
    int headLength;  // bytes in head
    int error;    // socket, lookup or file error number behind the result; 0 = none
    char why[WHY_SIZE];  // why the call failed; empty for a result 0
    char* request;  // owned: the request line and header block, credentials hidden
    int requestLen; // bytes in request
    char* url;    // owned: the URL the reply came from, without userinfo; null = none
    int urlLength;   // bytes in url
};

// One per thread; what it still holds is released when the thread ends.
struct LastCallSlot {
    LastCall call{};
    ~LastCallSlot() {
        qfree(call.head);
        qfree(call.url);
        qfree(call.request);
    }
};
thread_local LastCallSlot slot;

// True when code is one of the library's own result codes (not a socket or
// lookup error number).
bool ownCode(int code) {
    size_t count = 0;
    const ResultRow* rows = resultRows(&count);
    for (size_t i = 0; i < count; ++i)
        if (rows[i].code == code) return !rows[i].socketError;
    return false;
}

int errorBehind(const RequestInfo* req) {
    if (req->result == 0) return 0;
    // A file that failed: the system's own number for why.
    if (req->result == RESULT_NO_OUTPUT || req->result == RESULT_NO_INPUT) return req->fileError;
    if (req->netError) return req->netError;
    // A result that is a socket error number is its own reason.
    return ownCode(req->result) ? 0 : req->result;
}

// The header lines whose values are credentials: never kept as they went.
bool hiddenName(const char* line, size_t len) {
    static const char* const names[] = {"authorization", "proxy-authorization"};
    for (const char* name : names) {
        size_t n = std::strlen(name);
        if (len <= n || line[n] != ':') continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) {
            char c = line[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == name[i];
        }
        if (same) return true;
    }
    return false;
}

// Writes text (len bytes, lines ending in LF) to out with the value of each
// credentials line replaced by "[hidden]"; returns the bytes written, and
// only counts them when out is null.
size_t hideCredentials(const char* text, size_t len, char* out) {
    static const char hidden[] = ": [hidden]";
    size_t put = 0;
    auto emit = [&](const char* from, size_t n) {
        if (out) std::memcpy(out + put, from, n);
        put += n;
    };
    for (size_t at = 0; at < len;) {
        const char* line = text + at;
        const char* lf = static_cast<const char*>(std::memchr(line, '\n', len - at));
        size_t lineLen = lf ? static_cast<size_t>(lf - line) + 1 : len - at;
        size_t body = lineLen;
        while (body > 0 && (line[body - 1] == '\n' || line[body - 1] == '\r')) --body;
        if (hiddenName(line, body)) {
            const char* colon = static_cast<const char*>(std::memchr(line, ':', body));
            emit(line, static_cast<size_t>(colon - line));
            emit(hidden, sizeof hidden - 1);
            emit(line + body, lineLen - body);  // its line end
        } else {
            emit(line, lineLen);
        }
        at += lineLen;
    }
    return put;
}

// Keeps the request the exchange composed, its credentials hidden; a copy
// that cannot be made is reported by its box and left out.
void keepRequest(const RequestInfo* req, LastCall& c) {
    if (!req->requestLine || !req->headers) return;
    size_t lineLen = std::strlen(req->requestLine);
    size_t headLen = std::strlen(req->headers);
    size_t size = hideCredentials(req->requestLine, lineLen, nullptr) +
                  hideCredentials(req->headers, headLen, nullptr);
    char* copy = static_cast<char*>(qalloc(size + 1));
    if (!copy) {
        showAllocFailure("lastrequest");
        return;
    }
    size_t put = hideCredentials(req->requestLine, lineLen, copy);
    put += hideCredentials(req->headers, headLen, copy + put);
    copy[put] = '\0';
    c.request = copy;
    c.requestLen = static_cast<int>(put);
}

}  // namespace

void forgetLastCall() {
    qfree(slot.call.head);
    qfree(slot.call.request);
    qfree(slot.call.url);
    slot.call = LastCall{};
}

void keepCallFailure(const char* why, int error) {
    std::snprintf(slot.call.why, sizeof slot.call.why, "%s", why ? why : "");
    slot.call.error = error;
}

void keepLastCall(const RequestInfo* req, const char* url) {
    forgetLastCall();
    if (!req) return;
    LastCall& c = slot.call;
    c.error = errorBehind(req);
    if (url) {
        c.url = urlWithoutUserinfo(url);  // a box when memory ran out
        c.urlLength = textLength(c.url);
    }
    if (req->result != 0) {
        if (req->why[0]) std::snprintf(c.why, sizeof c.why, "%s", req->why);
        else genericWhy(req, c.why, sizeof c.why);
    }
    keepRequest(req, c);
    // A head cut short (the reply ended inside it) is not a head. Through a
    // proxy's tunnel, until the server's head has come, the last head
    // received is the proxy's yes to the tunnel.
    const ReplyHead& head = req->head.done || !req->tunnelHead.done ? req->head : req->tunnelHead;
    if (!head.done || !head.bytes) return;
    c.status = head.status;
    int len = head.len;
    char* copy = static_cast<char*>(qalloc(static_cast<size_t>(len) + 1));
    if (!copy) {
        showAllocFailure("lasthead");
        return;
    }
    std::memcpy(copy, head.bytes, static_cast<size_t>(len));
    copy[len] = '\0';
    c.head = copy;
    c.headLength = len;
}

int copyToCaller(const char* bytes, int len, char* buffer, int size) {
    if (buffer && size > 0) {
        int n = len < size - 1 ? len : size - 1;
        if (n > 0) std::memcpy(buffer, bytes, static_cast<size_t>(n));
        buffer[n] = '\0';
    }
    return len;
}

}  // namespace quodra

using namespace quodra;

extern "C" {

int QUODRA_API httpLastStatus(void) { return slot.call.status; }

int QUODRA_API httpLastHead(char* buffer, int size) {
    return copyToCaller(slot.call.head, slot.call.headLength, buffer, size);
}

int QUODRA_API httpLastError(void) { return slot.call.error; }

int QUODRA_API httpLastUrl(char* buffer, int size) {
    return copyToCaller(slot.call.url, slot.call.urlLength, buffer, size);
}

int QUODRA_API httpLastHeader(const char* name, char* buffer, int size) {
    // The head's one reader of lines by name: a name that is no token names
    // none, and without a head there is no line at all.
    if (!name || !slot.call.head) return -1;
    return headerValue(slot.call.head, slot.call.headLength, name, buffer, size);
}

int QUODRA_API httpLastErrorText(char* buffer, int size) {
    return copyToCaller(slot.call.why, textLength(slot.call.why), buffer, size);
}

int QUODRA_API httpLastRequest(char* buffer, int size) {
    return copyToCaller(slot.call.request, slot.call.requestLen, buffer, size);
}

}  // extern "C"
