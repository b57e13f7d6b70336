// The per-thread record of the last call and the calls that read it.
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
    int error;    // socket or lookup error number behind the result; 0 = none
    char* url;    // owned: the URL the reply came from, without userinfo; null = none
    int urlLength;   // bytes in url
};

// One per thread; what it still holds is released when the thread ends.
struct LastCallSlot {
    LastCall call{};
    ~LastCallSlot() {
        qfree(call.head);
        qfree(call.url);
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
    if (req->netError) return req->netError;
    // A result that is a socket error number is its own reason.
    return ownCode(req->result) ? 0 : req->result;
}

}  // namespace

void forgetLastCall() {
    qfree(slot.call.head);
    qfree(slot.call.url);
    slot.call = LastCall{};
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

}  // extern "C"
