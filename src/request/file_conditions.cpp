// The questions a GET may ask about its output file: only the rest of it (a
// Range from its end), only a newer one (If-Modified-Since its time).
#include <cinttypes>
#include <cstdio>

#include "common/http_date.h"
#include "request/request.h"

namespace quodra {

void askAboutOutput(RequestInfo* req, int resume, int onlyIfNewer) {
    if (!req || req->result || !req->outFile || (!resume && !onlyIfNewer)) return;
    // Only a regular file has a size and a time to ask by: nothing is asked
    // about a missing output, a device or a FIFO.
    plat::FileFacts facts;
    if (plat::fileFacts(req->outFile, &facts) != 0) return;
    char line[64];
    if (resume && facts.size > 0) {
        std::snprintf(line, sizeof line, "Range: bytes=%" PRId64 "-\r\n", facts.size);
        addHeaders(req, line);
        req->resumeFrom = facts.size;
    }
    if (onlyIfNewer) {
        char date[HTTP_DATE_SIZE];
        formatHttpDate(facts.modified, date);
        std::snprintf(line, sizeof line, "If-Modified-Since: %s\r\n", date);
        addHeaders(req, line);
        req->askedModified = 1;
    }
}

}  // namespace quodra
