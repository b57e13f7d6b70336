#include "request/reference.h"

#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "common/token.h"

namespace quodra {

namespace {

// A component of a URI reference; defined is false when it is absent
// (which differs from present and empty for the authority and the query).
struct Part {
    const char* p;
    int len;
    bool defined;
};

struct Uri {
    Part scheme, authority, path, query;
};

// Splits s[0..n) as RFC 3986 appendix B does:
//   ^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?
// The fragment is read past and left out.
Uri split(const char* s, int n) {
    Uri u{};
    int i = 0;
    while (i < n && !std::strchr(":/?#", s[i])) ++i;
    if (i > 0 && i < n && s[i] == ':') {
        u.scheme = Part{s, i, true};
        ++i;
    } else {
        i = 0;
    }
    if (i + 1 < n && s[i] == '/' && s[i + 1] == '/') {
        int start = i += 2;
        while (i < n && !std::strchr("/?#", s[i])) ++i;
        u.authority = Part{s + start, i - start, true};
    }
    int start = i;
    while (i < n && s[i] != '?' && s[i] != '#') ++i;
    u.path = Part{s + start, i - start, true};
    if (i < n && s[i] == '?') {
        start = ++i;
        while (i < n && s[i] != '#') ++i;
        u.query = Part{s + start, i - start, true};
    }
    return u;
}

bool startsWith(const char* s, int n, const char* prefix) {
    int k = static_cast<int>(std::strlen(prefix));
    return n >= k && std::memcmp(s, prefix, static_cast<size_t>(k)) == 0;
}

// RFC 3986 section 5.2.4, in place over s[0..n): the output never runs
// ahead of the input, so one buffer holds both. Returns the new length.
int removeDotSegments(char* s, int n) {
    int r = 0, w = 0;
    // Removes the output's last segment and the '/' before it.
    auto pop = [&] {
        while (w > 0 && s[w - 1] != '/') --w;
        if (w > 0) --w;
    };
    while (r < n) {
        const char* in = s + r;
        int left = n - r;
        if (startsWith(in, left, "../")) {  // A
            r += 3;
        } else if (startsWith(in, left, "./")) {
            r += 2;
        } else if (startsWith(in, left, "/./")) {  // B
            r += 2;
        } else if (left == 2 && startsWith(in, left, "/.")) {
            s[++r] = '/';  // the input becomes "/"
        } else if (startsWith(in, left, "/../")) {  // C
            r += 3;
            pop();
        } else if (left == 3 && startsWith(in, left, "/..")) {
            r += 2;
            s[r] = '/';
            pop();
        } else if ((left == 1 && in[0] == '.') || (left == 2 && in[0] == '.' && in[1] == '.')) {
            r = n;  // D
        } else {  // E: the first segment, with its leading '/', moves out
            int e = r + (in[0] == '/' ? 1 : 0);
            while (e < n && s[e] != '/') ++e;
            std::memmove(s + w, s + r, static_cast<size_t>(e - r));
            w += e - r;
            r = e;
        }
    }
    return w;
}

// Appends to a block sized beforehand for everything it will hold.
struct Out {
    char* p;
    int n;
    void put(const char* s, int len) {
        std::memcpy(p + n, s, static_cast<size_t>(len));
        n += len;
    }
    void put(const Part& part) { put(part.p, part.len); }
};

// Section 5.2.2 and 5.3 over base[0..baseLen) and ref[0..refLen).
char* resolve(const char* base, int baseLen, const char* ref, int refLen) {
    const Uri b = split(base, baseLen);
    const Uri r = split(ref, refLen);
    // The target is at most the base and the reference together, with the
    // '/' a merge may add and the separators.
    char* block = static_cast<char*>(qalloc(static_cast<size_t>(baseLen) + refLen + 8));
    if (!block) {
        showAllocFailure("location");
        return nullptr;
    }
    Uri t{};
    bool merge = false;
    bool dots = true;  // the path goes through remove_dot_segments
    if (r.scheme.defined) {
        t = r;
    } else {
        if (r.authority.defined) {
            t = r;
        } else {
            if (r.path.len == 0) {
                dots = false;  // the base's path, as it is
                t.path = b.path;
                t.query = r.query.defined ? r.query : b.query;
            } else {
                t.path = r.path;
                merge = r.path.p[0] != '/';
                t.query = r.query;
            }
            t.authority = b.authority;
        }
        t.scheme = b.scheme;
    }
    Out out{block, 0};
    if (t.scheme.defined) {
        out.put(t.scheme);
        out.put(":", 1);
    }
    if (t.authority.defined) {
        out.put("//", 2);
        out.put(t.authority);
    }
    int pathAt = out.n;
    if (merge) {
        // The base's path up to its last '/', or "/" when the base has an
        // authority and an empty path.
        if (b.authority.defined && b.path.len == 0) {
            out.put("/", 1);
        } else {
            int keep = b.path.len;
            while (keep > 0 && b.path.p[keep - 1] != '/') --keep;
            out.put(b.path.p, keep);
        }
    }
    out.put(t.path);
    if (dots) out.n = pathAt + removeDotSegments(block + pathAt, out.n - pathAt);
    if (t.query.defined) {
        out.put("?", 1);
        out.put(t.query);
    }
    block[out.n] = '\0';
    return block;
}

// The request's URL as an absolute http or https URI (a new text, or null
// when memory ran out).
char* absoluteBase(const char* url) {
    int n = textLength(url);
    Uri u = split(url, n);
    bool absolute = u.scheme.defined && u.authority.defined &&
                    (sameNoCase(u.scheme.p, u.scheme.len, "http") ||
                     sameNoCase(u.scheme.p, u.scheme.len, "https"));
    const char* rest = url;
    if (!absolute) {
        const char* slashes = std::strstr(url, "//");
        rest = slashes ? slashes + 2 : url;
    }
    const char* prefix = absolute ? "" : "http://";
    size_t size = std::strlen(prefix) + std::strlen(rest) + 1;
    char* base = static_cast<char*>(qalloc(size));
    if (!base) {
        showAllocFailure("location");
        return nullptr;
    }
    std::strcpy(base, prefix);
    std::strcat(base, rest);
    return base;
}

}  // namespace

char* resolveReference(const char* base, const char* ref) {
    return resolve(base ? base : "", textLength(base), ref ? ref : "", textLength(ref));
}

Redirect redirectTarget(const char* requestUrl, const char* location, int len, char** target) {
    *target = nullptr;
    if (!requestUrl || !location || len <= 0) return Redirect::Refused;
    for (int i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(location[i]);
        if (c <= 0x20 || c == 0x7F) return Redirect::Refused;
    }
    // User information in the Location itself: refused.
    Uri ref = split(location, len);
    if (ref.authority.defined && std::memchr(ref.authority.p, '@', static_cast<size_t>(ref.authority.len)))
        return Redirect::Refused;

    char* base = absoluteBase(requestUrl);
    if (!base) return Redirect::NoMemory;
    char* resolved = resolve(base, textLength(base), location, len);
    if (!resolved) {
        qfree(base);
        return Redirect::NoMemory;
    }
    Uri b = split(base, textLength(base));
    Uri t = split(resolved, textLength(resolved));
    bool baseSecure = sameNoCase(b.scheme.p, b.scheme.len, "https");
    bool secure = t.scheme.defined && sameNoCase(t.scheme.p, t.scheme.len, "https");
    bool plain = t.scheme.defined && sameNoCase(t.scheme.p, t.scheme.len, "http");
    // The host: the authority without user information and port.
    const char* host = nullptr;
    int hostLen = 0;
    if (t.authority.defined) {
        const char* a = t.authority.p;
        const char* end = a + t.authority.len;
        for (const char* p = a; p < end; ++p)
            if (*p == '@') a = p + 1;
        const char* h = a;
        if (h < end && *h == '[') {
            while (h < end && *h != ']') ++h;
            if (h < end) ++h;
        } else {
            while (h < end && *h != ':') ++h;
        }
        host = a;
        hostLen = static_cast<int>(h - a);
    }
    Redirect verdict = Redirect::Follow;
    if ((!secure && !plain) || hostLen == 0 || (baseSecure && !secure)) verdict = Redirect::Refused;
    if (verdict == Redirect::Follow && host != t.authority.p) {
        // The caller's own user information came with the base: the target
        // is written without it (credentials travel beside a URL, never in
        // the one that is followed).
        int drop = static_cast<int>(host - t.authority.p);
        int from = static_cast<int>(t.authority.p - resolved);
        std::memmove(resolved + from, resolved + from + drop,
                     std::strlen(resolved + from + drop) + 1);
    }
    qfree(base);
    if (verdict != Redirect::Follow) {
        qfree(resolved);
        return verdict;
    }
    *target = resolved;
    return Redirect::Follow;
}

}  // namespace quodra
