// The form envelope of a file upload: the part head before the file, the
// closing delimiter after it, and the multipart content type.
#include <cstring>

#include "common/alloc.h"
#include "request/request.h"

namespace quodra {

// Fixed for every upload; file contents are not searched for it.
#define FORM_BOUNDARY "rAndOmSTufF"

namespace {

const char prologueHead[] =
    "--" FORM_BOUNDARY "\r\n"
    "Content-Disposition: form-data; name=\"uploadfile\"; filename=\"";
const char prologueTail[] = "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
const char epilogue[] = "\r\n--" FORM_BOUNDARY "--\r\n";
const char formType[] = "multipart/form-data, boundary=" FORM_BOUNDARY;

// A quote would end the filename parameter early and CR or LF would end
// the line, letting a path forge part headers; those three are escaped.
const char* escapeOf(char c) {
    switch (c) {
    case '"': return "%22";
    case '\r': return "%0D";
    case '\n': return "%0A";
    default: return nullptr;
    }
}

size_t escapedLength(const char* path) {
    size_t n = 0;
    for (const char* p = path; *p; ++p) n += escapeOf(*p) ? 3 : 1;
    return n;
}

char* buildPrologue(const char* path) {
    size_t headLen = sizeof(prologueHead) - 1;
    size_t tailLen = sizeof(prologueTail) - 1;
    char* text = static_cast<char*>(qalloc(headLen + escapedLength(path) + tailLen + 1));
    if (!text) return nullptr;
    char* out = text;
    std::memcpy(out, prologueHead, headLen);
    out += headLen;
    for (const char* p = path; *p; ++p) {
        if (const char* esc = escapeOf(*p)) {
            std::memcpy(out, esc, 3);
            out += 3;
        } else {
            *out++ = *p;
        }
    }
    std::memcpy(out, prologueTail, tailLen + 1);
    return text;
}

}  // namespace

void makeFormEncoding(RequestInfo* req) {
    if (!req || req->result || !req->infile) return;

    // A piece that cannot be allocated refuses the request: an envelope
    // without its head or its closing delimiter is not a form.
    char* head = buildPrologue(req->infile);
    if (!head) {
        composeFailed(req, "formheader");
        return;
    }
    qfree(req->formheader);
    req->formheader = head;
    char* foot = static_cast<char*>(qalloc(sizeof epilogue));
    if (!foot) {
        composeFailed(req, "formfooter");
        return;
    }
    std::memcpy(foot, epilogue, sizeof epilogue);
    qfree(req->formfooter);
    req->formfooter = foot;
    setContentType(req, formType);
}

}  // namespace quodra
