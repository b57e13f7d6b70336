// The form envelope of a file upload: the part head before the file, the
// closing delimiter after it, and the multipart content type, all made with
// a boundary drawn afresh for each upload.
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/product.h"
#include "common/results.h"
#include "common/text.h"
#include "request/request.h"

namespace quodra {

namespace {

const char prologueHead[] =
    "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"";
const char prologueTail[] = "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

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

char* put(char* out, const char* text, size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

// The file's name without its folders, after the last '/' or backslash,
// whichever platform wrote the path: the folders tell the server nothing
// and would show it how the caller's disk is laid out, and a backslash
// inside the quoted parameter would be read as an escape.
const char* baseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

char* buildPrologue(const char* path, const char* boundary) {
    const char* name = baseName(path);
    size_t headLen = sizeof(prologueHead) - 1;
    size_t tailLen = sizeof(prologueTail) - 1;
    char* text = static_cast<char*>(
        qalloc(2 + FORM_BOUNDARY_LENGTH + headLen + escapedLength(name) + tailLen + 1));
    if (!text) return nullptr;
    char* out = put(text, "--", 2);
    out = put(out, boundary, FORM_BOUNDARY_LENGTH);
    out = put(out, prologueHead, headLen);
    for (const char* p = name; *p; ++p) {
        if (const char* esc = escapeOf(*p)) {
            out = put(out, esc, 3);
        } else {
            *out++ = *p;
        }
    }
    put(out, prologueTail, tailLen + 1);
    return text;
}

}  // namespace

bool drawBoundary(char* out) {
    // The low six bits of each random byte pick a character; the two values
    // past the alphabet are drawn again, so that every character is equally
    // likely. A handful of rounds is plenty; a source that keeps giving
    // only those two values is a broken one.
    int filled = 0;
    for (int round = 0; round < 8 && filled < FORM_BOUNDARY_LENGTH; ++round) {
        unsigned char bytes[FORM_BOUNDARY_LENGTH];
        if (plat::randomBytes(bytes, sizeof bytes) != 0) return false;
        for (unsigned char b : bytes) {
            unsigned v = b & 63u;
            if (v < sizeof alphabet - 1 && filled < FORM_BOUNDARY_LENGTH)
                out[filled++] = alphabet[v];
        }
    }
    out[filled] = '\0';
    return filled == FORM_BOUNDARY_LENGTH;
}

void makeFormEncoding(RequestInfo* req) {
    if (!req || req->result || !req->inFile) return;

    // A file holding a fixed boundary could end its part early and forge
    // fields of its own; one drawn for this upload cannot be foreseen.
    char boundary[FORM_BOUNDARY_LENGTH + 1];
    if (!drawBoundary(boundary)) {
        showError("Could not get random bytes", QUODRA_PRODUCT);
        std::snprintf(req->why, sizeof req->why,
                      "the system's random source gave no bytes for the form's boundary");
        req->result = RESULT_REFUSED;
        return;
    }

    // A piece that cannot be allocated refuses the request: an envelope
    // without its head or its closing delimiter is not a form.
    char* head = buildPrologue(req->inFile, boundary);
    if (!head) {
        composeFailed(req, "formheader");
        return;
    }
    qfree(req->formHead);
    req->formHead = head;

    char epilogue[FORM_BOUNDARY_LENGTH + 9];
    std::snprintf(epilogue, sizeof epilogue, "\r\n--%s--\r\n", boundary);
    char* foot = static_cast<char*>(qalloc(sizeof epilogue));
    if (!foot) {
        composeFailed(req, "formfooter");
        return;
    }
    std::memcpy(foot, epilogue, sizeof epilogue);
    qfree(req->formFoot);
    req->formFoot = foot;

    // A semicolon before the parameter, as the media type grammar has it;
    // strict multipart readers find no boundary after a comma.
    char type[FORM_BOUNDARY_LENGTH + 31];
    std::snprintf(type, sizeof type, "multipart/form-data; boundary=%s", boundary);
    setContentType(req, type);
}

}  // namespace quodra
