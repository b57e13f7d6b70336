// The request's body file: opened for each exchange before anything of it
// goes out, and the body length the header block announces, taken from the
// open file rather than from a second look at its path.
#include "common/results.h"
#include "common/text.h"
#include "request/request.h"

namespace quodra {

int openBody(RequestInfo* req) {
    if (!req) return 0;
    // A form always promises a file part, so a form without one fails too.
    if (!req->inFile && !req->formHead) return 0;
    if (req->inFd < 0 && req->inFile) req->inFd = plat::openRead(req->inFile);
    // Only a regular file has a size to announce; one that cannot tell it
    // cannot be announced either.
    if (req->inFd >= 0 && plat::fileSize(req->inFd) < 0) {
        plat::closeFile(req->inFd);
        req->inFd = -1;
    }
    if (req->inFd < 0) {
        req->inFd = -1;
        return RESULT_NO_INPUT;
    }
    return 0;
}

int64_t getFileSize(int fd) {
    if (fd < 0) return 0;
    int64_t size = plat::fileSize(fd);
    return size < 0 ? 0 : size;
}

void calculateContentLength(RequestInfo* req) {
    if (!req || req->result) return;
    // A body the library writes itself takes the place of a file.
    req->bodyLength = textLength(req->ownBody);
    if (!req->inFile) return;
    req->bodyLength = textLength(req->formHead) + getFileSize(req->inFd) +
                      textLength(req->formFoot);
}

}  // namespace quodra
