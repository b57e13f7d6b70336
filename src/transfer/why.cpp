// Why an exchange failed, as the one line httpLastErrorText gives: what
// failed and where, then why, in the words of the system that said it (the
// socket layer's, the resolver's, the file system's, the TLS engine's). The
// site of a failure says it just before it ends the exchange; the first
// failure said is the one kept, like the result it goes with.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "transfer/transfer.h"

namespace quodra {

namespace {

bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool lower(char c) { return c >= 'a' && c <= 'z'; }

// A system's text made one line of ours: its line ends (FormatMessage wraps
// long texts) and runs of spaces become one space, the final full stop and
// line end go, and a first capital in front of a lower-case letter is
// lowered ("Connection refused" reads "connection refused"; "IPv6" stays).
void tidy(char* text) {
    size_t out = 0;
    bool space = false;
    for (size_t i = 0; text[i]; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            space = out > 0;
            continue;
        }
        if (space) text[out++] = ' ';
        space = false;
        text[out++] = c;
    }
    while (out > 0 && text[out - 1] == '.') --out;
    text[out] = '\0';
    if (out >= 2 && upper(text[0]) && lower(text[1])) text[0] = static_cast<char>(text[0] - 'A' + 'a');
}

// The words a platform call gave, tidied, or "error N" when it gave none.
void words(int (*give)(int, char*, int), int error, char* buf, size_t size) {
    char text[512];
    if (give(error, text, sizeof text) > 0) {
        tidy(text);
        if (text[0]) {
            std::snprintf(buf, size, "%s", text);
            return;
        }
    }
    std::snprintf(buf, size, "error %d", error);
}

// "N s" for whole seconds, else "N ms".
void duration(uint32_t ms, char* buf, size_t size) {
    if (ms % 1000 == 0) std::snprintf(buf, size, "%u s", ms / 1000);
    else std::snprintf(buf, size, "%u ms", ms);
}

}  // namespace

void noteWhy(RequestInfo* req, const char* format, ...) {
    if (!req || ended(req) || req->result != 0 || req->why[0]) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(req->why, sizeof req->why, format, ap);
    va_end(ap);
}

void fileWhy(RequestInfo* req, const char* doing, const char* path, int error) {
    if (!req || req->result != 0 || req->why[0]) return;
    char said[512];
    fileWords(error, said, sizeof said);
    req->fileError = error;
    std::snprintf(req->why, sizeof req->why, "%s \"%s\": %s", doing, path ? path : "", said);
}

void peerText(const RequestInfo* req, int index, char* buf, size_t size) {
    if (index >= 0 && index < req->addrCount) {
        const plat::SockAddr& a = req->addrs[index];
        char addr[64];
        plat::addressText(a, addr, sizeof addr);
        std::snprintf(buf, size, a.family == plat::kAfInet6 ? "[%s]:%u" : "%s:%u", addr,
                      static_cast<unsigned>(peerPort(req)));
        return;
    }
    const char* host = peerHost(req) ? peerHost(req) : "";
    bool ipv6 = std::strchr(host, ':') != nullptr;
    std::snprintf(buf, size, ipv6 ? "[%s]:%u" : "%s:%u", host, static_cast<unsigned>(peerPort(req)));
}

void socketWords(int error, char* buf, size_t size) {
    words(plat::socketErrorText, error, buf, size);
}

void fileWords(int error, char* buf, size_t size) { words(plat::fileErrorText, error, buf, size); }

void phaseText(const RequestInfo* req, char* buf, size_t size) {
    char peer[80];
    peerText(req, req->sock != plat::kInvalidSocket ? req->peerAddr : -1, peer, sizeof peer);
    if (req->state == State::Idle && req->lookupTask)
        std::snprintf(buf, size, "looking up %s \"%s\"", req->proxyHost ? "proxy host" : "host",
                      peerHost(req) ? peerHost(req) : "");
    else if (req->state == State::Idle)
        std::snprintf(buf, size, "connecting to %s", peer);
    else if (sendingState(req->state))
        std::snprintf(buf, size, "sending the request to %s", peer);
    else if (!replyBegun(req))
        std::snprintf(buf, size, "waiting for the reply from %s", peer);
    else
        std::snprintf(buf, size, "receiving the reply from %s", peer);
}

void limitWhy(RequestInfo* req, const char* what, uint32_t ms) {
    char phase[160], limit[32];
    phaseText(req, phase, sizeof phase);
    duration(ms, limit, sizeof limit);
    noteWhy(req, "%s %s, while %s", what, limit, phase);
}

void genericWhy(const RequestInfo* req, char* buf, size_t size) {
    // A socket or lookup error number is its own reason.
    if (!resultMeaning(req->result) || req->result >= 10000) {
        socketWords(req->result, buf, size);
        return;
    }
    if (req->result == RESULT_HTTP_ERROR && req->head.status > 0) {
        std::snprintf(buf, size, "the server answered with status %d", req->head.status);
        return;
    }
    if (!req->netError) {
        std::snprintf(buf, size, "%s", resultMeaning(req->result));
        return;
    }
    char said[512];
    socketWords(req->netError, said, sizeof said);
    std::snprintf(buf, size, "%s: %s", resultMeaning(req->result), said);
}

}  // namespace quodra
