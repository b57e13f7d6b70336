// A call's proxy: the settings it starts with (QUODRA_OPTION_PROXY and
// QUODRA_OPTION_NO_PROXY, or the environment where they are at their
// default), the route each of its exchanges takes (through the proxy or
// direct, by that exchange's own URL), and the one answer a call gives to a
// proxy's 407.
#pragma once

#include <cstdint>

#include "request/challenge.h"
#include "request/request.h"

namespace quodra {

// The process-wide options. value null puts the option back to its default
// (the environment, on POSIX); "" means no proxy (PROXY) or no host reached
// directly (NO_PROXY), whatever the environment says. The proxy is checked
// with readProxyUrl; a no-proxy list must hold no control byte. 0 when set,
// -1 (nothing changed) when refused or when memory ran out (box shown).
// Thread-safe.
int setProxyOption(const char* value);
int setNoProxyOption(const char* value);

// What a call takes when it starts: the proxy for each scheme (null: that
// scheme goes direct) and the no-proxy list (null: none), each an owned
// copy, so that later changes of the options or the environment do not
// reach a call under way.
struct ProxySettings {
    char* forHttp;
    char* forHttps;
    char* noProxy;
};

// A call's proxy: its settings, and the proxy's Digest challenge once a
// 407 has asked for it, answered in the exchanges that go to the same proxy.
struct CallProxy {
    ProxySettings settings;
    Challenge challenge;   // scheme None until a 407's challenge is taken
    char* challengeHost;   // owned: the proxy that sent it
    uint16_t challengePort;
    uint32_t nc;           // the nonce count last sent with its nonce
    int answered;          // 1 once a 407 has been answered: never twice a call
};

// Fills proxy (zeroed first) from the options, or the environment where an
// option is at its default. False when memory ran out (its box shown).
bool takeCallProxy(CallProxy* proxy);
// Releases what proxy holds.
void releaseCallProxy(CallProxy* proxy);

// Decides whether req, just created for the call's current URL, goes
// through a proxy, and composes what that changes: the proxy's host and
// port to connect to, the absolute target of an http request and its
// Proxy-Authorization line, or the CONNECT request that opens an https
// request's tunnel (which carries that line instead). False when the
// request must not go: the proxy setting it would take is no proxy URL, its
// credentials cannot be written, or memory ran out; 1 is then recorded.
bool routeExchange(RequestInfo* req, CallProxy& proxy);

// The decision step after an exchange that a proxy refused with 407: true
// when the next exchange answers the proxy's Digest challenge (once a call,
// with the proxy URL's credentials). A Basic challenge is not answered
// again: the request it refused carried the Basic answer already.
bool answerProxyChallenge(CallProxy& proxy, const RequestInfo& done);

}  // namespace quodra
