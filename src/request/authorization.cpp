#include "request/authorization.h"

#include <cstring>

#include "common/alloc.h"
#include "common/base64.h"
#include "common/md5.h"
#include "common/sha256.h"
#include "common/text.h"

namespace quodra {

namespace {

// The line is written twice: once without out to measure it, once into a
// block of that size.
struct Writer {
    char* out;
    size_t n;

    void put(const char* s, size_t len) {
        if (out) std::memcpy(out + n, s, len);
        n += len;
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    // A quoted-string holding text: '"' and '\' escaped.
    void quoted(const char* text) {
        put("\"", 1);
        for (const char* p = text; *p; ++p) {
            if (*p == '"' || *p == '\\') put("\\", 1);
            put(p, 1);
        }
        put("\"", 1);
    }
};

const char* lineName(AuthAsker asker) {
    return asker == AuthAsker::Proxy ? "Proxy-Authorization: " : "Authorization: ";
}

void writeHex(const unsigned char* bytes, int n, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = '\0';
}

// The hash of the challenge's algorithm, its result as lower-case hex.
constexpr int HEX_MAX = 2 * SHA256_SIZE + 1;

struct Hash {
    DigestHash kind;
    Md5 md5;
    Sha256 sha;

    explicit Hash(DigestHash k) : kind(k) {
        if (kind == DigestHash::Md5) md5Start(&md5);
        else sha256Start(&sha);
    }
    Hash& add(const char* s) {
        if (kind == DigestHash::Md5) md5Add(&md5, s, std::strlen(s));
        else sha256Add(&sha, s, std::strlen(s));
        return *this;
    }
    Hash& add(const char* s, const char* sep) { return add(s).add(sep); }
    void hex(char out[HEX_MAX]) {
        unsigned char d[SHA256_SIZE];
        if (kind == DigestHash::Md5) {
            md5Finish(&md5, d);
            writeHex(d, MD5_SIZE, out);
        } else {
            sha256Finish(&sha, d);
            writeHex(d, SHA256_SIZE, out);
        }
    }
};

// A user that a quoted-string cannot carry: a control byte (tab aside).
bool unquotable(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if ((*p < 0x20 && *p != '\t') || *p == 0x7F) return true;
    return false;
}

AuthAnswer made(char* block, char** line) {
    if (!block) {
        showAllocFailure("authorization");
        return AuthAnswer::NoMemory;
    }
    *line = block;
    return AuthAnswer::Made;
}

AuthAnswer basic(const AuthRequest& req, char** line) {
    size_t user = std::strlen(req.user), password = std::strlen(req.password);
    size_t pair = user + 1 + password;
    const char* name = lineName(req.asker);
    size_t head = std::strlen(name) + 6;  // "Basic "
    size_t total = head + base64Length(pair) + 2;
    // The pair is encoded from a block of its own, released at once.
    char* bytes = static_cast<char*>(qalloc(pair));
    char* block = bytes ? static_cast<char*>(qalloc(total + 1)) : nullptr;
    if (block) {
        std::memcpy(bytes, req.user, user);
        bytes[user] = ':';
        std::memcpy(bytes + user + 1, req.password, password);
        std::strcpy(block, name);
        std::strcat(block, "Basic ");
        base64Encode(bytes, pair, block + head);
        std::strcat(block, "\r\n");
    }
    qfree(bytes);
    return made(block, line);
}

AuthAnswer digest(const Challenge& ch, const AuthRequest& req, char** line) {
    char nc[9] = "";
    if (ch.qop) {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 8; ++i) nc[i] = digits[(req.nc >> (28 - 4 * i)) & 15];
    }
    // The hashes are taken over the texts as they are, unescaped.
    char ha1[HEX_MAX], ha2[HEX_MAX], response[HEX_MAX];
    Hash(ch.hash).add(req.user, ":").add(ch.realm, ":").add(req.password).hex(ha1);
    if (ch.session) Hash(ch.hash).add(ha1, ":").add(ch.nonce, ":").add(req.cnonce).hex(ha1);
    Hash(ch.hash).add(req.method, ":").add(req.target).hex(ha2);
    Hash h(ch.hash);
    h.add(ha1, ":").add(ch.nonce, ":");
    if (ch.qop) h.add(nc, ":").add(req.cnonce, ":").add("auth", ":");
    h.add(ha2).hex(response);

    static const char* const algorithms[2][2] = {{"MD5", "MD5-sess"}, {"SHA-256", "SHA-256-sess"}};
    const char* algorithm = algorithms[ch.hash == DigestHash::Sha256][ch.session];
    auto compose = [&](Writer& w) {
        w.put(lineName(req.asker));
        w.put("Digest username=");
        w.quoted(req.user);
        w.put(", realm=");
        w.quoted(ch.realm);
        w.put(", uri=");
        w.quoted(req.target);
        w.put(", algorithm=");
        w.put(algorithm);
        w.put(", nonce=");
        w.quoted(ch.nonce);
        if (ch.qop) {
            w.put(", nc=");
            w.put(nc);
            w.put(", cnonce=");
            w.quoted(req.cnonce);
            w.put(", qop=auth");
        }
        w.put(", response=\"");
        w.put(response);
        w.put("\"");
        if (ch.opaque) {
            w.put(", opaque=");
            w.quoted(ch.opaque);
        }
        w.put("\r\n");
    };
    Writer measure{nullptr, 0};
    compose(measure);
    char* block = static_cast<char*>(qalloc(measure.n + 1));
    if (block) {
        Writer w{block, 0};
        compose(w);
        block[w.n] = '\0';
    }
    return made(block, line);
}

}  // namespace

bool canAnswer(const Challenge& ch, const char* user) {
    if (!user) return false;
    // user-id ":" password: a colon in the user would move the split.
    if (ch.scheme == AuthScheme::Basic) return std::strchr(user, ':') == nullptr;
    return ch.scheme == AuthScheme::Digest && !unquotable(user);
}

AuthAnswer answerChallenge(const Challenge& ch, const AuthRequest& given, char** line) {
    *line = nullptr;
    // No user, no answer; a missing password is an empty one.
    if (!canAnswer(ch, given.user)) return AuthAnswer::Refused;
    AuthRequest req = given;
    if (!req.password) req.password = "";
    if (!req.method || !req.target) return AuthAnswer::Refused;
    // Both -sess and qop take the client's nonce.
    if (ch.scheme == AuthScheme::Digest && (ch.session || ch.qop) && !req.cnonce)
        return AuthAnswer::Refused;
    if (ch.scheme == AuthScheme::Basic) return basic(req, line);
    if (ch.scheme == AuthScheme::Digest) return digest(ch, req, line);
    return AuthAnswer::Refused;
}

void cnonceText(const unsigned char bytes[CNONCE_BYTES], char out[CNONCE_TEXT]) {
    writeHex(bytes, CNONCE_BYTES, out);
}

}  // namespace quodra
