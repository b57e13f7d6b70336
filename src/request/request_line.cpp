// The request line that opens every request: method, path, protocol.
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "request/request.h"

namespace quodra {

namespace {

const char protocol[] = "HTTP/1.0";

// Appends n bytes of text at out and returns the end.
char* put(char* out, const char* text, size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

}  // namespace

const char* methodName(int method) {
    switch (method) {
#define QUODRA_METHOD(code, name, wire) \
    case code:                          \
        return wire;
#include "request/methods.def"
#undef QUODRA_METHOD
    default:
        return nullptr;
    }
}

char* makeRequestLine(const char* path, int method) {
    if (!path || !*path) return nullptr;
    const char* name = methodName(method);
    if (!name) return nullptr;
    size_t nameLen = std::strlen(name);
    size_t pathLen = std::strlen(path);
    size_t protoLen = sizeof(protocol) - 1;
    // Sized exactly, however long the path: a line is never cut short.
    char* line = static_cast<char*>(qalloc(nameLen + pathLen + protoLen + 5));
    if (!line) {
        showAllocFailure("request");
        return nullptr;
    }
    char* p = put(line, name, nameLen);
    *p++ = ' ';
    p = put(p, path, pathLen);
    *p++ = ' ';
    p = put(p, protocol, protoLen);
    p = put(p, "\r\n", 3);  // with the terminating NUL
    return line;
}

void speakHttp11(RequestInfo* req) {
    if (!req || !req->requestLine) return;
    size_t len = std::strlen(req->requestLine);
    const size_t tail = sizeof(protocol) - 1 + 2;  // "HTTP/1.0\r\n"
    if (len < tail || std::memcmp(req->requestLine + len - tail, protocol, tail - 2) != 0) return;
    req->requestLine[len - 3] = '1';
}

}  // namespace quodra
