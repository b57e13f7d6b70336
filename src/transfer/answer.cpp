// What a final head answers for the caller's file. The request may have
// asked for the rest of the output only (a Range from its end) or for a
// newer file only (If-Modified-Since its time), and the call may fail on
// an error status: the head's status and lines decide whether the body is
// stored, where, and what the exchange ends with when it is not.
#include "common/content_range.h"
#include "common/http_date.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The head's Content-Range line, read into *range. *present tells whether
// the head has one; false also when it has one that cannot be read.
bool contentRangeOf(const ReplyHead& head, ContentRange* range, bool* present) {
    int at = 0;
    HeadValue value;
    *present = nextHeader(head.bytes, head.len, "Content-Range", &at, &value);
    if (!*present) return false;
    char text[128];
    int len = headerText(value, text, sizeof text);
    return len < static_cast<int>(sizeof text) && readContentRange(text, len, range);
}

// A reply to the request for the rest of the output, from resumeFrom on.
Answer answerToRange(const RequestInfo* req) {
    ContentRange range;
    bool present = false;
    bool read = contentRangeOf(req->head, &range, &present);
    if (req->head.status == 206) {
        // Only the part that starts where the file ends goes on it: any
        // other would leave a file that is two files in one.
        if (read && !range.unsatisfied && range.first == req->resumeFrom)
            return {Store::Append, RESULT_OK};
        return {Store::Nothing, RESULT_MALFORMED_HEAD};
    }
    // 416: no byte lies after the file's end. The file is whole when the
    // server's length is the file's (or the server names none, as servers
    // do for a file that is whole); a file longer than the server's is not
    // its file, and the call says so.
    if (!present || (read && range.unsatisfied && range.complete == req->resumeFrom))
        return {Store::Nothing, RESULT_OK};
    return {Store::Nothing, RESULT_HTTP_ERROR};
}

}  // namespace

bool keepsOld(const RequestInfo* req) { return req->keep && req->outHeld < 0; }

int completeResult(const RequestInfo* req) {
    return req->failOnError && req->head.status >= 400 ? RESULT_HTTP_ERROR : RESULT_OK;
}

Answer answerOf(const RequestInfo* req) {
    const int status = req->head.status;
    if (req->askedModified && status == 304) return {Store::Nothing, RESULT_OK};
    if (req->resumeFrom > 0 && (status == 206 || status == 416)) return answerToRange(req);
    // The error page is not read at all when it could only be thrown away:
    // the old output stays, and the status says what happened.
    if (completeResult(req) != RESULT_OK && keepsOld(req))
        return {Store::Nothing, RESULT_HTTP_ERROR};
    return {Store::Replace, RESULT_OK};
}

int64_t modifiedOf(const RequestInfo* req) {
    if (!req->stampModified || req->head.status != 200) return NO_TIME;
    char text[64];
    int len = headerValue(req->head.bytes, req->head.len, "Last-Modified", text, sizeof text);
    int64_t seconds = 0;
    if (len < 0 || len >= static_cast<int>(sizeof text) ||
        !parseHttpDate(text, len, plat::timeNow(), &seconds))
        return NO_TIME;
    return seconds;
}

}  // namespace quodra
