// Reading a request URL: where its parts lie in the text, without copying
// or allocating anything. A URL is
//
//     [scheme "://" | "//"] authority [path] ["?" query] ["#" fragment]
//     authority = [user [":" password] "@"] host [":" port]
//
// as RFC 3986 writes it: the authority ends at the first '/', '?' or '#'
// after it; the userinfo is everything before the authority's last '@'.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quodra {

// The bytes of a text from begin up to, not including, end.
struct Span {
    const char* begin;
    const char* end;
    size_t size() const { return static_cast<size_t>(end - begin); }
};

// Where the parts of one URL lie in its text.
struct UrlParts {
    int secure;         // 1 for https, 0 for http or no scheme
    int hasUserinfo;    // 1 when the authority holds an '@'
    Span userinfo;      // before the authority's last '@' (the '@' left out)
    Span user;          // the userinfo up to its first ':', still escaped
    Span password;      // the userinfo after that ':', still escaped; empty without one
    Span host;          // the host as written, an IPv6 address without its brackets
    int bracketed;      // 1 when the host was written in brackets (IPv6)
    uint16_t port;      // the port named, or the scheme's default
    Span target;        // path and query up to the fragment, escapes as written;
                        // empty, or starting with '?', when the URL names no path
};

// The port a scheme uses when the URL names none: 443 for https, else 80.
constexpr uint16_t defaultPort(int secure) { return secure ? 443 : 80; }

// Reads url into *parts. False, with *parts unspecified, for a URL that
// must not go out:
// - null or empty, or holding a control byte or a space, which would end
//   up raw in the request line or the Host line;
// - a scheme other than http or https (in any case), or text before a
//   "//" that is no scheme ("https//h/", "h:8080//p"): with no scheme the
//   URL is plain http, and such text would be neither skipped nor read;
// - an empty host; a bracket without its mate, or brackets around anything
//   but an IPv6 address; anything but ':' and the port after the closing
//   bracket; a bracket in a host without them; a backslash in the
//   authority, which no URL grammar allows there and some readers take
//   for a '/';
// - a port that is not 1 to 65535 written in decimal digits (an empty
//   port is the scheme's default, as RFC 3986 has it);
// - userinfo with a '%' not followed by two hex digits, or that decodes to
//   a control byte (RFC 7617 allows none in a user or password, and a NUL
//   could not be kept).
bool splitUrl(const char* url, UrlParts* parts);

// The size of s once its %XX escapes are decoded; false for a '%' not
// followed by two hex digits or for a decoded control byte.
bool decodedSize(Span s, size_t* size);
// Writes s decoded, and a NUL, to out (room for decodedSize + 1 bytes);
// only for a span decodedSize took.
void decodeInto(Span s, char* out);

// True when the URLs a and b (both read by splitUrl) name one origin: the
// same scheme, host (in any case) and port. False when either is refused.
bool sameOrigin(const char* a, const char* b);

// True when text, read as a URL, names userinfo: its authority (none when
// it begins with a single '/') holds an '@'.
bool urlHasUserinfo(const char* text);

}  // namespace quodra
