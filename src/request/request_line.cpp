// The request line that opens every request: method, path, protocol.
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "request/request.h"

namespace quodra {

namespace {

const char* const methodNames[] = {
    nullptr, "GET", "HEAD", "POST", "OPTIONS", "MKCOL", "PROPFIND",
    "PROPPATCH", "PUT", "DELETE", "MOVE", "COPY"};
constexpr int methodCount = sizeof(methodNames) / sizeof(methodNames[0]);

const char protocol[] = "HTTP/1.0";

// Appends n bytes of text at out and returns the end.
char* put(char* out, const char* text, size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

}  // namespace

char* makeRequest(const char* urn, int method) {
    if (!urn || !*urn) return nullptr;
    if (method < 1 || method >= methodCount) return nullptr;
    const char* name = methodNames[method];
    size_t nameLen = std::strlen(name);
    size_t urnLen = std::strlen(urn);
    size_t protoLen = sizeof(protocol) - 1;
    // Sized exactly, however long the path: a line is never cut short.
    char* line = static_cast<char*>(qalloc(nameLen + urnLen + protoLen + 5));
    if (!line) {
        showAllocFailure("request");
        return nullptr;
    }
    char* p = put(line, name, nameLen);
    *p++ = ' ';
    p = put(p, urn, urnLen);
    *p++ = ' ';
    p = put(p, protocol, protoLen);
    p = put(p, "\r\n", 3);  // with the terminating NUL
    return line;
}

}  // namespace quodra
