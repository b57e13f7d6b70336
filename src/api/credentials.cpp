// The credentials of a call's URL on its requests: the Authorization line
// that answers the first origin's challenge, made afresh for each exchange
// that goes to that origin.
#include "api/api.h"
#include "common/alloc.h"
#include "common/text.h"
#include "request/auth_cache.h"
#include "request/authorization.h"
#include "request/caller_lines.h"

namespace quodra {

namespace {

AuthOrigin originOf(const RequestInfo* req) {
    return AuthOrigin{req->secure != 0, req->host, req->port};
}

// The challenge the exchange answers and its nonce count: the one the cache
// keeps for the origin (asked while the call knows none, or while the one
// it knows is kept there, so that the count is never given twice), else
// the one the call took from a 401. False when memory ran out.
bool pickChallenge(RequestInfo* req, Answering& a, bool* any, uint32_t* nc) {
    *any = false;
    if (a.challenge.scheme == AuthScheme::None || a.cached) {
        Challenge kept;
        initChallenge(&kept);
        switch (recallAuth(originOf(req), req->user, &kept, nc)) {
        case AuthRecall::NoMemory:
            return false;
        case AuthRecall::Found:
            freeChallenge(&a.challenge);
            a.challenge = kept;
            a.nc = *nc;
            a.cached = true;
            *any = true;
            return true;
        case AuthRecall::None:
            // Gone from the cache meanwhile (another call's answer was
            // refused, or it made room): the call goes on with its own.
            a.cached = false;
            break;
        }
    }
    if (a.challenge.scheme == AuthScheme::None) return true;
    *nc = ++a.nc;
    *any = true;
    return true;
}

}  // namespace

bool addCredentials(RequestInfo* req, Call& call) {
    Answering& a = call.auth;
    a.mayAnswer = false;
    a.sent = false;
    UrlParts first;
    if (!splitUrl(call.url, &first) || !first.hasUserinfo) return true;
    // Only to the origin they came with, and never beside the caller's own
    // Authorization line, which wins.
    if (!sameOrigin(currentUrl(call), call.url) || linesHold(call.lines, "authorization"))
        return true;
    // A redirected request's URL carries no userinfo: the first URL's goes
    // beside it.
    if (!req->user) {
        req->user = getUrlUser(first);
        req->password = req->user ? getUrlPassword(first) : nullptr;
        if (!req->password) return false;
    }
    a.mayAnswer = true;

    bool any = false;
    uint32_t nc = 0;
    if (!pickChallenge(req, a, &any, &nc)) return false;
    if (!any) return true;  // nothing known yet: the first 401 tells
    char cnonce[CNONCE_TEXT] = "";
    if (a.challenge.scheme == AuthScheme::Digest) {
        unsigned char bytes[CNONCE_BYTES];
        if (plat::randomBytes(bytes, sizeof bytes) != 0) {
            showError("Could not get random bytes", QUODRA_PRODUCT);
            return false;
        }
        cnonceText(bytes, cnonce);
    }
    const AuthRequest ask{AuthAsker::Server, req->user, req->password, methodName(req->method),
                          req->path, nc, cnonce};
    char* line = nullptr;
    switch (answerChallenge(a.challenge, ask, &line)) {
    case AuthAnswer::NoMemory:
        return false;
    case AuthAnswer::Refused:
        return true;  // these credentials cannot be written so: sent without
    case AuthAnswer::Made:
        break;
    }
    addHeaders(req, line);
    qfree(line);
    a.sent = req->result == 0;
    return true;
}

}  // namespace quodra
