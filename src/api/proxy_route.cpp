// The route of each exchange of a call: through the proxy its settings name
// for the URL's scheme, unless the no-proxy list names the URL's host, and
// what going through the proxy changes in the request. Decided afresh for
// every exchange, so that a redirect to another host or scheme takes the
// route of its own URL. The proxy's credentials go only to the proxy: on the
// http request the proxy takes (and drops before it passes the request on),
// or on the CONNECT request, never inside the tunnel.
#include <cstdio>
#include <cstring>

#include "api/proxy.h"
#include "common/alloc.h"
#include "common/product.h"
#include "common/results.h"
#include "common/text.h"
#include "request/authorization.h"
#include "request/proxy.h"

namespace quodra {

namespace {

bool sameProxy(const CallProxy& proxy, const RequestInfo* req) {
    return proxy.challengeHost && req->proxyHost && proxy.challengePort == req->proxyPort &&
           std::strcmp(proxy.challengeHost, req->proxyHost) == 0;
}

// The Proxy-Authorization line for req through the proxy whose credentials
// are user and password: the answer to its Digest challenge when it sent
// one, else Basic, sent without waiting to be asked. Null in *line with
// true when there is nothing to send; false when the line cannot be made
// (memory, the random source, credentials the scheme cannot carry).
bool authorizationLine(RequestInfo* req, CallProxy& proxy, const char* user,
                       const char* password, char** line) {
    *line = nullptr;
    if (!user) return true;
    Challenge basic;
    initChallenge(&basic);
    basic.scheme = AuthScheme::Basic;
    bool digest = proxy.challenge.scheme == AuthScheme::Digest && sameProxy(proxy, req);
    const Challenge& ch = digest ? proxy.challenge : basic;
    // A tunnel's request is "CONNECT host:port"; an http request's target
    // is the absolute URL on its line.
    char* target = req->tunnelRequest ? authorityText(req, true) : requestTarget(req);
    if (!target) return false;
    char cnonce[CNONCE_TEXT] = "";
    if (digest) {
        unsigned char bytes[CNONCE_BYTES];
        if (plat::randomBytes(bytes, sizeof bytes) != 0) {
            showError("Could not get random bytes", QUODRA_PRODUCT);
            qfree(target);
            return false;
        }
        cnonceText(bytes, cnonce);
        ++proxy.nc;
    }
    const char* method = req->tunnelRequest ? "CONNECT" : methodName(req->method);
    AuthRequest ar{AuthAsker::Proxy, user, password, method, target, proxy.nc, cnonce};
    AuthAnswer answer = answerChallenge(ch, ar, line);
    qfree(target);
    return answer == AuthAnswer::Made;
}

// The proxy's host and port for req from its URL text; its user and
// password decoded in *user and *password (null without userinfo). False
// when the text is no proxy URL or memory ran out.
bool takeProxy(RequestInfo* req, const char* text, char** user, char** password) {
    *user = *password = nullptr;
    UrlParts parts;
    if (!readProxyUrl(text, &parts)) {
        // Its text is not quoted: it may hold a password.
        std::snprintf(req->why, sizeof req->why,
                      "the proxy setting cannot be used: it needs the form "
                      "http://[user:password@]host[:port] with no path");
        return false;
    }
    req->proxyHost = getUrlHost(parts);
    req->proxyPort = parts.port;
    if (!req->proxyHost) return false;
    if (!parts.hasUserinfo) return true;
    *user = getUrlUser(parts);
    *password = *user ? getUrlPassword(parts) : nullptr;
    return *password != nullptr;
}

// Forgets a password as soon as it is no longer needed.
void release(char* secret) {
    if (!secret) return;
    std::memset(secret, 0, std::strlen(secret));
    qfree(secret);
}

}  // namespace

bool routeExchange(RequestInfo* req, CallProxy& proxy) {
    if (!req || req->result) return false;
    const char* text = req->secure ? proxy.settings.forHttps : proxy.settings.forHttp;
    if (!text || !*text || bypassesProxy(proxy.settings.noProxy, req->host)) return true;

    char *user = nullptr, *password = nullptr, *line = nullptr;
    bool whole = takeProxy(req, text, &user, &password);
    if (whole && req->secure) {
        // The tunnel's request names the server; its line is added once it
        // is known, so the request is made first without it.
        whole = makeTunnelRequest(req, nullptr) &&
                authorizationLine(req, proxy, user, password, &line) &&
                (!line || makeTunnelRequest(req, line));
    } else if (whole) {
        whole = useAbsoluteTarget(req) && authorizationLine(req, proxy, user, password, &line);
        if (whole && line) addHeaders(req, line);
    }
    release(line);
    release(user);
    release(password);
    // Whatever failed has shown its box where there was one; a request that
    // could not be routed whole goes nowhere.
    if (!whole && req->result == 0) req->result = RESULT_REFUSED;
    return whole && req->result == 0;
}

bool answerProxyChallenge(CallProxy& proxy, const RequestInfo& done) {
    if (proxy.answered || done.result != RESULT_PROXY_REFUSED || !done.proxyHost) return false;
    if (done.head.status != 407 || !done.head.done) return false;
    // Only a proxy given credentials is answered, and only once a call.
    const char* text = done.secure ? proxy.settings.forHttps : proxy.settings.forHttp;
    UrlParts parts;
    if (!text || !readProxyUrl(text, &parts) || !parts.hasUserinfo) return false;
    Challenge ch;
    initChallenge(&ch);
    if (chooseChallenge(done.head.bytes, done.head.len, AuthAsker::Proxy, &ch) !=
        ChallengeChoice::Chosen)
        return false;
    // Basic was sent already, and refused: the same line again would be
    // refused again.
    if (ch.scheme != AuthScheme::Digest) {
        freeChallenge(&ch);
        return false;
    }
    char* host = copyText(done.proxyHost, "proxy");
    if (!host) {
        freeChallenge(&ch);
        return false;
    }
    freeChallenge(&proxy.challenge);
    qfree(proxy.challengeHost);
    proxy.challenge = ch;
    proxy.challengeHost = host;
    proxy.challengePort = done.proxyPort;
    proxy.nc = 0;
    proxy.answered = 1;
    return true;
}

}  // namespace quodra
