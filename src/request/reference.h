// Where a redirect leads: a Location value resolved against the URL of the
// request it answered, by RFC 3986 section 5.2 (remove_dot_segments
// included), and whether it may be followed.
#pragma once

namespace quodra {

// The target of reference ref resolved against the absolute URI base, by
// RFC 3986 section 5.2.2 (strict: a reference with a scheme is taken as
// absolute even when it is the base's scheme) and recomposed by section
// 5.3, without the fragment. A new text (qalloc), or null when memory ran
// out ("new failed: location" shown).
char* resolveReference(const char* base, const char* ref);

enum class Redirect {
    Follow,    // *target is the URL to request next (owned, qalloc)
    Refused,   // not followed: the redirect's reply is the call's reply
    NoMemory,  // "new failed: location" shown
};

// The URL that location[0..len) (a Location value, trimmed) leads to from
// the request's URL. The request's URL is read as every request URL is:
// any text before its first "//" other than "http:" or "https:" (in any
// case) names plain http, and none is taken as "http:". Refused:
//   - a value that is empty or holds a control byte (NUL and DEL included)
//     or a space (CR and LF among them: nothing of it may reach a request);
//   - a target whose scheme is not http or https, or that has no host;
//   - a target carrying user information (credentials the caller did not
//     give would be sent);
//   - https to http (the exchange would leave TLS).
// The target is written without the request URL's user information, which
// a relative Location would otherwise carry over: credentials go beside a
// URL, to the origin they came with, never inside the one followed.
Redirect redirectTarget(const char* requestUrl, const char* location, int len, char** target);

}  // namespace quodra
