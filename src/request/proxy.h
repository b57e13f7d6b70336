// An HTTP proxy on the way to the server: how its URL is read, which hosts
// are reached without it, where the environment names it, and the pieces a
// request carries through it (the absolute request target, the CONNECT
// request that opens a tunnel for https, the Proxy-Authorization line).
//
// The proxy itself is always spoken to in plain HTTP/1.0: an http request
// goes to it whole, with the absolute URL on its request line; an https
// request goes through a tunnel that a CONNECT request opens, and TLS runs
// inside the tunnel with the server's name, never the proxy's.
#pragma once

#include <cstdint>

#include "request/url_scan.h"

namespace quodra {

struct RequestInfo;

// The port of a proxy whose URL names none.
constexpr uint16_t PROXY_DEFAULT_PORT = 1080;

// Reads text as a proxy URL, "[http://][user[:password]@]host[:port][/]",
// into *parts (port PROXY_DEFAULT_PORT when none is named). False for
// anything else: another scheme (https included: the library speaks to a
// proxy in plain HTTP only), no host, a path other than "/", a query or a
// fragment, or anything a request URL may not hold (splitUrl).
bool readProxyUrl(const char* text, UrlParts* parts);

// True when list, a no-proxy list, names host (as a URL gives it: a name,
// or an address without brackets) for a direct connection. The list is
// comma-separated, each entry trimmed of spaces and tabs:
//   - "*" names every host;
//   - a name (a leading dot is ignored) names itself and every name below
//     it, in any case ("example.com" names example.com and a.example.com,
//     not badexample.com); one trailing dot on either side is ignored;
//   - an IPv4 or IPv6 address (IPv6 with or without brackets) names that
//     address, compared as an address, and with "/bits" the addresses of
//     that prefix (CIDR). An address host is named by address entries only.
// A null or empty list names nothing.
bool bypassesProxy(const char* list, const char* host);

// The environment variables naming the proxy for a scheme, in the order
// they are asked: the first that is set decides (an empty one means no
// proxy). Upper-case HTTP_PROXY is not among them: a CGI program's
// environment can set it from a request's Proxy header.
struct ProxyVariables {
    const char* names[4];
    int count;
};
ProxyVariables proxyVariables(int secure);
// The variables naming the no-proxy list, in the same way.
ProxyVariables noProxyVariables();

// ---- the pieces of a request through a proxy ----
// Owned "host[:port]" of req's server as a request names it: an IPv6
// address in brackets, the port when withPort or when it is not the
// scheme's default. Null with "new failed: authority" shown.
char* authorityText(const RequestInfo* req, bool withPort);
// Replaces req's request line with the absolute form an http request
// takes through a proxy: "METHOD http://authority/path HTTP/1.0". False
// (composeFailed) when memory ran out.
bool useAbsoluteTarget(RequestInfo* req);
// The request target of req's request line: what a Digest answer names.
// Owned; null with the failure shown.
char* requestTarget(const RequestInfo* req);
// Makes req's tunnel request, "CONNECT host:port HTTP/1.0" with its Host
// and User-Agent lines and authLine (a Proxy-Authorization line with its
// CR LF, or null), into req->tunnelRequest. False (composeFailed) when
// memory ran out.
bool makeTunnelRequest(RequestInfo* req, const char* authLine);

}  // namespace quodra
