// Where the parts of a URL begin, without copying anything. The URL is read
// by a fixed rule: an optional prefix ending in "//", the host, an optional
// ':' and port, and an optional path starting with '/'.
#pragma once

namespace quodra {

// First byte of the host inside url, or null when the URL has no host start
// (null or empty URL, or nothing after the first "//").
const char* urlHostStart(const char* url);
// One past the last byte of the host that starts at hostStart: the first
// ':', '/' or the terminating NUL.
const char* urlHostEnd(const char* hostStart);
// The path inside url ('/' included), or null when the URL names none.
const char* urlPathStart(const char* url);
// True when url begins with "https://" in any mix of case: the one scheme
// that is read, for a secure connection.
bool urlIsSecure(const char* url);

}  // namespace quodra
