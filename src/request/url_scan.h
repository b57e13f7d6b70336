// Where the parts of a URL begin, without copying anything. The URL is read
// by a fixed rule: an optional prefix ending in "//", the host, an optional
// ':' and port, and an optional path starting with '/'. A host in brackets
// is an IPv6 address ("[::1]"), whose own colons end nothing.
#pragma once

namespace quodra {

// The host of a URL: the bytes between begin and end (inside the brackets
// of a bracketed host), and rest, what follows it: ':' and the port, the
// path, or the end of the text.
struct UrlHost {
    const char* begin;
    const char* end;
    const char* rest;
};

// First byte of the host inside url, or null when the URL has no host start
// (null or empty URL, or nothing after the first "//").
const char* urlHostStart(const char* url);
// The host of url; false when it has none to use: no host start, an empty
// host, a bracket without its mate, brackets holding no IPv6 form (no ':'),
// or anything but ':', '/' or the end after the closing bracket.
bool urlHost(const char* url, UrlHost* host);
// The path inside url ('/' included), or null when the URL names none.
const char* urlPathStart(const char* url);
// True when url begins with "https://" in any mix of case: the one scheme
// that is read, for a secure connection.
bool urlIsSecure(const char* url);

}  // namespace quodra
