// What follows an exchange: the one place where a call's replies decide its
// course. It is asked once the exchange's final head has arrived, before
// anything of its body is stored, and each step below may claim the reply:
// a 401 that the URL's credentials answer, a redirect that is followed.
// A reply none claims is the call's own. An exchange that ends before a
// final head of the server's came is asked about once it has ended: a
// proxy's 407 is answered once when its Digest challenge can be.
//
// How many exchanges a call can take: one, plus one per redirect followed
// (at most MAX_REDIRECTS, the option's largest value), plus at most one
// answer to a fresh challenge and one more try after a nonce called stale,
// plus one answer to a proxy: never more than MAX_EXCHANGES.
#include "api/api.h"
#include "common/alloc.h"
#include "common/reply_head.h"
#include "common/results.h"
#include "request/auth_cache.h"
#include "request/authorization.h"
#include "request/reference.h"

namespace quodra {

static_assert(1 + MAX_REDIRECTS + 2 + 1 <= MAX_EXCHANGES,
              "the redirects and answers of one call must stay within its exchanges");

namespace {

AuthOrigin originOf(const RequestInfo& r) { return AuthOrigin{r.secure != 0, r.host, r.port}; }

// The call ends with code and the reply is not stored; what could not be
// allocated (if anything) is shown once the exchange has ended.
Follow refuse(Call& call, int code, const char* noMemory = nullptr) {
    call.ending = code;
    if (noMemory && !call.noMemory) call.noMemory = noMemory;
    return Follow::Refused;
}

// The cache learns how the credentials the exchange carried fared: a 401
// refused them (or called their nonce stale), anything else took them.
void noteAnswer(Call& call, const RequestInfo& done) {
    Answering& a = call.auth;
    if (!a.sent) return;
    if (done.head.status == 401) {
        forgetAuth(originOf(done), done.user);
        a.cached = false;
    } else if (!a.cached) {
        a.cached = rememberAuth(originOf(done), done.user, a.challenge, a.nc);
        if (!a.cached && !call.noMemory) call.noMemory = "authcache";
    }
}

// A 401 is answered once with the URL's credentials (Digest before Basic),
// and once more when the server called the nonce of an answer stale; a
// reply to a request that may not carry them, a challenge the library
// cannot answer, and any further 401 are the call's reply.
Follow challengeStep(Call& call, const RequestInfo& done) {
    Answering& a = call.auth;
    if (done.head.status != 401 || !a.mayAnswer) return Follow::Over;
    Challenge ch;
    initChallenge(&ch);
    switch (chooseChallenge(done.head.bytes, done.head.len, AuthAsker::Server, &ch)) {
    case ChallengeChoice::None:
        return Follow::Over;
    case ChallengeChoice::NoMemory:
        return refuse(call, RESULT_REFUSED, "challenge");
    case ChallengeChoice::Chosen:
        break;
    }
    bool stale = a.sent && ch.stale && ch.scheme == AuthScheme::Digest && a.staleRetried == 0;
    if (!canAnswer(ch, done.user) || (!stale && a.answered > 0)) {
        freeChallenge(&ch);
        return Follow::Over;
    }
    if (stale) ++a.staleRetried;
    else ++a.answered;
    freeChallenge(&a.challenge);
    a.challenge = ch;
    a.nc = 0;
    a.cached = false;
    return Follow::Another;
}

bool redirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The method after a redirect: 303 asks for a GET (a HEAD stays a HEAD),
// and so do 301 and 302 after a POST, as every browser has it; the GET
// carries no body and none of the method's lines. Any other keeps method,
// body and lines.
void redirectMethod(Call& call, int status) {
    bool toGet = (status == 303 && call.method != METHOD_HEAD) ||
                 ((status == 301 || status == 302) && call.method == METHOD_POST);
    if (!toGet) return;
    call.method = METHOD_GET;
    call.inFile = nullptr;
    call.depth = -1;
    call.destination = nullptr;
}

// A 3xx that names where to go, by one Location line the library may
// follow, is followed while the call has redirects left; past them the
// call ends with 11. Any other (no Location, two of them, one refused:
// https to http, another scheme, userinfo, bytes that may not go out) is
// the call's reply.
Follow redirectStep(Call& call, const RequestInfo& done) {
    int status = done.head.status;
    if (!redirectStatus(status) || call.options.maxRedirects == 0) return Follow::Over;
    const char* head = done.head.bytes;
    int len = done.head.len;
    int at = 0;
    HeadValue location, second;
    if (!nextHeader(head, len, "location", &at, &location)) return Follow::Over;
    if (nextHeader(head, len, "location", &at, &second)) return Follow::Over;
    const char* text = location.text;
    int n = location.len;
    while (n > 0 && (*text == ' ' || *text == '\t')) ++text, --n;
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
    char* target = nullptr;
    switch (redirectTarget(currentUrl(call), text, n, &target)) {
    case Redirect::Refused:
        return Follow::Over;
    case Redirect::NoMemory:
        return refuse(call, RESULT_REFUSED, "location");
    case Redirect::Follow:
        break;
    }
    if (call.redirects >= call.options.maxRedirects) {
        qfree(target);
        return refuse(call, RESULT_TOO_MANY_REDIRECTS);
    }
    ++call.redirects;
    qfree(call.target);
    call.target = target;
    redirectMethod(call, status);
    return Follow::Another;
}

}  // namespace

const char* currentUrl(const Call& call) { return call.target ? call.target : call.url; }

Follow afterExchange(Call& call, const RequestInfo& done) {
    if (answerProxyChallenge(call.proxy, done)) return Follow::Another;
    // What follows is for the server's final head, judged as it arrives.
    if (!done.headJudged || !done.head.done) return Follow::Over;
    noteAnswer(call, done);
    Follow next = challengeStep(call, done);
    if (next == Follow::Over) next = redirectStep(call, done);
    return next;
}

void endCall(Call& call) {
    releaseCallProxy(&call.proxy);
    qfree(call.lines);
    qfree(call.target);
    freeChallenge(&call.auth.challenge);
    call.lines = nullptr;
    call.target = nullptr;
}

}  // namespace quodra
